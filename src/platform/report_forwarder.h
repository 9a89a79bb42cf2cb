#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "platform/platform_mqtt_client.h"
#include "platform/spool.h"

namespace kovo::platform {

// Store and forward for the MQTT reports: each report is written to the
// spool before it is published and removed when libmosquitto says it is done
// (the broker's PUBACK, or the socket for QoS 0). While the broker is away
// reports wait; after every connection the backlog goes out in order, before
// newer ones, at most kWindow at a time. A report done but not yet removed
// when the daemon dies is sent again: delivery is at least once.
class ReportForwarder {
public:
    static constexpr size_t kWindow = 20;

    ReportForwarder(Spool& spool, PlatformMqttClient& client);

    // Spools the report and publishes what the window allows. A report that
    // cannot be spooled is published at once (a full or broken disk must
    // not silence the platform); false when it could be neither.
    bool submit(const std::string& topic, const std::string& report);
    // Called from the MQTT client's callbacks.
    void onConnected();
    void onDisconnected();
    void onPublished(int mid);

private:
    // Publishes the next waiting reports while connected and the window has room.
    void pump();

    Spool& spool_;
    PlatformMqttClient& client_;
    std::mutex pump_mutex_;              // one pump at a time, held across the publish; taken before mutex_
    std::mutex mutex_;                   // leaf: the fields below
    std::map<int, uint64_t> in_flight_;  // message id -> entry
    std::set<int> early_done_;           // done before publish returned its id
    uint64_t last_sent_ = 0;             // entries up to this one are handed to libmosquitto
};

}  // namespace kovo::platform
