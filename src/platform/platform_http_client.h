#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "config/app_config.h"

namespace boost::asio::ssl {
class context;
}

namespace kovo::platform {

// The daemon's HTTP client (http and https, on Boost.Beast): camera
// downloads and platform uploads each have a lane and a lock of their own,
// so that a hanging camera never holds an upload up (and the reverse); one
// request at a time per lane, each on a connection of its own. Success
// means that the transfer completed, whatever the HTTP status; the status is
// handed to callers that ask for it (http_status may be null; it is set to 0
// when the transfer failed). A failed transfer is logged here, once, with
// its reason; callers only see false.
class PlatformHttpClient {
public:
    explicit PlatformHttpClient(const config::AppConfig& config);
    ~PlatformHttpClient();
    PlatformHttpClient(const PlatformHttpClient&) = delete;
    PlatformHttpClient& operator=(const PlatformHttpClient&) = delete;

    // A multipart form: the file part first (named field_name, or
    // platform.upload_file_field when empty; its file name is the file's base
    // name), then the fields in key order.
    bool postFile(const std::string& url, const std::string& file_path,
                  const std::map<std::string, std::string>& fields, const std::string& field_name,
                  std::string* response, long* http_status = nullptr);
    // A transfer that fails part-way (including a local write error) returns
    // false and may leave a partial file behind: the caller removes it. A
    // file that cannot be opened returns false with no request and no line.
    bool downloadFile(const std::string& url, const std::string& file_path, long* http_status = nullptr);

private:
    struct Lane {
        std::mutex mutex;
        // Made at the lane's first https request: plain HTTP never loads
        // the system's certificates.
        std::unique_ptr<boost::asio::ssl::context> tls;
    };

    const config::AppConfig& config_;
    Lane camera_;
    Lane upload_;
};

}  // namespace kovo::platform
