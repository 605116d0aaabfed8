// The seventeen constants every registry is built with, as compile-time constants: the rows,
// the shared entries, their name hashes' key-free part, their datasheet texts and their order.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <string_view>
#include <utility>

#include "formulas/entry.hpp"
#include "formulas/keyed_hash.hpp"

namespace torvane::builtin {

struct SeedRow {
    std::string_view name;
    double value;
    std::string_view units;
    // The value as the datasheet writes it: the shortest digits that read back as `value`.
    // A test holds it to the JSON writer's own output.
    std::string_view value_json;
};

struct PendingRow {
    std::string_view name;
    std::string_view expression;
    std::string_view units;
    std::array<std::string_view, 2> depends_on;
    std::uint8_t depends_count;
};

// The golden ratio (1 + sqrt 5) / 2 and the Euler-Mascheroni constant, each the nearest double;
// the bit patterns bind, the decimal forms are for the reader.
inline constexpr double kPhi = std::bit_cast<double>(std::uint64_t{0x3FF9E3779B97F4A8});
inline constexpr double kGammaEm = std::bit_cast<double>(std::uint64_t{0x3FE2788CFC6FB619});

// Inserted in this order: the base constants, then the derived ones.
inline constexpr std::array<SeedRow, 10> kSeeds = {{
    {"b3", 24.0, "dimensionless", "24.0"},
    {"chi_eff", 72.0, "dimensionless", "72.0"},
    {"n_gen", 3.0, "count", "3.0"},
    {"roots_total", 288.0, "count", "288.0"},
    {"visible_sector", 125.0, "count", "125.0"},
    {"sterile_sector", 163.0, "count", "163.0"},
    {"phi", kPhi, "dimensionless", "1.618033988749895"},
    {"gamma_em", kGammaEm, "dimensionless", "0.5772156649015329"},
    {"jc_constant", 153.0, "count", "153.0"},
    {"logic_closure", 288.0, "count", "288.0"},
}};

// Derived constants are never evaluated. Four of them are plain numbers kept as text in their
// shortest round-trip positional form (246220.0, 70.0, -1.0, 1776.86).
inline constexpr std::array<PendingRow, 7> kPending = {{
    {"v_higgs_mev", "246220", "MeV", {}, 0},
    {"sterile_check",
     "roots_total - visible_sector",
     "count",
     {"roots_total", "visible_sector"},
     2},
    {"n_gen_sq", "n_gen * n_gen", "count", {"n_gen"}, 1},
    {"h0_central", "70", "km/s/Mpc", {}, 0},
    {"w0_central", "-1", "dimensionless", {}, 0},
    {"m_tau_mev", "1776.86", "MeV", {}, 0},
    {"topo_gen_check", "chi_eff / b3", "count", {"chi_eff", "b3"}, 2},
}};

inline constexpr std::size_t kCount = kSeeds.size() + kPending.size();

namespace detail {

// The datasheet text of one row, piece by piece, in the members' key order:
// {"name":…,"status":…,"uncertainty":null,"units":…,"value":…}. No built-in text needs a JSON
// escape (checked below), so every string is its bytes between quotes.
template <class Put>
constexpr void datasheet_pieces(std::string_view name, std::string_view status,
                                std::string_view units, std::string_view value, Put put) {
    put(R"({"name":")");
    put(name);
    put(R"(","status":")");
    put(status);
    put(R"(","uncertainty":null,"units":")");
    put(units);
    put(R"(","value":)");
    put(value);
    put("}");
}

template <class Put>
constexpr void each_datasheet(Put put) {
    for (const SeedRow& s : kSeeds) {
        datasheet_pieces(s.name, status_text(ConstantStatus::Seed), s.units, s.value_json, put);
        put({});  // end of one text
    }
    for (const PendingRow& p : kPending) {
        datasheet_pieces(p.name, status_text(ConstantStatus::Pending), p.units, "0.0", put);
        put({});
    }
}

constexpr bool needs_no_escape(std::string_view s) {
    return std::ranges::none_of(s, [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b < 0x20 || c == '"' || c == '\\';
    });
}

constexpr bool texts_need_no_escape() {
    bool ok = true;
    for (const SeedRow& s : kSeeds) ok = ok && needs_no_escape(s.name) && needs_no_escape(s.units);
    for (const PendingRow& p : kPending)
        ok = ok && needs_no_escape(p.name) && needs_no_escape(p.units);
    return ok;
}
static_assert(texts_need_no_escape());

// An empty piece ends a text in the pools below, so no name or units may be empty.
static_assert(std::ranges::none_of(kSeeds,
                                   [](auto& s) { return s.name.empty() || s.units.empty(); }));
static_assert(std::ranges::none_of(kPending,
                                   [](auto& p) { return p.name.empty() || p.units.empty(); }));

// Texts laid one after another, each starting on an 8-byte boundary: CPython's UTF-8 decoder
// reads aligned ASCII a word at a time, so the str made from each of them comes cheaper.
// `each(put)` calls put(piece) for the pieces of every text and put({}) after each text.
constexpr std::size_t padded(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

template <class Each>
constexpr std::size_t pool_bytes(Each each) {
    std::size_t n = 0;
    std::size_t text = 0;
    each([&](std::string_view piece) {
        text += piece.size();
        if (piece.empty()) n += padded(std::exchange(text, 0));
    });
    return n;
}

template <std::size_t Bytes, class Each>
constexpr std::array<char, Bytes> pool(Each each) {
    std::array<char, Bytes> out{};
    std::size_t at = 0;
    each([&](std::string_view piece) {
        for (char c : piece) out[at++] = c;
        if (piece.empty()) at = padded(at);
    });
    return out;
}

template <std::size_t Texts, class Each>
constexpr std::array<std::string_view, Texts> pool_views(const char* pool, Each each) {
    std::array<std::string_view, Texts> out{};
    std::size_t at = 0;
    std::size_t text = 0;
    std::size_t row = 0;
    each([&](std::string_view piece) {
        text += piece.size();
        if (piece.empty()) {
            out[row++] = std::string_view(pool + at, text);
            at += padded(std::exchange(text, 0));
        }
    });
    return out;
}

constexpr auto each_datasheet_text = [](auto put) { each_datasheet(put); };
constexpr auto each_name = [](auto put) {
    for (const SeedRow& s : kSeeds) {
        put(s.name);
        put({});
    }
    for (const PendingRow& p : kPending) {
        put(p.name);
        put({});
    }
};

alignas(8) inline constexpr auto kDatasheetBytes =
    pool<pool_bytes(each_datasheet_text)>(each_datasheet_text);
inline constexpr auto kDatasheets = pool_views<kCount>(kDatasheetBytes.data(), each_datasheet_text);

alignas(8) inline constexpr auto kNameBytes = pool<pool_bytes(each_name)>(each_name);
inline constexpr auto kNames = pool_views<kCount>(kNameBytes.data(), each_name);

}  // namespace detail

// The shared entries, in insertion order.
inline constexpr std::array<torvane::detail::Entry, kCount> kEntries = [] {
    std::array<torvane::detail::Entry, kCount> out{};
    std::size_t i = 0;
    for (const SeedRow& s : kSeeds) {
        out[i] = {.key = detail::kNames[i],
                  .name = detail::kNames[i],
                  .units = s.units,
                  .expression = {},
                  .depends_on = {},
                  .value = s.value,
                  .uncertainty = 0.0,
                  .has_uncertainty = false,
                  .has_expression = false,
                  .status = ConstantStatus::Seed,
                  .datasheet = detail::kDatasheets[i]};
        ++i;
    }
    for (const PendingRow& p : kPending) {
        out[i] = {.key = detail::kNames[i],
                  .name = detail::kNames[i],
                  .units = p.units,
                  .expression = p.expression,
                  .depends_on = std::span(p.depends_on.data(), p.depends_count),
                  .value = 0.0,
                  .uncertainty = 0.0,
                  .has_uncertainty = false,
                  .has_expression = true,
                  .status = ConstantStatus::Pending,
                  .datasheet = detail::kDatasheets[i]};
        ++i;
    }
    return out;
}();

// The key-free part of each entry's name hash (every built-in name is at most 16 bytes).
inline constexpr std::array<Prehash, kCount> kPrehashes = [] {
    std::array<Prehash, kCount> out{};
    for (std::size_t i = 0; i < kCount; ++i) out[i] = prehash(kEntries[i].name);
    return out;
}();
static_assert(std::ranges::all_of(kEntries, [](const auto& e) { return e.name.size() <= 16; }));

// The names sorted as every listing is: by unsigned bytes, a prefix first (std::string_view
// compares through char_traits<char>, which compares as unsigned char).
inline constexpr std::array<std::string_view, kCount> kSortedNames = [] {
    std::array<std::string_view, kCount> out{};
    for (std::size_t i = 0; i < kCount; ++i) out[i] = kEntries[i].name;
    std::ranges::sort(out);
    return out;
}();
static_assert(std::ranges::adjacent_find(kSortedNames) == kSortedNames.end(),
              "the built-in names are distinct");

}  // namespace torvane::builtin
