#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "config/app_config.h"

// What the receive path needs from one text received from px4ctrl, found in a
// single pass without building a JSON document: whether the text is a
// well-formed JSON object (exactly the texts nlohmann::json::parse accepts),
// the top-level "cmd" and "ret" codes, and where the "state" member's text
// lies. The state document itself is built only when someone reads it.

namespace kovo::px4ctrl {

// Containers nested deeper than this are refused: copying or printing such a
// document recurses once per level and would exhaust the stack.
constexpr int kMaxNesting = 64;

struct ScannedMessage {
    enum class Kind {
        NOT_OBJECT,  // does not begin with "{": ignored without a word
        MALFORMED,   // not valid JSON; error holds the parser's message
        TOO_DEEP,    // nested deeper than kMaxNesting: refused there, valid or not
        OBJECT,
    };
    Kind kind = Kind::NOT_OBJECT;
    std::string error;
    // A number (truncated toward zero) or a boolean (1 or 0) within int range;
    // empty for any other value or when the member is absent. The last of
    // repeated members counts, as in a parsed document.
    std::optional<int> cmd;
    std::optional<int> ret;
    // The "state" member's value as text (a view into the scanned text); empty
    // optional when there is no such member.
    std::optional<std::string_view> state;
};

ScannedMessage scan_message(std::string_view text);

struct MessageMeaning {
    bool login_reply = false;
    bool login_ok = false;
    bool state_push = false;  // an accepted state push
};

// Both meanings may hold at once when the two command codes are configured
// alike: each is judged on its own.
MessageMeaning classify_message(const ScannedMessage& message, const config::AppConfig::Px4ctrl& codes);

}  // namespace kovo::px4ctrl
