#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kovo::px4ctrl {

// The last accepted state document, kept as the text px4ctrl sent (already
// validated) and built into a JSON value only when it is read: px4ctrl pushes
// many documents per second and the application reads about one per second.
// Not locked: the owner serialises access.
class StateDocument {
public:
    // The "state" member's text of an accepted push; none when the push had
    // no such member, which stores an empty object.
    void set(std::optional<std::string_view> state_text);
    // A copy of the document: an empty object before the first push and while
    // the stored value is null.
    nlohmann::json get();

private:
    std::string text_;
    bool built_ = true;
    nlohmann::json doc_;
};

}  // namespace kovo::px4ctrl
