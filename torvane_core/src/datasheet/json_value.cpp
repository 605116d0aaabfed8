// Compact JSON text for the datasheet: sorted object members, escaped strings, shortest numbers.
#include "datasheet/json_value.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

namespace torvane {

void JsonObject::reserve(std::size_t members) noexcept { members_.reserve(members); }

void JsonObject::set(std::string_view key, JsonValue value) noexcept {
    // Keys given in order, as the datasheet gives them, go straight to the end.
    if (members_.empty() || std::string_view(members_.back().key) < key) {
        JsonMember member{to_text(key), std::move(value)};  // GCOVR_EXCL_BR_LINE: compiler
        members_.push_back(std::move(member));
        return;
    }
    // std::char_traits<char> compares as unsigned char, and a shorter prefix sorts first: the
    // byte order the text promises, whatever the signedness of char. The last key is not below
    // this one, so the bound is a member.
    const auto at = std::lower_bound(
        members_.begin(), members_.end(), key,
        [](const JsonMember& m, std::string_view k) { return std::string_view(m.key) < k; });
    if (std::string_view(at->key) == key) {
        at->value = std::move(value);
        return;
    }
    JsonMember member{to_text(key), std::move(value)};  // GCOVR_EXCL_BR_LINE: compiler
    members_.insert(at, std::move(member));
}

std::span<const JsonMember> JsonObject::members() const noexcept { return members_; }

JsonValue JsonValue::string(std::string_view utf8) noexcept {
    JsonValue v;
    v.v_.emplace<Text>(utf8.data(), utf8.size());
    return v;
}

JsonValue json_number(double x) noexcept {
    // Tested on the exponent bits rather than with std::isfinite, which fast-math builds are
    // allowed to fold to true.
    constexpr std::uint64_t exponent_bits = 0x7FF0'0000'0000'0000;
    if ((std::bit_cast<std::uint64_t>(x) & exponent_bits) == exponent_bits) return JsonValue{};
    JsonValue v;
    v.v_.emplace<double>(x);
    return v;
}

namespace {

// Output of one encode_json call. It owns the Text it finally hands over, so the reserve made
// here is the only allocation for any text that fits in it. The bytes are written straight into
// the text's storage and its length is set once at the end, rather than appended piece by piece
// (each append is a library call that checks and updates the length). Not copyable: a copy would
// be a second allocation and a second, diverging text.
class Buffer {
public:
    explicit Buffer(std::size_t reserve) noexcept { out_.resize(reserve); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    void put(char c) noexcept {
        room(1);
        out_[len_++] = c;
    }
    void put(std::string_view s) noexcept {
        room(s.size());
        std::memcpy(out_.data() + len_, s.data(), s.size());
        len_ += s.size();
    }
    void put(std::size_t count, char c) noexcept {
        room(count);
        std::memset(out_.data() + len_, c, count);
        len_ += count;
    }

    [[nodiscard]] Text take() noexcept {
        out_.resize(len_);
        return std::move(out_);
    }

private:
    void room(std::size_t n) noexcept {
        if (out_.size() - len_ < n) [[unlikely]]
            grow(n);
    }
    // Doubling keeps the number of reallocations logarithmic in the text's length.
    [[gnu::noinline]] void grow(std::size_t n) noexcept {
        out_.resize(std::max(2 * out_.size(), len_ + n));
    }

    Text out_;
    std::size_t len_ = 0;  // bytes written; out_.size() is the room
};

// Control bytes, the quote and the backslash are all that JSON forbids raw; everything else,
// 0x7F, '/' and multi-byte UTF-8 included, is copied as it is.
// Looked up in a table: one load per byte instead of three comparisons.
constexpr std::array<bool, 256> kNeedsEscape = [] {
    std::array<bool, 256> t{};
    for (unsigned b = 0; b < 0x20; ++b) t[b] = true;
    t['"'] = true;
    t['\\'] = true;
    return t;
}();

[[nodiscard]] constexpr bool needs_escape(unsigned char b) noexcept { return kNeedsEscape[b]; }

void put_escape(Buffer& out, unsigned char b) noexcept {
    switch (b) {
        case '"': return out.put("\\\"");
        case '\\': return out.put("\\\\");
        case '\b': return out.put("\\b");
        case '\t': return out.put("\\t");
        case '\n': return out.put("\\n");
        case '\f': return out.put("\\f");
        case '\r': return out.put("\\r");
        default: break;
    }
    constexpr std::string_view hex = "0123456789abcdef";
    const char u[] = {'\\', 'u', '0', '0', hex[b >> 4], hex[b & 0xF]};
    out.put(std::string_view(u, sizeof u));
}

void put_string(Buffer& out, std::string_view s) noexcept {
    out.put('"');
    std::size_t run = 0;  // start of the bytes not yet written
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (!needs_escape(b)) continue;
        out.put(s.substr(run, i - run));
        put_escape(out, b);
        run = i + 1;
    }
    out.put(s.substr(run));
    out.put('"');
}

// Lays out the significand digits d1..dn (d1 and dn not '0') of d1.d2...dn x 10^exponent.
// Magnitudes from 1e-5 up to 1e16 read as plain decimals; the rest take an exponent. Either
// way the text holds '.' or 'e', so json.loads reads a float and never an int.
void put_decimal(Buffer& out, std::string_view digits, int exponent) noexcept {
    const auto n = static_cast<int>(digits.size());
    if (exponent >= -5 && exponent <= -1) {
        out.put("0.");
        out.put(static_cast<std::size_t>(-exponent - 1), '0');
        out.put(digits);
    } else if (exponent >= 0 && exponent <= 15) {
        const auto point = static_cast<std::size_t>(exponent + 1);
        if (n > exponent + 1) {
            out.put(digits.substr(0, point));
            out.put('.');
            out.put(digits.substr(point));
        } else {
            out.put(digits);
            out.put(point - digits.size(), '0');
            out.put(".0");
        }
    } else {
        out.put(digits[0]);
        if (n > 1) {
            out.put('.');
            out.put(digits.substr(1));
        }
        out.put(exponent < 0 ? "e-" : "e+");
        char e[4];  // |exponent| <= 324
        const auto end = std::to_chars(e, e + sizeof e, exponent < 0 ? -exponent : exponent).ptr;
        out.put(std::string_view(e, static_cast<std::size_t>(end - e)));
    }
}

void put_number(Buffer& out, double x) noexcept {
    // signbit, not x < 0: negative zero keeps its sign.
    if (std::signbit(x)) {
        out.put('-');
        x = -x;
    }
    if (x == 0.0) return out.put("0.0");

    // Without a precision, to_chars gives the shortest digits that read back as the same double,
    // the nearest such when several qualify: "d[.ddd]e(+|-)XX[X]".
    char sci[32];  // the longest is "1.7976931348623157e+308"
    const char* end = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific).ptr;
    const std::string_view s(sci, static_cast<std::size_t>(end - sci));
    const std::size_t e_at = s.find('e');

