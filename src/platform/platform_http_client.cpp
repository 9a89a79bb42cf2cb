#include "platform/platform_http_client.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <random>

#include <boost/asio/ssl/context.hpp>

#include "log/log.h"
#include "platform/http_exchange.h"

namespace kovo::platform {

namespace {

// An answer to an upload is a short JSON text; anything longer is refused
// rather than held in memory.
constexpr std::uint64_t kMaxAnswer = 1024 * 1024;

// A Content-Disposition parameter, quoted as browsers send it: '"', CR and
// LF percent-encoded.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') {
            out += "%22";
        } else if (c == '\r') {
            out += "%0D";
        } else if (c == '\n') {
            out += "%0A";
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// The file part's type from its extension, as libcurl chose it, so that the
// platform sees the same parts as before.
std::string mime_type(const std::filesystem::path& path) {
    static const std::pair<const char*, const char*> kTypes[] = {
        {".gif", "image/gif"},       {".jpg", "image/jpeg"},      {".jpeg", "image/jpeg"}, {".png", "image/png"},
        {".svg", "image/svg+xml"},   {".txt", "text/plain"},      {".htm", "text/html"},   {".html", "text/html"},
        {".pdf", "application/pdf"}, {".xml", "application/xml"},
    };
    std::string extension = path.extension().string();
    for (char& c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const auto& [suffix, type] : kTypes)
        if (extension == suffix) return type;
    return "application/octet-stream";
}

std::string new_boundary() {
    thread_local std::mt19937_64 random{std::random_device{}()};
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string boundary(24, '-');
    for (int i = 0; i < 24; ++i)
        boundary += kDigits[random() % 16];
    return boundary;
}

bool finish(const HttpResult& result, const char* error_prefix, long* http_status) {
    if (http_status != nullptr) *http_status = result.ok ? result.status : 0;
    if (!result.ok) kovo::log::error() << "HTTP error: " << error_prefix << result.error;
    return result.ok;
}

std::chrono::milliseconds ms(int64_t count) { return std::chrono::milliseconds(count); }

}  // namespace

PlatformHttpClient::PlatformHttpClient(const config::AppConfig& config) : config_(config) {}

PlatformHttpClient::~PlatformHttpClient() = default;

bool PlatformHttpClient::postFile(const std::string& url, const std::string& file_path,
                                  const std::map<std::string, std::string>& fields, const std::string& field_name,
                                  std::string* response, long* http_status) {
    constexpr char kPrefix[] = "curl postFile error: ";
    std::lock_guard<std::mutex> lock(upload_.mutex);
    std::ifstream file(file_path, std::ios::binary);
    std::error_code size_error;
    const std::uintmax_t size = std::filesystem::file_size(file_path, size_error);
    if (!file.is_open() || size_error) {
        HttpResult failed;
        failed.error = std::string(kReadLocalError) + ": " + file_path;
        return finish(failed, kPrefix, http_status);
    }
    const std::string boundary = new_boundary();
    HttpRequest request;
    request.method = "POST";
    request.url = url;
    request.content_type = "multipart/form-data; boundary=" + boundary;
    const std::filesystem::path path(file_path);
    const std::string name = field_name.empty() ? config_.platform.upload_file_field : field_name;
    request.before = "--" + boundary + "\r\nContent-Disposition: form-data; name=" + quoted(name) +
                     "; filename=" + quoted(path.filename().string()) + "\r\nContent-Type: " + mime_type(path) +
                     "\r\n\r\n";
    request.file = &file;
    request.file_size = size;
    request.after = "\r\n";
    for (const auto& [key, value] : fields)
        request.after +=
            "--" + boundary + "\r\nContent-Disposition: form-data; name=" + quoted(key) + "\r\n\r\n" + value + "\r\n";
    request.after += "--" + boundary + "--\r\n";

    HttpLimits limits;
    limits.timeout = ms(config_.platform.timeout.post_file * 1000);
    limits.body_limit = kMaxAnswer;
    std::string received;
    const HttpResult result = http_exchange(
        request, limits,
        [&received](const char* data, std::size_t n) {
            received.append(data, n);
            return true;
        },
        upload_.tls);
    if (result.ok && response != nullptr) *response = std::move(received);
    return finish(result, kPrefix, http_status);
}

bool PlatformHttpClient::downloadFile(const std::string& url, const std::string& file_path, long* http_status) {
    std::lock_guard<std::mutex> lock(camera_.mutex);
    std::ofstream out(file_path, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) {
        if (http_status != nullptr) *http_status = 0;
        return false;
    }
    HttpRequest request;
    request.method = "GET";
    request.url = url;
    HttpLimits limits;
    limits.connect_timeout = ms(config_.siyi.connect_timeout_ms);
    limits.timeout = ms(config_.siyi.download_timeout_ms);
    // A failed stream (full disk) stops the transfer, instead of the
    // download passing for complete.
    HttpResult result = http_exchange(
        request, limits,
        [&out](const char* data, std::size_t n) {
            out.write(data, static_cast<std::streamsize>(n));
            return out.good();
        },
        camera_.tls);
    out.close();
    // Buffered bytes reach the disk only at close: a failure there means a
    // truncated file as surely as a failed write during the transfer.
    if (result.ok && out.fail()) {
        result.ok = false;
        result.error = kWriteLocalError;
    }
    return finish(result, "curl download error: ", http_status);
}

}  // namespace kovo::platform
