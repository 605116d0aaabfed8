// Filling the datasheet object from a constant's record.
#include "datasheet/datasheet.hpp"

#include <utility>

namespace torvane {

JsonValue constant_datasheet(const ConstantRecord& record) noexcept {
    JsonObject sheet;
    sheet.reserve(5);  // one allocation; the keys and short texts fit in their strings inline
    sheet.set("name", JsonValue::string(record.name));
    sheet.set("value", json_number(record.value));
    sheet.set("units", JsonValue::string(record.units));
    // A non-finite uncertainty says no more than a missing one, and JSON cannot spell it anyway.
    sheet.set("uncertainty", record.uncertainty ? json_number(*record.uncertainty) : JsonValue{});
    sheet.set("status", JsonValue::string(status_text(record.status)));
    return JsonValue(std::move(sheet));
}

Text datasheet_json(const ConstantRecord& record) noexcept {
    return encode_json(constant_datasheet(record));
}

}  // namespace torvane
