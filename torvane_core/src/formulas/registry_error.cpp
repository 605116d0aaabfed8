// Messages of the registry's errors.
#include "formulas/registry_error.hpp"

#include <string_view>

namespace torvane {
namespace {

Text join(std::initializer_list<std::string_view> parts) {
    std::size_t n = 0;
    for (std::string_view p : parts) n += p.size();
    Text out;
    out.reserve(n);
    for (std::string_view p : parts) out.append(p);
    return out;
}

struct Renderer {
    Text operator()(const registry_error::NotFound& e) const {
        return join({"constant `", e.name, "` not found in registry"});
    }
    Text operator()(const registry_error::NotImplemented& e) const {
        return join({"derivation of `", e.name, "` is not yet implemented in torvane_core"});
    }
    Text operator()(const registry_error::LoadFailed& e) const {
        return join({"failed to load constants from `", e.path, "`: ", e.error});
    }
    Text operator()(const registry_error::InvalidSchema& e) const {
        return join({"invalid JSON schema in `", e.path, "`"});
    }
    Text operator()(const registry_error::CyclicDerivation& e) const {
        return join({"cyclic derivation involving `", e.name, "`"});
    }
    Text operator()(const registry_error::ParseError& e) const {
        return join({"expression parse error in `", e.expression, "`: ", e.message});
    }
};

}  // namespace

Text render(const RegistryError& error) { return std::visit(Renderer{}, error); }

}  // namespace torvane
