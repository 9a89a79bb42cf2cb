#include "px4ctrl/state_document.h"

#include "log/log.h"

namespace kovo::px4ctrl {

void StateDocument::set(std::optional<std::string_view> state_text) {
    if (state_text) {
        text_.assign(state_text->data(), state_text->size());
        built_ = false;
    } else {
        doc_ = nlohmann::json::object();
        built_ = true;
    }
}

nlohmann::json StateDocument::get() {
    if (!built_) {
        built_ = true;
        try {
            doc_ = nlohmann::json::parse(text_);
        } catch (const nlohmann::json::exception& e) {
            // The text was validated on receipt; this only guards the reader.
            kovo::log::error() << "[PX4] JSON parse error: " << e.what();
            doc_ = nlohmann::json::object();
        }
    }
    return doc_.is_null() ? nlohmann::json::object() : doc_;
}

}  // namespace kovo::px4ctrl
