#include "platform/spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/crc.hpp>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "log/log.h"

namespace kovo::platform {

namespace {

constexpr const char* kMagic = "KSPOOL1";
constexpr const char* kEntrySuffix = ".msg";
constexpr const char* kFileSuffix = ".d";
constexpr const char* kTempSuffix = ".tmp";
constexpr const char* kTornDir = "torn";
constexpr size_t kSeqDigits = 20;

std::string errno_text(const std::string& what) { return what + ": " + std::strerror(errno); }

uint32_t crc32_of(const std::string& data) {
    boost::crc_32_type crc;
    crc.process_bytes(data.data(), data.size());
    return crc.checksum();
}

bool ends_with(const std::string& s, const char* suffix) {
    const size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// The sequence number of "<digits><suffix>", or 0.
uint64_t seq_of(const std::string& name, const char* suffix) {
    if (!ends_with(name, suffix) || name.size() != kSeqDigits + std::strlen(suffix)) return 0;
    uint64_t seq = 0;
    for (size_t i = 0; i < kSeqDigits; ++i) {
        if (name[i] < '0' || name[i] > '9') return 0;
        seq = seq * 10 + static_cast<uint64_t>(name[i] - '0');
    }
    return seq;
}

bool make_dir(const std::string& path, std::string* error) {
    if (::mkdir(path.c_str(), 0750) == 0 || errno == EEXIST) return true;
    if (error != nullptr) *error = errno_text("cannot create " + path);
    return false;
}

bool sync_dir(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Writes data to path through a synced temporary file and a rename.
bool write_durably(const std::string& path, const std::string& data, std::string* error) {
    const std::string tmp = path + kTempSuffix;
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
    if (fd < 0) {
        if (error != nullptr) *error = errno_text("cannot create " + tmp);
        return false;
    }
    bool ok = write_all(fd, data.data(), data.size()) && ::fsync(fd) == 0;
    if (!ok && error != nullptr) *error = errno_text("cannot write " + tmp);
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
        if (error != nullptr) *error = errno_text("cannot rename " + tmp);
        ok = false;
    }
    if (!ok) ::unlink(tmp.c_str());
    return ok;
}

// A copy of src at dst, synced: a hard link when both are on one file
// system (the file's data is then already there), a copy otherwise.
bool place_file(const std::string& src, const std::string& dst, std::string* error) {
    if (::link(src.c_str(), dst.c_str()) == 0) return true;
    const int in = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        if (error != nullptr) *error = errno_text("cannot read " + src);
        return false;
    }
    std::string data;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(in, buf, sizeof(buf))) > 0)
        data.append(buf, static_cast<size_t>(n));
    ::close(in);
    if (n < 0) {
        if (error != nullptr) *error = errno_text("cannot read " + src);
        return false;
    }
    return write_durably(dst, data, error);
}

off_t file_size(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

std::vector<std::string> list_dir(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return names;
    while (const dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
    }
    ::closedir(d);
    return names;
}

// An entry's directory of files: it holds no subdirectories.
void remove_files_dir(const std::string& dir) {
    for (const std::string& name : list_dir(dir))
        ::unlink((dir + "/" + name).c_str());
    ::rmdir(dir.c_str());
}

uint64_t files_dir_size(const std::string& dir) {
    uint64_t total = 0;
    for (const std::string& name : list_dir(dir))
        total += static_cast<uint64_t>(file_size(dir + "/" + name));
    return total;
}

struct Header {
    std::string kind;
    int64_t created_ms = 0;
    uint64_t length = 0;
    uint32_t crc = 0;
};

bool parse_header(const std::string& line, Header& h) {
    std::istringstream in(line);
    std::string magic;
    in >> magic >> h.kind >> h.created_ms >> h.length >> std::hex >> h.crc;
    return !in.fail() && magic == kMagic && in.peek() == EOF;
}

// The header and, when body is given, the checked body of an entry file.
bool read_entry(const std::string& path, Header& h, std::string* body) {
    FILE* f = std::fopen(path.c_str(), "rbe");
    if (f == nullptr) return false;
    std::string content;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0)
        content.append(buf, n);
    std::fclose(f);
    const size_t eol = content.find('\n');
    if (eol == std::string::npos || !parse_header(content.substr(0, eol), h)) return false;
    if (content.size() - eol - 1 != h.length) return false;
    const std::string data = content.substr(eol + 1);
    if (crc32_of(data) != h.crc) return false;
    if (body != nullptr) *body = data;
    return true;
}

}  // namespace

