// The datasheet of one constant: the five-member JSON object handed to Python's json.loads.
#pragma once

#include <expected>
#include <string_view>

#include "datasheet/json_value.hpp"
#include "formulas/constant_record.hpp"
#include "formulas/formulas_registry.hpp"
#include "runtime/alloc.hpp"

namespace torvane {

// Members name, status, uncertainty, units and value. The expression and dependencies of a
// derived constant stay out: the datasheet schema has no place for them.
[[nodiscard]] JsonValue constant_datasheet(const ConstantRecord& record) noexcept;

// The datasheet as compact JSON text, e.g.
// {"name":"b3","status":"Seed","uncertainty":null,"units":"dimensionless","value":24.0}
[[nodiscard]] Text datasheet_json(const ConstantRecord& record) noexcept;

// The datasheet text of a record held in a registry: a view of the text a built-in record
// carries (made at compile time, so it outlives every registry), or the text encoded from a
// copy of any other record.
class DatasheetText {
public:
    explicit DatasheetText(std::string_view fixed) noexcept : fixed_(fixed) {}
    explicit DatasheetText(Text encoded) noexcept : encoded_(std::move(encoded)) {}

    [[nodiscard]] std::string_view view() const noexcept {
        return fixed_.empty() ? std::string_view(encoded_) : fixed_;
    }

private:
    std::string_view fixed_;
    Text encoded_;
};

// The datasheet text of the record stored under exactly `name`.
[[nodiscard]] std::expected<DatasheetText, RegistryError> datasheet_text(
    const FormulasRegistry& registry, std::string_view name);

}  // namespace torvane
