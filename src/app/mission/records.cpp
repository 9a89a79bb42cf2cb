#include "app/mission/records.h"

#include "config/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <vector>

namespace kovo::app {

namespace {

// Records hold peer strings: bad UTF-8 is replaced rather than thrown on.
std::string serialise(const nlohmann::json& doc, int indent) {
    return doc.dump(indent < 0 ? -1 : indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

std::string format_current_time(const std::string& format) {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm local{};
    if (format.empty() || ::localtime_r(&now, &local) == nullptr) {
        return "";
    }
    // strftime reports 0 both for a too-small buffer and for an empty
    // result; grow a few times, then give up on the pattern.
    for (size_t size = 64; size <= 4096; size *= 4) {
        std::vector<char> buf(size);
        const size_t n = std::strftime(buf.data(), buf.size(), format.c_str(), &local);
        if (n > 0) {
            return std::string(buf.data(), n);
        }
    }
    return "";
}

int write_json_file(const std::string& path, const nlohmann::json& doc, int indent) {
    const std::string bytes = serialise(doc, indent);
    // Never half-written: a mission copy cut by a power loss is worse than
    // the previous one.
    errno = 0;
    if (config::write_file_atomically(path, bytes)) return 0;
    return errno != 0 ? errno : EIO;
}

int append_jsonl(const std::string& path, const nlohmann::json& record) {
    const std::string line = serialise(record, -1) + "\n";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
        return errno;
    }
    // One write of the whole line: with O_APPEND, lines of concurrent
    // writers never interleave. A short write (full disk) is not continued,
    // as the rest could land between another writer's lines.
    ssize_t n;
    do {
        n = ::write(fd, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    const int error = n < 0 ? errno : (static_cast<size_t>(n) < line.size() ? ENOSPC : 0);
    ::close(fd);
    return error;
}

std::string gen_uuid() {
    static std::atomic<int32_t> counter{0};
    const int32_t n = ++counter;
    const int64_t ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    return std::to_string(ns) + "-" + std::to_string(n);
}

}  // namespace kovo::app
