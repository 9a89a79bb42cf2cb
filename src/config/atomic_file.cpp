#include "config/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kovo::config {

namespace {

bool write_all(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Unique per process and call, so concurrent writers never share one.
std::string temp_path_for(const std::string& path) {
    static std::atomic<unsigned> sequence{0};
    return path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(++sequence);
}

}  // namespace

bool write_file_atomically(const std::string& path, const std::string& bytes, std::string* error) {
    const auto fail = [error](int code) {
        if (error != nullptr) *error = std::strerror(code);
        errno = code;  // after the clean-up's own calls
        return false;
    };
    const std::string temp = temp_path_for(path);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return fail(errno);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) ::fchmod(fd, st.st_mode & 07777);
    int code = write_all(fd, bytes) ? 0 : errno;
    if (::fsync(fd) != 0 && code == 0) code = errno;
    if (::close(fd) != 0 && code == 0) code = errno;
    if (code == 0 && std::rename(temp.c_str(), path.c_str()) != 0) code = errno;
    if (code != 0) {
        ::unlink(temp.c_str());
        return fail(code);
    }
    return true;
}

}  // namespace kovo::config
