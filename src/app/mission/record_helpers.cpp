#include "app/mission/record_helpers.h"

#include "app/mission/json_fields.h"
#include "app/mission/records.h"

namespace kovo::app {

RecordHelpers::RecordHelpers(const config::SharedConfig& config) : config_(config) {}

std::string RecordHelpers::currentTime() const { return format_current_time(config()->app.time_format); }

std::string RecordHelpers::jsonString(const nlohmann::json& obj, const std::string& key, const std::string& def) const {
    return json_string(obj, key, def, config()->app.float_precision);
}

void RecordHelpers::writeJsonFile(const std::string& path, const nlohmann::json& doc) const {
    write_json_file(path, doc, config()->mission.json_indent);
}

void RecordHelpers::clientLog(const std::string& task_dir, const std::string& event, nlohmann::json fields) const {
    if (task_dir.empty()) {
        return;
    }
    fields["event"] = event;
    fields["time"] = currentTime();
    append_jsonl(task_dir + "/" + config()->files.client_log, fields);
}

}  // namespace kovo::app
