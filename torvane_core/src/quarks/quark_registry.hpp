// The six Standard Model quarks and their golden-ratio Yukawa hierarchy.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "runtime/alloc.hpp"

namespace torvane {

struct Quark {
    Text name;
    double mass_mev;         // 246220.0 * yukawa, the Higgs vacuum expectation value in MeV
    double yukawa;           // phi^-phi_exponent
    std::uint32_t phi_exponent;
    std::uint8_t generation;  // 1 to 3

    friend bool operator==(const Quark&, const Quark&) = default;
};

// A quark record seen through borrowed text: a built-in row, or a view of a stored Quark.
struct QuarkView {
    std::string_view name;
    double mass_mev;
    double yukawa;
    std::uint32_t phi_exponent;
    std::uint8_t generation;
};

// A map from name to quark. Six records at most in practice, so no hashing: the six built-in
// records are shared compile-time constants placed by pointer, and records inserted later are
// owned in a small array searched by name. Nothing visible depends on the order; every listing
// is sorted.
class QuarkRegistry {
public:
    // An empty registry.
    [[nodiscard]] static QuarkRegistry create() noexcept { return QuarkRegistry(); }
    // The six quarks, inserted up, down, strange, charm, bottom, top.
    [[nodiscard]] static QuarkRegistry standard_model() noexcept;

    // Stores the record under its name; a record of the same name is replaced.
    void insert(Quark quark);

    [[nodiscard]] std::size_t len() const noexcept { return shared_count_ + owned_.size(); }
    // A copy of every name, unsorted.
    [[nodiscard]] Vec<Text> names() const;
    // The record stored under exactly `name`, valid while the registry is unchanged.
    [[nodiscard]] std::optional<QuarkView> find(std::string_view name) const noexcept;

    template <class F>
    void for_each_name(F&& f) const {
        for (std::size_t i = 0; i < shared_count_; ++i) f(shared_[i]->name);
        for (const Quark& q : owned_) f(std::string_view(q.name));
    }

    // Every name sorted by unsigned bytes, a prefix first: the table's order, made at compile
    // time, while the contents are exactly the six built-in records; otherwise the names
    // gathered into `scratch` (at least len() views) and sorted there.
    [[nodiscard]] std::span<const std::string_view> sorted_names(
        std::span<std::string_view> scratch) const;

private:
    std::array<const QuarkView*, 6> shared_{};  // built-in rows not replaced
    std::uint8_t shared_count_ = 0;
    bool builtin_table_ = false;
    Vec<Quark> owned_;
};

}  // namespace torvane
