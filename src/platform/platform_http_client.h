#pragma once

#include <functional>
#include <map>
#include <string>

#include "config/app_config.h"

// The daemon's only HTTP client: one libcurl handle, one request at a time.
// Success means that the transfer completed, whatever the HTTP status; the
// status is handed to callers that ask for it (http_status may be null).
class PlatformHttpClient {
public:
    // libcurl's process-wide initialisation; call once at start-up, before any
    // thread exists.
    static void globalInit();

    explicit PlatformHttpClient(const AppConfig& config);
    ~PlatformHttpClient();
    PlatformHttpClient(const PlatformHttpClient&) = delete;
    PlatformHttpClient& operator=(const PlatformHttpClient&) = delete;

    void setOnError(std::function<void(const std::string&)> cb);

    bool postJson(const std::string& endpoint, const std::string& body, std::string* response,
                  long* http_status = nullptr);
    bool postForm(const std::string& endpoint, const std::string& body, std::string* response,
                  long* http_status = nullptr);
    bool postFile(const std::string& url, const std::string& file_path,
                  const std::map<std::string, std::string>& fields, const std::string& field_name,
                  std::string* response, long* http_status = nullptr);
    bool postFile(const std::string& url, const std::string& file_path, const std::string& field_name,
                  std::string* response, long* http_status = nullptr);
    // A transfer that fails part-way returns false and may leave a partial
    // file behind: the caller removes it.
    bool downloadFile(const std::string& url, const std::string& file_path, long* http_status = nullptr);

    // Implementation members are the platform link's own (see the .cpp).
};
