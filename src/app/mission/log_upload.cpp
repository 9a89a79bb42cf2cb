#include "app/mission/log_upload.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "log/log.h"

namespace kovo::app {

LogUploader::LogUploader(HttpPort& http, const RecordHelpers& records, UploadSpill* spill)
    : http_(http), records_(records), spill_(spill) {}

void LogUploader::upload(const std::string& task_dir) {
    // platform.url is read now, so a hot-updated URL is used.
    const auto cfg = records_.config();
    const std::string path = task_dir + "/" + cfg->files.client_log;
    struct stat st {};
    const char* why = nullptr;
    if (::stat(path.c_str(), &st) != 0) {
        why = errno == ENOENT ? "missing" : std::strerror(errno);
    } else if (st.st_size == 0) {
        why = "empty";
    }
    if (why != nullptr) {
        kovo::log::error() << "[LOG] Not uploading " << path << ": " << why;
        return;
    }
    const std::string url = cfg->platform.url + cfg->platform.log_normal_endpoint;
    std::string response;
    long status = 0;
    const std::map<std::string, std::string> fields{{"siteAccessKey", cfg->platform.site_id}};
    const bool ok = http_.postFile(url, path, fields, "file", &response, &status);
    if (ok && http_success(status)) {
        kovo::log::info() << "[LOG] Uploaded normal log: " << path << " resp=" << response;
        return;
    }
    kovo::log::error() << "[LOG] Failed to upload normal log: " << path;
    if (spill_ != nullptr) {
        spill_->spool(SpooledUpload{url, path, "", fields, "file", task_dir});
    }
}

}  // namespace kovo::app