    char digits[17];
    digits[0] = s[0];
    const std::string_view fraction = e_at > 1 ? s.substr(2, e_at - 2) : std::string_view{};
    std::copy(fraction.begin(), fraction.end(), digits + 1);

    int exponent = 0;
    for (char c : s.substr(e_at + 2)) exponent = exponent * 10 + (c - '0');
    if (s[e_at + 1] == '-') exponent = -exponent;

    put_decimal(out, std::string_view(digits, 1 + fraction.size()), exponent);
}

void put_value(Buffer& out, const JsonValue& v) noexcept {
    switch (v.kind()) {  // GCOVR_EXCL_BR_LINE: compiler
        case JsonValue::Kind::Null: return out.put("null");
        case JsonValue::Kind::Number: return put_number(out, v.number());
        case JsonValue::Kind::String: return put_string(out, v.text());
        case JsonValue::Kind::Object: break;
    }
    out.put('{');
    bool first = true;
    for (const JsonMember& m : v.object().members()) {
        if (!first) out.put(',');
        first = false;
        put_string(out, m.key);
        out.put(':');
        put_value(out, m.value);
    }
    out.put('}');
}

}  // namespace

Text encode_json(const JsonValue& value) noexcept {
    // Every datasheet of the built-in table fits, so encoding one costs this single allocation.
    Buffer out(128);
    put_value(out, value);
    return out.take();
}

}  // namespace torvane
