#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <string>

namespace boost::asio::ssl {
class context;
}

// One HTTP/1.1 exchange on a connection of its own, run on the caller's
// thread against deadlines (Boost.Beast parses the answer).
namespace kovo::platform {

// The reasons given for failures are libcurl's texts for the same failures,
// the ones field teams already search the daemon's logs for, followed by
// the detail where there is one.
inline constexpr char kReadLocalError[] = "Failed to open/read local data";
inline constexpr char kWriteLocalError[] = "Failed writing received data to disk/application";

struct HttpRequest {
    std::string method;  // "GET", "POST"
    std::string url;     // http:// or https://
    // The body, when content_type is not empty: before, then file_size bytes
    // of file, then after.
    std::string content_type;
    std::string before;
    std::istream* file = nullptr;
    std::uint64_t file_size = 0;
    std::string after;
};

struct HttpLimits {
    std::chrono::milliseconds connect_timeout{0};  // 0: only the whole exchange's
    std::chrono::milliseconds timeout{0};          // the whole exchange
    std::uint64_t body_limit = UINT64_MAX;         // a longer answer fails
};

struct HttpResult {
    bool ok = false;    // the answer arrived whole, whatever its status
    long status = 0;    // 0 unless ok
    std::string error;  // why, unless ok
};

// Receives the answer's body piece by piece; false ends the exchange as a
// local write error.
using BodySink = std::function<bool(const char* data, std::size_t size)>;

// tls is made at the first https exchange and kept for the next ones.
HttpResult http_exchange(const HttpRequest& request, const HttpLimits& limits, const BodySink& sink,
                         std::unique_ptr<boost::asio::ssl::context>& tls);

}  // namespace kovo::platform
