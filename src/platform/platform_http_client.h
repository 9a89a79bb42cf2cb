#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "config/app_config.h"

namespace kovo::platform {

// The daemon's HTTP client: camera downloads and platform uploads each have
// a libcurl handle and a lock of their own, so that a hanging camera never
// holds an upload up (and the reverse); one request at a time per handle.
// Success means that the transfer completed, whatever the HTTP status; the
// status is handed to callers that ask for it (http_status may be null; it
// is set to 0 when the transfer failed). A failed transfer is logged here,
// once, with libcurl's reason; callers only see false.
class PlatformHttpClient {
public:
    // libcurl's process-wide initialisation; call once at start-up, before any
    // thread exists.
    static void globalInit();

    explicit PlatformHttpClient(const config::AppConfig& config);
    ~PlatformHttpClient();
    PlatformHttpClient(const PlatformHttpClient&) = delete;
    PlatformHttpClient& operator=(const PlatformHttpClient&) = delete;

    bool postFile(const std::string& url, const std::string& file_path,
                  const std::map<std::string, std::string>& fields, const std::string& field_name,
                  std::string* response, long* http_status = nullptr);
    // A transfer that fails part-way (including a local write error) returns
    // false and may leave a partial file behind: the caller removes it.
    bool downloadFile(const std::string& url, const std::string& file_path, long* http_status = nullptr);

private:
    // A libcurl easy handle (CURL is void in libcurl's own header), so that
    // users of this header need no libcurl headers, and the lock of its
    // transfers.
    struct Handle {
        Handle();
        ~Handle();
        void* curl = nullptr;
        std::mutex mutex;
    };

    // Runs a request whose answer body is collected; on success it goes to
    // response (when given).
    static bool exchange(void* curl, int64_t timeout_ms, const char* error_prefix, std::string* response,
                         long* http_status);
    // connect_timeout_ms 0: libcurl's own.
    static int transfer(void* curl, int64_t connect_timeout_ms, int64_t timeout_ms);
    static bool finish(void* curl, int curl_code, const char* error_prefix, long* http_status);

    const config::AppConfig& config_;
    Handle camera_;
    Handle upload_;
};

}  // namespace kovo::platform
