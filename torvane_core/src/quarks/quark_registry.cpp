// The quark table.
#include "quarks/quark_registry.hpp"

#include <array>

namespace torvane {
namespace {

struct QuarkRow {
    std::string_view name;
    std::uint8_t generation;
    std::uint32_t phi_exponent;
    double yukawa;
    double mass_mev;
};

// phi^-n written out: a library pow() lands one unit in the last place off for n = 11 and 12.
// Each mass is the exact double product 246220.0 * yukawa.
constexpr std::array<QuarkRow, 6> kStandardModel = {{
    {"up", 1, 12, 0.003105620015141857, 764.665760128228},
    {"down", 1, 11, 0.005024998740641489, 1237.2551899207474},
    {"strange", 2, 8, 0.02128623625220818, 5241.0970900186985},
    {"charm", 2, 5, 0.09016994374947422, 22201.643549995544},
    {"bottom", 3, 4, 0.14589803375031543, 35923.013870002665},
    {"top", 3, 0, 1.0, 246220.0},
}};

constexpr bool names_distinct(const std::array<QuarkRow, 6>& rows) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        for (std::size_t j = i + 1; j < rows.size(); ++j) {
            if (rows[i].name == rows[j].name) return false;
        }
    }
    return true;
}

// Inserting the table can then never replace a record, so its rows go in without the search.
static_assert(names_distinct(kStandardModel));

}  // namespace

QuarkRegistry QuarkRegistry::standard_model() {
    QuarkRegistry r;
    r.records_.reserve(kStandardModel.size());
    for (const QuarkRow& row : kStandardModel) {
        r.records_.emplace_back(to_text(row.name), row.mass_mev, row.yukawa, row.phi_exponent,
                                row.generation);
    }
    return r;
}

void QuarkRegistry::insert(Quark quark) {
    // Compared as views: the length first, the bytes only when the lengths agree.
    const std::string_view name = quark.name;
    for (Quark& q : records_) {
        if (std::string_view(q.name) == name) {
            q = std::move(quark);
            return;
        }
    }
    records_.push_back(std::move(quark));
}

Vec<Text> QuarkRegistry::names() const {
    Vec<Text> out;
    out.reserve(records_.size());
    for (const Quark& q : records_) out.push_back(q.name);
    return out;
}

const Quark* QuarkRegistry::find(std::string_view name) const noexcept {
    for (const Quark& q : records_) {
        if (std::string_view(q.name) == name) return &q;
    }
    return nullptr;
}

}  // namespace torvane
