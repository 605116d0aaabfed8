// The six Standard Model quarks and their golden-ratio Yukawa hierarchy.
#pragma once

#include <cstddef>
#include <cstdint>
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

// A map from name to quark. Six records at most in practice, so the records sit in one small
// array searched by name: nothing visible depends on the order, every listing is sorted.
class QuarkRegistry {
public:
    // An empty registry.
    [[nodiscard]] static QuarkRegistry create() noexcept { return QuarkRegistry(); }
    // The six quarks, inserted up, down, strange, charm, bottom, top.
    [[nodiscard]] static QuarkRegistry standard_model();

    // Stores the record under its name; a record of the same name is replaced.
    void insert(Quark quark);

    [[nodiscard]] std::size_t len() const noexcept { return records_.size(); }
    // A copy of every name, unsorted.
    [[nodiscard]] Vec<Text> names() const;
    // The record stored under exactly `name`, or null.
    [[nodiscard]] const Quark* find(std::string_view name) const noexcept;

    template <class F>
    void for_each_name(F&& f) const {
        for (const Quark& q : records_) f(std::string_view(q.name));
    }

private:
    Vec<Quark> records_;
};

}  // namespace torvane
