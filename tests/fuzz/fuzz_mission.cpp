// A mission event's JSON as the car link converts it, through the intake:
// validation of the heights, the mission record and px4ctrl's command.
#include <exception>

#include "../unit/app/mission_fakes.h"
#include "car/sio/message.h"
#include "car/sio_msg_json.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nlohmann::json payload;
    try {
        const kovo::car::sio::Message message = kovo::car::sio::parse_message(fuzzing::Pieces(data, size).rest());
        payload = kovo::car::sio_msg_to_json(&message);
    } catch (const std::exception&) {
        return 0;
    }
    fakes::Harness h;
    h.runner.hold = true;  // the start sequence is not part of the intake
    h.build();
    h.core->intake.onCarMission(payload);
    return 0;
}
