#include "px4ctrl/pending_command.h"

#include <utility>

namespace kovo::px4ctrl {

void PendingCommand::open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
}

bool PendingCommand::queue(const std::string& cmd) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) return false;
    cmd_ = cmd;
    return true;
}

bool PendingCommand::waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cmd_.has_value();
}

std::optional<std::string> PendingCommand::take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(cmd_, std::nullopt);
}

std::optional<std::string> PendingCommand::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
    return std::exchange(cmd_, std::nullopt);
}

}  // namespace kovo::px4ctrl
