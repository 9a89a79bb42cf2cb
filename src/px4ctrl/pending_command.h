#pragma once

#include <mutex>
#include <optional>
#include <string>

namespace kovo::px4ctrl {

// The one command waiting for the next writable event; a newer command
// replaces it. A command belongs to the connection that was up when it was
// queued: losing that connection discards it, since a mission command sent
// minutes later on another connection would fly a mission nobody follows.
// Safe to use from any thread.
class PendingCommand {
public:
    // A connection was established: commands may be queued.
    void open();
    // False while no connection is open.
    bool queue(const std::string& cmd);
    bool waiting() const;
    std::optional<std::string> take();
    // The connection was lost; returns the command it discards, if any.
    std::optional<std::string> close();

private:
    mutable std::mutex mutex_;
    bool open_ = false;
    std::optional<std::string> cmd_;
};

}  // namespace kovo::px4ctrl
