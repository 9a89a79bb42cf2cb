// px4ctrl's byte stream: the WebSocket frame reader, the joining of a
// message's pieces, the message scanner and the state document. The scanner
// must agree with nlohmann::json on which texts are JSON and on "state".
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "config/app_config.h"
#include "fuzz_support.h"
#include "px4ctrl/message_assembler.h"
#include "px4ctrl/px4ctrl_message.h"
#include "px4ctrl/state_document.h"
#include "px4ctrl/websocket_codec.h"

using namespace kovo::px4ctrl;

namespace {

const kovo::config::AppConfig kConfig;

void check_scanner(std::string_view text) {
    const ScannedMessage message = scan_message(text);
    if (text.empty() || text.front() != '{') {
        if (message.kind != ScannedMessage::Kind::NOT_OBJECT) abort();
        return;
    }
    // Deep nesting is refused where it is met, before the rest is read.
    if (message.kind == ScannedMessage::Kind::TOO_DEEP) return;
    const bool json_ok = nlohmann::json::accept(text);
    if ((message.kind == ScannedMessage::Kind::MALFORMED) == json_ok) abort();
    if (message.kind != ScannedMessage::Kind::OBJECT) return;
    const nlohmann::json doc = nlohmann::json::parse(text);
    if (doc.contains("state") != message.state.has_value()) abort();
    if (message.state && nlohmann::json::parse(*message.state) != doc["state"]) abort();
    if (doc.contains("cmd") && doc["cmd"].is_number_integer() && doc["cmd"].get<int64_t>() >= INT32_MIN &&
        doc["cmd"].get<int64_t>() <= INT32_MAX && message.cmd != doc["cmd"].get<int>())
        abort();
    classify_message(message, kConfig.px4ctrl);
    StateDocument state;
    state.set(message.state);
    state.get().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::Pieces input(data, size);
    const size_t chunk = input.byte() + 1;
    check_scanner(fuzzing::Pieces(data, size).rest());

    FrameReader reader;
    MessageAssembler assembler(4096);
    while (!input.empty()) {
        const std::string_view bytes = input.take(chunk);
        for (size_t used = 0; used < bytes.size();) {
            FrameReader::Piece piece;
            used += reader.parse(bytes.data() + used, bytes.size() - used, &piece);
            if (piece.kind == FrameReader::Kind::ERROR) {
                reader.reset();
                assembler.reset();
            } else if (piece.kind == FrameReader::Kind::DATA &&
                       assembler.add(piece.bytes.data(), piece.bytes.size(), piece.last) ==
                           MessageAssembler::Result::COMPLETE) {
                check_scanner(assembler.message());
            } else if (piece.kind == FrameReader::Kind::NONE) {
                break;
            }
        }
    }
    return 0;
}
