// A small JSON value tree and its compact text encoding, read back by Python's json.loads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <variant>

#include "runtime/alloc.hpp"

namespace torvane {

struct JsonMember;
class JsonValue;

// Members are kept sorted by key so that the text lists them in one fixed order whatever order
// they were added in: json.loads builds its dict in text order, and callers see that order.
class JsonObject {
public:
    // Defined below JsonMember: the vector's members may only be used once its element type is
    // complete, and these are the ones a class would otherwise define on the spot.
    JsonObject() noexcept;
    JsonObject(const JsonObject&);
    JsonObject(JsonObject&&) noexcept;
    JsonObject& operator=(const JsonObject&);
    JsonObject& operator=(JsonObject&&) noexcept;
    ~JsonObject();

    // One allocation up front for an object whose size is known, instead of regrowing per member.
    void reserve(std::size_t members) noexcept;

    // A key already present keeps its place and takes the new value: one member per key.
    void set(std::string_view key, JsonValue value) noexcept;

    [[nodiscard]] std::span<const JsonMember> members() const noexcept;

private:
    Vec<JsonMember> members_;
};

class JsonValue {
public:
    enum class Kind : std::uint8_t { Null, Number, String, Object };

    JsonValue() noexcept = default;  // null
    explicit JsonValue(JsonObject object) noexcept : v_(std::move(object)) {}

    [[nodiscard]] static JsonValue string(std::string_view utf8) noexcept;

    [[nodiscard]] Kind kind() const noexcept { return static_cast<Kind>(v_.index()); }
    // Each accessor below requires the matching kind.
    [[nodiscard]] double number() const noexcept { return *std::get_if<double>(&v_); }
    [[nodiscard]] std::string_view text() const noexcept { return *std::get_if<Text>(&v_); }
    [[nodiscard]] const JsonObject& object() const noexcept {
        return *std::get_if<JsonObject>(&v_);
    }

private:
    // The only way to a Number, so a Number is always finite.
    friend JsonValue json_number(double x) noexcept;

    // Alternatives in the order of Kind.
    std::variant<std::monostate, double, Text, JsonObject> v_;
};

struct JsonMember {
    Text key;
    JsonValue value;
};

inline JsonObject::JsonObject() noexcept = default;
inline JsonObject::JsonObject(const JsonObject&) = default;
inline JsonObject::JsonObject(JsonObject&&) noexcept = default;
inline JsonObject& JsonObject::operator=(const JsonObject&) = default;
inline JsonObject& JsonObject::operator=(JsonObject&&) noexcept = default;
inline JsonObject::~JsonObject() = default;

// NaN and the infinities have no JSON spelling; they become null.
[[nodiscard]] JsonValue json_number(double x) noexcept;

// Compact text: no whitespace between tokens, non-ASCII left as raw UTF-8.
[[nodiscard]] Text encode_json(const JsonValue& value) noexcept;

}  // namespace torvane