std::string base_name(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int64_t wall_clock_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

SpoolQueue::SpoolQueue(std::string dir) : dir_(std::move(dir)) {}

std::string SpoolQueue::entryPath(uint64_t seq) const {
    char name[32];
    std::snprintf(name, sizeof(name), "%020" PRIu64, seq);
    return dir_ + "/" + name + kEntrySuffix;
}

std::string SpoolQueue::filesDir(uint64_t seq) const {
    const std::string entry = entryPath(seq);
    return entry.substr(0, entry.size() - std::strlen(kEntrySuffix)) + kFileSuffix;
}

bool SpoolQueue::open(std::string* error) {
    if (!make_dir(dir_, error)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    index_.clear();
    bytes_ = 0;
    std::vector<uint64_t> files;
    for (const std::string& name : list_dir(dir_)) {
        const std::string path = dir_ + "/" + name;
        if (ends_with(name, kTempSuffix)) {
            // A write the last run did not finish: never renamed, never owed.
            ::unlink(path.c_str());
        } else if (const uint64_t seq = seq_of(name, kFileSuffix)) {
            files.push_back(seq);
        } else if (const uint64_t entry_seq = seq_of(name, kEntrySuffix)) {
            Header h;
            if (!read_entry(path, h, nullptr)) {
                setAside(entry_seq, "torn");
                continue;
            }
            Entry e{entry_seq, h.kind, h.created_ms, static_cast<uint64_t>(file_size(path))};
            index_[entry_seq] = e;
        }
        if (const uint64_t seq = seq_of(name, kEntrySuffix)) next_seq_ = std::max(next_seq_, seq + 1);
    }
    for (const uint64_t seq : files) {
        auto it = index_.find(seq);
        if (it == index_.end()) {
            // The files of an entry that was never written, or already removed.
            remove_files_dir(filesDir(seq));
        } else {
            it->second.bytes += files_dir_size(filesDir(seq));
        }
    }
    for (const auto& [seq, e] : index_)
        bytes_ += e.bytes;
    return true;
}

void SpoolQueue::setAside(uint64_t seq, const std::string& why) {
    const std::string torn = dir_ + "/" + kTornDir;
    make_dir(torn, nullptr);
    const std::string entry = entryPath(seq);
    const std::string target = torn + entry.substr(entry.rfind('/'));
    ::rename(entry.c_str(), target.c_str());
    const std::string files = filesDir(seq);
    ::rename(files.c_str(), (torn + files.substr(files.rfind('/'))).c_str());
    kovo::log::error() << "[SPOOL] Entry " << entry << " is " << why << ", set aside in " << torn;
}

uint64_t SpoolQueue::append(const std::string& kind, int64_t created_ms, const std::string& body,
                            const std::string& attach_path, std::string* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t seq = next_seq_;
    uint64_t attached = 0;
    if (!attach_path.empty()) {
        // The file keeps its name: the platform sees the name it would have.
        const std::string files = filesDir(seq);
        if (!make_dir(files, error) || !place_file(attach_path, files + "/" + base_name(attach_path), error)) {
            remove_files_dir(files);
            return 0;
        }
        attached = files_dir_size(files);
    }
    char header[128];
    std::snprintf(header, sizeof(header), "%s %s %" PRId64 " %zu %08x\n", kMagic, kind.c_str(), created_ms, body.size(),
                  static_cast<unsigned>(crc32_of(body)));
    const std::string content = header + body;
    if (!write_durably(entryPath(seq), content, error) || !sync_dir(dir_)) {
        ::unlink(entryPath(seq).c_str());
        remove_files_dir(filesDir(seq));
        if (error != nullptr && error->empty()) *error = errno_text("cannot sync " + dir_);
        return 0;
    }
    next_seq_ = seq + 1;
    const Entry e{seq, kind, created_ms, content.size() + attached};
    index_[seq] = e;
    bytes_ += e.bytes;
    return seq;
}

bool SpoolQueue::read(uint64_t seq, std::string& body) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = index_.find(seq);
    if (it == index_.end()) return false;
    Header h;
    if (read_entry(entryPath(seq), h, &body)) return true;
    setAside(seq, "torn");
    bytes_ -= it->second.bytes;
    index_.erase(it);
    return false;
}

void SpoolQueue::remove(uint64_t seq) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = index_.find(seq);
    if (it == index_.end()) return;
    // A removal lost to a crash sends the entry once more: never less.
    ::unlink(entryPath(seq).c_str());
    remove_files_dir(filesDir(seq));
    bytes_ -= it->second.bytes;
    index_.erase(it);
}

