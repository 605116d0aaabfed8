// Filling the datasheet object from a constant's record.
#include "datasheet/datasheet.hpp"

#include <utility>
#include <variant>

namespace torvane {

JsonValue constant_datasheet(const ConstantRecord& record) noexcept {
    JsonObject sheet;
    sheet.reserve(5);  // one allocation; the keys and short texts fit in their strings inline
    // Set in key order, so each member is appended; the object would sort them anyway.
    sheet.set("name", JsonValue::string(record.name));
    sheet.set("status", JsonValue::string(status_text(record.status)));
    // A non-finite uncertainty says no more than a missing one, and JSON cannot spell it anyway.
    sheet.set("uncertainty", record.uncertainty ? json_number(*record.uncertainty) : JsonValue{});
    sheet.set("units", JsonValue::string(record.units));
    sheet.set("value", json_number(record.value));
    return JsonValue(std::move(sheet));
}

Text datasheet_json(const ConstantRecord& record) noexcept {
    return encode_json(constant_datasheet(record));
}

namespace {

// A built-in record's text made at compile time, as it is; any other record, copied.
std::variant<std::string_view, ConstantRecord> text_or_copy(const detail::Entry& e) {
    if (!e.datasheet.empty()) return e.datasheet;
    return e.to_record();
}

}  // namespace

std::expected<DatasheetText, RegistryError> datasheet_text(const FormulasRegistry& registry,
                                                           std::string_view name) {
    // Under the shard's read lock only the view or the copy is taken; any encoding happens after
    // the lock is released.
    auto found = registry.visit(name, text_or_copy);
    if (!found) return std::unexpected(std::move(found.error()));
    if (const auto* fixed = std::get_if<std::string_view>(&*found)) return DatasheetText(*fixed);
    return DatasheetText(datasheet_json(std::get<ConstantRecord>(*found)));
}

}  // namespace torvane
