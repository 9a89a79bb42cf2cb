// The car's frames through the socket.io session (Engine.IO open packet,
// namespace connect, events, binary attachments, acknowledgements, errors),
// each event's first argument converted as the car link hands it over.
#include <chrono>

#include "car/sio/session.h"
#include "car/sio_msg_json.h"
#include "fuzz_support.h"

using namespace kovo::car::sio;

namespace {

class Sink : public SessionSink {
public:
    void sendFrame(std::string) override {}
    void opened(const std::string&) override {}
    void eventReceived(Event event) override {
        for (const Message& arg : event.args)
            kovo::car::sio_msg_to_json(&arg).dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    void serverError(const Message* data) override { kovo::car::sio_msg_to_json(data); }
    void ended(SessionEnd) override { over = true; }
    void frameDropped(const std::string&) override {}
    bool over = false;
};

}  // namespace

// Each frame: a byte whose low bit says binary, a byte of time passing, two
// bytes of length, the frame.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::Pieces input(data, size);
    Sink sink;
    SessionLimits limits;
    limits.max_attachment_bytes = 4096;
    Session session(sink, limits);
    auto now = Session::Clock::time_point{} + std::chrono::hours(1);
    session.start(now);
    while (!input.empty() && !sink.over) {
        const bool binary = input.byte() & 1;
        now += std::chrono::milliseconds(input.byte() * 100);
        const std::string_view frame = input.sized();
        session.onTimer(now);
        if (sink.over) break;
        if (binary)
            session.onBinary(frame, now);
        else
            session.onText(frame, now);
    }
    return 0;
}
