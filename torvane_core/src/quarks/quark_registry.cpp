// The quark table.
#include "quarks/quark_registry.hpp"

#include <algorithm>
#include <array>

#include "runtime/byte_order.hpp"

namespace torvane {
namespace {

// phi^-n written out: a library pow() lands one unit in the last place off for n = 11 and 12.
// Each mass is the exact double product 246220.0 * yukawa.
constexpr std::array<QuarkView, 6> kStandardModel = {{
    {"up", 764.665760128228, 0.003105620015141857, 12, 1},
    {"down", 1237.2551899207474, 0.005024998740641489, 11, 1},
    {"strange", 5241.0970900186985, 0.02128623625220818, 8, 2},
    {"charm", 22201.643549995544, 0.09016994374947422, 5, 2},
    {"bottom", 35923.013870002665, 0.14589803375031543, 4, 3},
    {"top", 246220.0, 1.0, 0, 3},
}};

// The names in listing order (unsigned bytes, a prefix first), sorted at compile time.
constexpr std::array<std::string_view, 6> kSortedNames = [] {
    std::array<std::string_view, 6> out{};
    std::ranges::transform(kStandardModel, out.begin(), &QuarkView::name);
    std::ranges::sort(out);
    return out;
}();

// Placing the table can then never replace a record, so its rows go in without the search.
static_assert(std::ranges::adjacent_find(kSortedNames) == kSortedNames.end());

QuarkView view_of(const Quark& q) noexcept {
    return {q.name, q.mass_mev, q.yukawa, q.phi_exponent, q.generation};
}

}  // namespace

QuarkRegistry QuarkRegistry::standard_model() noexcept {
    QuarkRegistry r;
    for (std::size_t i = 0; i < kStandardModel.size(); ++i) r.shared_[i] = &kStandardModel[i];
    r.shared_count_ = kStandardModel.size();
    r.builtin_table_ = true;
    return r;
}

void QuarkRegistry::insert(Quark quark) {
    builtin_table_ = false;
    // Compared as views: the length first, the bytes only when the lengths agree.
    const std::string_view name = quark.name;
    for (std::size_t i = 0; i < shared_count_; ++i) {
        if (shared_[i]->name == name) {
            // The shared row leaves; the new record is owned from now on.
            shared_[i] = shared_[--shared_count_];
            owned_.push_back(std::move(quark));
            return;
        }
    }
    for (Quark& q : owned_) {
        if (std::string_view(q.name) == name) {
            q = std::move(quark);
            return;
        }
    }
    owned_.push_back(std::move(quark));
}

Vec<Text> QuarkRegistry::names() const {
    Vec<Text> out;
    out.reserve(len());
    for_each_name([&](std::string_view name) { out.push_back(to_text(name)); });
    return out;
}

std::optional<QuarkView> QuarkRegistry::find(std::string_view name) const noexcept {
    for (std::size_t i = 0; i < shared_count_; ++i) {
        if (shared_[i]->name == name) return *shared_[i];
    }
    for (const Quark& q : owned_) {
        if (std::string_view(q.name) == name) return view_of(q);
    }
    return std::nullopt;
}

std::span<const std::string_view> QuarkRegistry::sorted_names(
    std::span<std::string_view> scratch) const {
    if (builtin_table_) return kSortedNames;
    std::size_t n = 0;
    for_each_name([&](std::string_view name) { scratch[n++] = name; });
    const auto names = scratch.first(n);
    sort_by_bytes(names);
    return names;
}

}  // namespace torvane