void SpoolQueue::addBytes(uint64_t seq, uint64_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = index_.find(seq);
    if (it == index_.end()) return;
    it->second.bytes += bytes;
    bytes_ += bytes;
}

std::vector<SpoolQueue::Entry> SpoolQueue::entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Entry> out;
    out.reserve(index_.size());
    for (const auto& [seq, e] : index_)
        out.push_back(e);
    return out;
}

bool SpoolQueue::next(uint64_t after, Entry& entry) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = index_.upper_bound(after);
    if (it == index_.end()) return false;
    entry = it->second;
    return true;
}

bool SpoolQueue::oldest(Entry& entry) const { return next(0, entry); }

size_t SpoolQueue::count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return index_.size();
}

uint64_t SpoolQueue::bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
}

Spool::Spool(std::string dir, uint64_t max_bytes, int64_t max_age_ms)
    : dir_(std::move(dir)),
      max_bytes_(max_bytes),
      max_age_ms_(max_age_ms),
      reports_(dir_ + "/reports"),
      uploads_(dir_ + "/uploads") {}

Spool::~Spool() {
    if (lock_fd_ >= 0) ::close(lock_fd_);
}

bool Spool::lock(std::string* error) {
    if (!make_dir(dir_, error)) return false;
    const std::string path = dir_ + "/lock";
    lock_fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
    if (lock_fd_ < 0) {
        if (error != nullptr) *error = errno_text("cannot open " + path);
        return false;
    }
    if (::flock(lock_fd_, LOCK_EX | LOCK_NB) == 0) return true;
    if (error != nullptr) *error = errno == EWOULDBLOCK ? "locked" : errno_text("cannot lock " + path);
    ::close(lock_fd_);
    lock_fd_ = -1;
    return false;
}

bool Spool::open(std::string* error) { return make_dir(dir_, error) && reports_.open(error) && uploads_.open(error); }

size_t Spool::enforceBounds(int64_t now_ms) {
    std::lock_guard<std::mutex> lock(bounds_mutex_);
    size_t dropped = 0;
    for (;;) {
        SpoolQueue::Entry r, u;
        const bool has_r = reports_.oldest(r);
        const bool has_u = uploads_.oldest(u);
        if (!has_r && !has_u) break;
        const bool take_r = has_r && (!has_u || r.created_ms <= u.created_ms);
        const SpoolQueue::Entry& e = take_r ? r : u;
        const bool too_big = reports_.bytes() + uploads_.bytes() > max_bytes_;
        if (!too_big && now_ms - e.created_ms <= max_age_ms_) break;
        (take_r ? reports_ : uploads_).remove(e.seq);
        ++dropped;
    }
    if (dropped > 0) {
        dropped_ += dropped;
        kovo::log::error() << "[SPOOL] Dropped " << dropped << " oldest entries of " << dir_ << " (over "
                           << max_bytes_ / (1024 * 1024) << " MB or " << max_age_ms_ / 3600000 << " hours)";
    }
    return dropped;
}

void Spool::setLastError(const std::string& text) {
    std::lock_guard<std::mutex> lock(bounds_mutex_);
    last_error_ = text;
}

std::string Spool::lastError() const {
    std::lock_guard<std::mutex> lock(bounds_mutex_);
    return last_error_;
}

uint64_t Spool::dropped() const {
    std::lock_guard<std::mutex> lock(bounds_mutex_);
    return dropped_;
}

}  // namespace kovo::platform
