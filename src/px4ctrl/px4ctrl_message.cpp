#include "px4ctrl/px4ctrl_message.h"

#include <locale.h>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <nlohmann/json.hpp>

namespace kovo::px4ctrl {
namespace {

// Byte classes inside a JSON string.
enum ByteClass : unsigned char { PLAIN = 0, QUOTE, BACKSLASH, CONTROL, HIGH };

struct ByteClasses {
    unsigned char cls[256];
    constexpr ByteClasses() : cls{} {
        for (int c = 0; c < 256; ++c) {
            cls[c] = c < 0x20 ? CONTROL : c >= 0x80 ? HIGH : PLAIN;
        }
        cls[static_cast<unsigned char>('"')] = QUOTE;
        cls[static_cast<unsigned char>('\\')] = BACKSLASH;
    }
};
constexpr ByteClasses kByteClasses;

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The code unit of the four hex digits at p, or -1.
int hex4(const char* p, const char* end) {
    if (end - p < 4) return -1;
    int v = 0;
    for (int i = 0; i < 4; ++i) {
        const int h = hex_value(p[i]);
        if (h < 0) return -1;
        v = v * 16 + h;
    }
    return v;
}

bool in_range(const char* p, unsigned char lo, unsigned char hi) {
    const auto c = static_cast<unsigned char>(*p);
    return c >= lo && c <= hi;
}

// Length of the well-formed UTF-8 sequence at p (lead byte 0x80 or above), or
// 0 when it is ill-formed: the same table as the JSON parser's.
size_t utf8_sequence(const char* p, const char* end) {
    const auto lead = static_cast<unsigned char>(*p);
    unsigned char lo = 0x80, hi = 0xBF;
    size_t len;
    if (lead >= 0xC2 && lead <= 0xDF) {
        len = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        len = 3;
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        len = 4;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (static_cast<size_t>(end - p) < len) return 0;
    if (!in_range(p + 1, lo, hi)) return 0;
    for (size_t i = 2; i < len; ++i) {
        if (!in_range(p + i, 0x80, 0xBF)) return 0;
    }
    return len;
}

// Whether any of the 8 bytes in w may need a look: a quote, a backslash, a
// control character or a byte of a multi-byte sequence.
bool any_special(uint64_t w) {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHighBits = 0x8080808080808080ull;
    const auto has_zero = [&](uint64_t v) { return (v - kOnes) & ~v & kHighBits; };
    return (has_zero(w ^ (kOnes * '"')) | has_zero(w ^ (kOnes * '\\')) | ((w - kOnes * 0x20) & ~w & kHighBits) |
            (w & kHighBits)) != 0;
}

// Skips a string whose opening quote is before p; returns the position after
// the closing quote, or null when the string is not valid.
const char* skip_string(const char* p, const char* end, bool& escaped) {
    while (p < end) {
        // Plain text (most of a state document) eight bytes at a time.
        uint64_t w;
        while (end - p >= 8 && (std::memcpy(&w, p, 8), !any_special(w)))
            p += 8;
        if (p >= end) break;
        switch (kByteClasses.cls[static_cast<unsigned char>(*p)]) {
        case PLAIN:
            ++p;
            break;
        case QUOTE:
            return p + 1;
        case CONTROL:
            return nullptr;
        case HIGH: {
            const size_t n = utf8_sequence(p, end);
            if (n == 0) return nullptr;
            p += n;
            break;
        }
        case BACKSLASH: {
            escaped = true;
            if (++p >= end) return nullptr;
            switch (*p) {
            case '"':
            case '\\':
            case '/':
            case 'b':
            case 'f':
            case 'n':
            case 'r':
            case 't':
                ++p;
                break;
            case 'u': {
                const int unit = hex4(p + 1, end);
                if (unit < 0) return nullptr;
                p += 5;
                if (unit >= 0xDC00 && unit <= 0xDFFF) return nullptr;
                if (unit >= 0xD800 && unit <= 0xDBFF) {
                    if (end - p < 2 || p[0] != '\\' || p[1] != 'u') return nullptr;
                    const int low = hex4(p + 2, end);
                    if (low < 0xDC00 || low > 0xDFFF) return nullptr;
                    p += 6;
                }
                break;
            }
            default:
                return nullptr;
            }
            break;
        }
        }
    }
    return nullptr;
}

locale_t c_locale() {
    static const locale_t kLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return kLocale;
}

double to_double(const char* begin, const char* end) {
    const std::string token(begin, end);
    return strtod_l(token.c_str(), nullptr, c_locale());
}

// Skips a number starting at p; null when it is not valid JSON number syntax
// or when, like the JSON parser, it would overflow a double.
const char* skip_number(const char* p, const char* end) {
    const char* const begin = p;
    if (*p == '-' && ++p >= end) return nullptr;
    const char* const int_begin = p;
    if (*p == '0') {
        ++p;
    } else if (*p >= '1' && *p <= '9') {
        while (p < end && is_digit(*p))
            ++p;
    } else {
        return nullptr;
    }
    const auto int_digits = p - int_begin;
    if (p < end && *p == '.') {
        if (++p >= end || !is_digit(*p)) return nullptr;
        while (p < end && is_digit(*p))
            ++p;
    }
    bool exponent = false;
    if (p < end && (*p == 'e' || *p == 'E')) {
        exponent = true;
        if (++p < end && (*p == '+' || *p == '-')) ++p;
        if (p >= end || !is_digit(*p)) return nullptr;
        while (p < end && is_digit(*p))
            ++p;
    }
    // Without an exponent only a number of about 309 integer digits or more
    // can leave the range of a double.
    if ((exponent || int_digits >= 300) && !std::isfinite(to_double(begin, p))) return nullptr;
    return p;
}

const char* skip_literal(const char* p, const char* end, std::string_view word) {
    if (static_cast<size_t>(end - p) < word.size() || std::string_view(p, word.size()) != word) {
        return nullptr;
    }
    return p + word.size();
}

// True when the raw key text (between the quotes) names exactly `name`, an
// ASCII name; escapes are decoded first, as the parser does.
bool key_is(std::string_view raw, bool escaped, std::string_view name) {
    if (!escaped) return raw == name;
    size_t n = 0;
    for (size_t i = 0; i < raw.size(); ++i, ++n) {
        char c = raw[i];
        if (c == '\\') {
            const char e = raw[++i];
            switch (e) {
            case 'b':
                c = '\b';
                break;
            case 'f':
                c = '\f';
                break;
            case 'n':
                c = '\n';
                break;
            case 'r':
                c = '\r';
                break;
            case 't':
                c = '\t';
                break;
            case 'u': {
                const int unit = hex4(raw.data() + i + 1, raw.data() + raw.size());
                if (unit >= 0x80) return false;  // not ASCII: cannot match
                c = static_cast<char>(unit);
                i += 4;
                break;
            }
            default:
                c = e;
                break;
            }
        }
        if (n >= name.size() || c != name[n]) return false;
    }
    return n == name.size();
}

// A code member's value (already validated): numbers truncated toward zero,
// booleans 1 or 0; anything else, or a number outside int range, is no code.
std::optional<int> code_value(std::string_view v) {
    switch (v.front()) {
    case 't':
        return 1;
    case 'f':
        return 0;
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
        break;
    default:
        return std::nullopt;
    }
    const bool integral = v.find_first_of(".eE") == std::string_view::npos;
    if (integral && v.size() <= 12) {
        int64_t n = 0;
        for (char c : v.substr(v[0] == '-' ? 1 : 0))
            n = n * 10 + (c - '0');
        if (v[0] == '-') n = -n;
        if (n < INT32_MIN || n > INT32_MAX) return std::nullopt;
        return static_cast<int>(n);
    }
    const double d = to_double(v.data(), v.data() + v.size());
    if (!(d > -2147483649.0 && d < 2147483648.0)) return std::nullopt;
    return static_cast<int>(d);
}

std::string parser_message(std::string_view text) {
    try {
        const nlohmann::json doc = nlohmann::json::parse(text);
        (void)doc;
    } catch (const nlohmann::json::exception& e) {
        return e.what();
    }
    return "rejected";
}

// The single pass over the text: an explicit stack instead of recursion, so
// that hostile nesting costs no stack.
class Scanner {
public:
    explicit Scanner(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

    ScannedMessage::Kind run(ScannedMessage& out);

private:
    enum class Member { OTHER, CMD, RET, STATE };

    bool push(bool object) {
        if (depth_ == kMaxNesting) return false;
        object_[depth_++] = object;
        return true;
    }
    void skipWs() {
        while (p_ < end_ && is_ws(*p_))
            ++p_;
    }
    // Steps into the container just pushed; true when it is empty and so
    // already closed again.
    bool closesAtOnce() {
        ++p_;
        skipWs();
        if (p_ < end_ && *p_ == (object_[depth_ - 1] ? '}' : ']')) {
            ++p_;
            --depth_;
            return true;
        }
        return false;
    }
    void memberDone(ScannedMessage& out);

    const char* p_;
    const char* const end_;
    bool object_[kMaxNesting] = {};
    int depth_ = 0;
    Member member_ = Member::OTHER;
    const char* value_begin_ = nullptr;
};

void Scanner::memberDone(ScannedMessage& out) {
    const std::string_view value(value_begin_, static_cast<size_t>(p_ - value_begin_));
    switch (member_) {
    case Member::CMD:
        out.cmd = code_value(value);
        break;
    case Member::RET:
        out.ret = code_value(value);
        break;
    case Member::STATE:
        out.state = value;
        break;
    case Member::OTHER:
        break;
    }
}

ScannedMessage::Kind Scanner::run(ScannedMessage& out) {
    using Kind = ScannedMessage::Kind;
    // The text begins with "{".
    push(true);
    if (closesAtOnce()) goto after_value;

key:
    skipWs();
    if (p_ >= end_ || *p_ != '"') return Kind::MALFORMED;
    {
        const char* const key_begin = ++p_;
        bool escaped = false;
        const char* const after = skip_string(p_, end_, escaped);
        if (!after) return Kind::MALFORMED;
        if (depth_ == 1) {
            const std::string_view raw(key_begin, static_cast<size_t>(after - 1 - key_begin));
            member_ = key_is(raw, escaped, "cmd")     ? Member::CMD
                      : key_is(raw, escaped, "ret")   ? Member::RET
                      : key_is(raw, escaped, "state") ? Member::STATE
                                                      : Member::OTHER;
        }
        p_ = after;
    }
    skipWs();
    if (p_ >= end_ || *p_ != ':') return Kind::MALFORMED;
    ++p_;

value:
    skipWs();
    if (p_ >= end_) return Kind::MALFORMED;
    if (depth_ == 1) value_begin_ = p_;
    switch (*p_) {
    case '{':
        if (!push(true)) return Kind::TOO_DEEP;
        if (closesAtOnce()) goto after_value;
        goto key;
    case '[':
        if (!push(false)) return Kind::TOO_DEEP;
        if (closesAtOnce()) goto after_value;
        goto value;
    case '"': {
        bool escaped = false;
        p_ = skip_string(p_ + 1, end_, escaped);
        break;
    }
    case 't':
        p_ = skip_literal(p_, end_, "true");
        break;
    case 'f':
        p_ = skip_literal(p_, end_, "false");
        break;
    case 'n':
        p_ = skip_literal(p_, end_, "null");
        break;
    default:
        p_ = skip_number(p_, end_);
        break;
    }
    if (!p_) return Kind::MALFORMED;

after_value:
    if (depth_ == 0) {
        skipWs();
        // The parser takes a NUL byte after the document for its end.
        return p_ == end_ || *p_ == '\0' ? Kind::OBJECT : Kind::MALFORMED;
    }
    if (depth_ == 1) memberDone(out);
    skipWs();
    if (p_ >= end_) return Kind::MALFORMED;
    if (*p_ == ',') {
        ++p_;
        if (object_[depth_ - 1]) goto key;
        goto value;
    }
    if (*p_ == (object_[depth_ - 1] ? '}' : ']')) {
        ++p_;
        --depth_;
        goto after_value;
    }
    return Kind::MALFORMED;
}

}  // namespace

ScannedMessage scan_message(std::string_view text) {
    ScannedMessage out;
    if (text.empty() || text.front() != '{') return out;
    out.kind = Scanner(text).run(out);
    if (out.kind != ScannedMessage::Kind::OBJECT) {
        out.cmd.reset();
        out.ret.reset();
        out.state.reset();
    }
    if (out.kind == ScannedMessage::Kind::MALFORMED) out.error = parser_message(text);
    return out;
}

MessageMeaning classify_message(const ScannedMessage& message, const config::AppConfig::Px4ctrl& codes) {
    MessageMeaning meaning;
    if (message.kind != ScannedMessage::Kind::OBJECT) return meaning;
    const int cmd = message.cmd.value_or(codes.default_cmd);
    const int ret = message.ret.value_or(codes.default_ret);
    if (cmd == codes.login_resp_cmd) {
        meaning.login_reply = true;
        meaning.login_ok = ret == 0;
    }
    meaning.state_push = cmd == codes.state_push_cmd && ret == codes.state_push_ret;
    return meaning;
}

}  // namespace kovo::px4ctrl
