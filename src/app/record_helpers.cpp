#include "app/record_helpers.h"

#include "app/json_fields.h"
#include "app/records.h"

namespace kovo::app {

RecordHelpers::RecordHelpers(const config::SharedConfig& config) : config_(config) {}

std::string RecordHelpers::current_time_str() const { return format_current_time(config()->app.time_format); }

std::string RecordHelpers::json_string(const nlohmann::json& obj, const std::string& key,
                                       const std::string& def) const {
    return app::json_string(obj, key, def, config()->app.float_precision);
}

void RecordHelpers::write_json_file(const std::string& path, const nlohmann::json& doc) const {
    app::write_json_file(path, doc, config()->mission.json_indent);
}

void RecordHelpers::client_log(const std::string& task_dir, const std::string& event, nlohmann::json fields) const {
    if (task_dir.empty()) {
        return;
    }
    fields["event"] = event;
    fields["time"] = current_time_str();
    app::append_jsonl(task_dir + "/" + config()->files.client_log, fields);
}

}  // namespace kovo::app
