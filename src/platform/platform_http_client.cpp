#include "platform/platform_http_client.h"

#include <curl/curl.h>

#include <fstream>
#include <memory>
#include <new>

#include "log/log.h"

namespace kovo::platform {

namespace {

// libcurl write callback: appends the chunk to the std::string behind user.
size_t write_callback(char* data, size_t size, size_t nmemb, void* user) {
    const size_t bytes = size * nmemb;
    try {
        static_cast<std::string*>(user)->append(data, bytes);
    } catch (const std::bad_alloc&) {
        // No exception may unwind through libcurl; a short count aborts the transfer.
        return 0;
    }
    return bytes;
}

// libcurl write callback: writes the chunk to the std::ofstream behind user.
// A failed stream (full disk) answers a short count, so that libcurl aborts
// instead of the download passing for complete.
size_t write_file_callback(char* data, size_t size, size_t nmemb, void* user) {
    auto* out = static_cast<std::ofstream*>(user);
    const size_t bytes = size * nmemb;
    out->write(data, static_cast<std::streamsize>(bytes));
    return out->good() ? bytes : 0;
}

struct MimeFree {
    void operator()(curl_mime* mime) const { curl_mime_free(mime); }
};

}  // namespace

void PlatformHttpClient::globalInit() {
    static const CURLcode kGlobalInit = curl_global_init(CURL_GLOBAL_DEFAULT);
    (void)kGlobalInit;
}

PlatformHttpClient::Handle::Handle() : curl(curl_easy_init()) {}

PlatformHttpClient::Handle::~Handle() {
    if (curl != nullptr) curl_easy_cleanup(curl);
}

PlatformHttpClient::PlatformHttpClient(const config::AppConfig& config) : config_(config) {}

PlatformHttpClient::~PlatformHttpClient() = default;

bool PlatformHttpClient::postFile(const std::string& url, const std::string& file_path,
                                  const std::map<std::string, std::string>& fields, const std::string& field_name,
                                  std::string* response, long* http_status) {
    void* curl = upload_.curl;
    if (curl == nullptr) return false;
    std::lock_guard<std::mutex> lock(upload_.mutex);
    curl_easy_reset(curl);
    std::unique_ptr<curl_mime, MimeFree> mime(curl_mime_init(curl));
    if (!mime) return finish(curl, CURLE_OUT_OF_MEMORY, "curl postFile error: ", http_status);
    // The file part goes first; libcurl reads the file during the transfer and
    // sends its base name. A missing file is not checked here: the transfer
    // fails with libcurl's own text.
    curl_mimepart* part = curl_mime_addpart(mime.get());
    curl_mime_name(part, (field_name.empty() ? config_.platform.upload_file_field : field_name).c_str());
    curl_mime_filedata(part, file_path.c_str());
    for (const auto& [name, value] : fields) {
        part = curl_mime_addpart(mime.get());
        curl_mime_name(part, name.c_str());
        curl_mime_data(part, value.data(), value.size());
    }
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime.get());
    return exchange(curl, config_.platform.timeout.post_file * 1000, "curl postFile error: ", response, http_status);
}

bool PlatformHttpClient::downloadFile(const std::string& url, const std::string& file_path, long* http_status) {
    void* curl = camera_.curl;
    if (curl == nullptr) return false;
    std::lock_guard<std::mutex> lock(camera_.mutex);
    curl_easy_reset(curl);
    std::ofstream out(file_path, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) {
        if (http_status != nullptr) *http_status = 0;
        return false;
    }
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_file_callback);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &out);
    int code = transfer(curl, config_.siyi.connect_timeout_ms, config_.siyi.download_timeout_ms);
    out.close();
    // Buffered bytes reach the disk only at close: a failure there means a
    // truncated file as surely as a failed write during the transfer.
    if (code == CURLE_OK && out.fail()) code = CURLE_WRITE_ERROR;
    return finish(curl, code, "curl download error: ", http_status);
}

bool PlatformHttpClient::exchange(void* curl, int64_t timeout_ms, const char* error_prefix, std::string* response,
                                  long* http_status) {
    std::string received;
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_callback);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &received);
    const bool ok = finish(curl, transfer(curl, 0, timeout_ms), error_prefix, http_status);
    if (ok && response != nullptr) *response = std::move(received);
    return ok;
}

int PlatformHttpClient::transfer(void* curl, int64_t connect_timeout_ms, int64_t timeout_ms) {
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connect_timeout_ms));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout_ms));
    // No SIGALRM for name resolution timeouts: the client runs on many threads.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    return curl_easy_perform(curl);
}

bool PlatformHttpClient::finish(void* curl, int curl_code, const char* error_prefix, long* http_status) {
    const auto code = static_cast<CURLcode>(curl_code);
    if (http_status != nullptr) {
        *http_status = 0;
        if (code == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, http_status);
    }
    if (code == CURLE_OK) return true;
    kovo::log::error() << "HTTP error: " << error_prefix << curl_easy_strerror(code);
    return false;
}

}  // namespace kovo::platform
