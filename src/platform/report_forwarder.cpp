#include "platform/report_forwarder.h"

#include "log/log.h"

namespace kovo::platform {

namespace {

constexpr const char* kKind = "report";

}  // namespace

ReportForwarder::ReportForwarder(Spool& spool, PlatformMqttClient& client) : spool_(spool), client_(client) {}

bool ReportForwarder::submit(const std::string& topic, const std::string& report) {
    std::string error;
    // The topic goes with the report: a hot update must not move a waiting one.
    if (spool_.reports().append(kKind, wall_clock_ms(), topic + "\n" + report, "", &error) == 0) {
        kovo::log::error() << "[SPOOL] Cannot spool a report, publishing it unspooled: " << error;
        spool_.setLastError(error);
        return client_.publish(topic, report);
    }
    spool_.enforceBounds(wall_clock_ms());
    pump();
    return true;
}

void ReportForwarder::onConnected() {
    {
        // libmosquitto forgets what was in flight with a lost connection:
        // everything not done goes again, from the oldest.
        std::lock_guard<std::mutex> lock(mutex_);
        in_flight_.clear();
        early_done_.clear();
        last_sent_ = 0;
    }
    pump();
}

void ReportForwarder::onDisconnected() {
    std::lock_guard<std::mutex> lock(mutex_);
    in_flight_.clear();
    last_sent_ = 0;
}

void ReportForwarder::onPublished(int mid) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = in_flight_.find(mid);
        if (it == in_flight_.end()) {
            early_done_.insert(mid);
            return;
        }
        spool_.reports().remove(it->second);
        in_flight_.erase(it);
    }
    pump();
}

void ReportForwarder::pump() {
    std::lock_guard<std::mutex> pump_lock(pump_mutex_);
    for (;;) {
        SpoolQueue::Entry entry;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!client_.isConnected() || in_flight_.size() >= kWindow) return;
            if (!spool_.reports().next(last_sent_, entry)) return;
        }
        std::string body;
        if (!spool_.reports().read(entry.seq, body)) {
            spool_.setLastError("torn report set aside");
            continue;
        }
        const size_t eol = body.find('\n');
        if (eol == std::string::npos) {
            spool_.reports().remove(entry.seq);
            continue;
        }
        int mid = 0;
        if (!client_.publish(body.substr(0, eol), body.substr(eol + 1), &mid)) return;
        std::lock_guard<std::mutex> lock(mutex_);
        last_sent_ = entry.seq;
        if (early_done_.erase(mid) > 0) {
            spool_.reports().remove(entry.seq);
        } else {
            in_flight_[mid] = entry.seq;
        }
    }
}

}  // namespace kovo::platform
