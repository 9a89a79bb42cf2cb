#include "log/log.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <utility>

namespace kovo::log {

namespace {

std::mutex& sink_mutex() {
    static std::mutex mutex;
    return mutex;
}

Sink& current_sink() {
    static Sink sink;
    return sink;
}

Observer& current_observer() {
    static Observer observer;
    return observer;
}

// Writes the whole buffer; a closed pipe or a full disk loses the line, never
// the daemon.
void write_all(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

const char* escape_of(Colour colour) {
    switch (colour) {
    case Colour::GREEN:
        return "\033[32m";
    case Colour::YELLOW:
        return "\033[33m";
    case Colour::NONE:
        break;
    }
    return "";
}

void write_default(Level level, Colour colour, const std::string& text) {
    const int fd = level == Level::ERROR ? STDERR_FILENO : STDOUT_FILENO;
    // Decided once per stream: the daemon's streams do not change while it runs.
    static const bool kColourOut = colour_wanted(STDOUT_FILENO, std::getenv("NO_COLOR"));
    static const bool kColourErr = colour_wanted(STDERR_FILENO, std::getenv("NO_COLOR"));
    const bool with_colour = fd == STDERR_FILENO ? kColourErr : kColourOut;
    write_all(fd, (with_colour ? coloured(colour, text) : text) + "\n");
}

}  // namespace

bool colour_wanted(int fd, const char* no_color_env) { return no_color_env == nullptr && ::isatty(fd) == 1; }

std::string coloured(Colour colour, const std::string& text) {
    if (colour == Colour::NONE) return text;
    return escape_of(colour) + text + "\033[0m";
}

Sink set_sink(Sink sink) {
    std::lock_guard<std::mutex> lock(sink_mutex());
    return std::exchange(current_sink(), std::move(sink));
}

void set_observer(Observer observer) {
    std::lock_guard<std::mutex> lock(sink_mutex());
    current_observer() = std::move(observer);
}

Record::~Record() {
    const std::string text = text_.str();
    std::lock_guard<std::mutex> lock(sink_mutex());
    if (current_sink()) {
        current_sink()(level_, colour_, text);
    } else {
        write_default(level_, colour_, text);
    }
    if (current_observer()) current_observer()(level_, text);
}

}  // namespace kovo::log
