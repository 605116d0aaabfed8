// The datasheet of one constant: the five-member JSON object handed to Python's json.loads.
#pragma once

#include "datasheet/json_value.hpp"
#include "formulas/constant_record.hpp"
#include "runtime/alloc.hpp"

namespace torvane {

// Members name, status, uncertainty, units and value. The expression and dependencies of a
// derived constant stay out: the datasheet schema has no place for them.
[[nodiscard]] JsonValue constant_datasheet(const ConstantRecord& record) noexcept;

// The datasheet as compact JSON text, e.g.
// {"name":"b3","status":"Seed","uncertainty":null,"units":"dimensionless","value":24.0}
[[nodiscard]] Text datasheet_json(const ConstantRecord& record) noexcept;

}  // namespace torvane
