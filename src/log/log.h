#pragma once

#include <exception>
#include <functional>
#include <sstream>
#include <string>

// The daemon's one log sink. Every module writes its lines through here:
// progress goes to standard output, failures to standard error, one whole
// record per call (a record may span lines, like a pretty-printed payload),
// so that the lines of concurrent threads never interleave.
namespace kovo::log {

enum class Level { INFO, ERROR };
// Payloads received from the car are shown green, payloads sent to it yellow.
enum class Colour { NONE, GREEN, YELLOW };

// Receives each finished record, without its final line feed, one record at
// a time; it must not log itself.
using Sink = std::function<void(Level, Colour, const std::string&)>;

// Replaces the sink (tests capture the lines) and returns the one it
// replaces, so that captures nest; an empty sink is the default one.
Sink set_sink(Sink sink);

// Sees each finished record as well, whatever the sink; it must not log
// itself. The application connects the statistics here.
using Observer = std::function<void(Level, const std::string&)>;
void set_observer(Observer observer);

// The default sink's rule: colour only for a terminal, never when NO_COLOR
// is set (whatever its value).
bool colour_wanted(int fd, const char* no_color_env);

// The record as a terminal shows it: text between the colour's escape code
// and the reset code; text alone for Colour::NONE.
std::string coloured(Colour colour, const std::string& text);

// Collects one record and hands it to the sink when it goes out of scope:
// kovo::log::info() << "[CAR] Received reboot query";
class Record {
public:
    Record(Level level, Colour colour) : level_(level), colour_(colour) {}
    ~Record();
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

    template <typename T>
    Record& operator<<(const T& value) {
        text_ << value;
        return *this;
    }

private:
    Level level_;
    Colour colour_;
    std::ostringstream text_;
};

inline Record info(Colour colour = Colour::NONE) { return Record(Level::INFO, colour); }
inline Record error() { return Record(Level::ERROR, Colour::NONE); }

// Runs fn; what it throws is logged as one error record, "<context>: <reason>"
// ("<context>" alone when the exception carries no reason), instead of
// unwinding further: for callbacks run from a library's C frames and for the
// top of a thread, so that a failure there never ends the daemon.
template <typename Fn>
void guarded(const std::string& context, Fn&& fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        error() << context << ": " << e.what();
    } catch (...) {
        error() << context;
    }
}

}  // namespace kovo::log
