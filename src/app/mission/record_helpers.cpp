#include "app/mission/record_helpers.h"

#include "app/mission/json_fields.h"
#include "app/mission/records.h"

#include <cstring>

#include "log/log.h"

namespace kovo::app {

RecordHelpers::RecordHelpers(const config::SharedConfig& config) : config_(config) {}

std::string RecordHelpers::currentTime() const { return format_current_time(config()->app.time_format); }

std::string RecordHelpers::jsonString(const nlohmann::json& obj, const std::string& key, const std::string& def) const {
    return json_string(obj, key, def, config()->app.float_precision);
}

bool RecordHelpers::writeJsonFile(const std::string& path, const nlohmann::json& doc) const {
    return reportFailure(path, write_json_file(path, doc, config()->mission.json_indent));
}

bool RecordHelpers::clientLog(const std::string& task_dir, const std::string& event, nlohmann::json fields) const {
    if (task_dir.empty()) {
        return false;
    }
    fields["event"] = event;
    fields["time"] = currentTime();
    const std::string path = task_dir + "/" + config()->files.client_log;
    return reportFailure(path, append_jsonl(path, fields));
}

void RecordHelpers::newMission() const {
    std::lock_guard<std::mutex> lock(failed_mutex_);
    failed_paths_.clear();
}

bool RecordHelpers::reportFailure(const std::string& path, int error) const {
    if (error == 0) {
        return true;
    }
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(failed_mutex_);
        first = failed_paths_.insert(path).second;
    }
    if (first) {
        kovo::log::error() << "[FILE] Cannot write " << path << ": " << std::strerror(error);
    }
    return false;
}

}  // namespace kovo::app
