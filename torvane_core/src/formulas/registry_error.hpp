// The registry's error type: one value per failure, rendered as one line of text.
#pragma once

#include <variant>

#include "runtime/alloc.hpp"

namespace torvane {

namespace registry_error {
struct NotFound { Text name; };
struct NotImplemented { Text name; };
// The operating system's I/O error is kept as its own message text.
struct LoadFailed {
    Text path;
    Text error;
};
struct InvalidSchema { Text path; };
struct CyclicDerivation { Text name; };
struct ParseError {
    Text expression;
    Text message;
};
}  // namespace registry_error

// Only NotFound has a producer in this module; the other kinds keep their messages for callers
// that share the type.
using RegistryError = std::variant<registry_error::NotFound, registry_error::NotImplemented,
                                   registry_error::LoadFailed, registry_error::InvalidSchema,
                                   registry_error::CyclicDerivation, registry_error::ParseError>;

[[nodiscard]] Text render(const RegistryError& error);

}  // namespace torvane
