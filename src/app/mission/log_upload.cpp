#include "app/mission/log_upload.h"

#include <fstream>

#include "log/log.h"

namespace kovo::app {

LogUploader::LogUploader(HttpPort& http, TaskRunner& tasks, const RecordHelpers& records)
    : http_(http), tasks_(tasks), records_(records) {}

void LogUploader::uploadAsync(const std::string& task_dir) {
    tasks_.run([this, task_dir] { upload(task_dir); });
}

void LogUploader::upload(const std::string& task_dir) {
    // platform.url is read now, so a hot-updated URL is used.
    const auto cfg = records_.config();
    const std::string path = task_dir + "/" + cfg->files.client_log;
    if (!std::ifstream(path).is_open()) {
        return;
    }
    const std::string url = cfg->platform.url + cfg->platform.log_normal_endpoint;
    std::string response;
    long status = 0;
    const bool ok = http_.postFile(url, path, {{"siteAccessKey", cfg->platform.site_id}}, "file", &response, &status);
    if (ok && http_success(status)) {
        kovo::log::info() << "[LOG] Uploaded normal log: " << path << " resp=" << response;
    } else {
        kovo::log::error() << "[LOG] Failed to upload normal log: " << path;
    }
}

}  // namespace kovo::app
