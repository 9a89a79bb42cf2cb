#pragma once

#include "app/mission/ports.h"
#include "app/mission/record_helpers.h"

namespace kovo::app {

// Answers the car's "may the UAV reboot?" from px4ctrl's state code alone:
// refused while px4ctrl reports a flying code, allowed otherwise. The
// mission record plays no part.
class RebootQuery {
public:
    RebootQuery(Px4Port& px4, CarPort& car, const RecordHelpers& records);

    // Car link thread.
    void onCarRebootQuery();

private:
    Px4Port& px4_;
    CarPort& car_;
    const RecordHelpers& records_;
};

}  // namespace kovo::app
