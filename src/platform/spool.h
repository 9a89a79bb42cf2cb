#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace kovo::platform {

// One ordered queue of the spool, in its own directory. Each entry is a file
// named by its zero-padded sequence number (<seq>.msg): a header line with
// its kind, creation time, body length and CRC-32, then the body; an entry
// may carry files beside it (in <seq>.d/, hard-linked or copied, under
// their own names). Entries are
// written to a temporary name, synced, renamed and the directory synced, so
// a crash leaves either the whole entry or none. A torn entry found later is
// moved into torn/ with one line on standard error and never handed out.
// Only names, sizes and times are kept in memory, never bodies. Thread-safe.
class SpoolQueue {
public:
    struct Entry {
        uint64_t seq = 0;
        std::string kind;
        int64_t created_ms = 0;  // wall-clock milliseconds since the epoch
        uint64_t bytes = 0;      // the entry and its file together
    };

    explicit SpoolQueue(std::string dir);

    // Creates the directory if needed and indexes what it holds: leftover
    // temporary files and files without their entry are removed, torn
    // entries set aside. False (error set) when the directory is unusable.
    bool open(std::string* error);
    // The new entry's sequence number, or 0 (error set) when it could not be
    // written; nothing is left behind then.
    uint64_t append(const std::string& kind, int64_t created_ms, const std::string& body,
                    const std::string& attach_path = "", std::string* error = nullptr);
    // The body, checked against its header; false when the entry is gone or
    // torn (then set aside).
    bool read(uint64_t seq, std::string& body);
    // The directory of an entry's files (which need not exist).
    std::string filesDir(uint64_t seq) const;
    void remove(uint64_t seq);
    // Counts a file added to an entry's directory later.
    void addBytes(uint64_t seq, uint64_t bytes);

    // Oldest first.
    std::vector<Entry> entries() const;
    // The oldest entry after seq (0: the oldest of all); false when none.
    bool next(uint64_t after, Entry& entry) const;
    bool oldest(Entry& entry) const;
    size_t count() const;
    uint64_t bytes() const;
    const std::string& dir() const { return dir_; }

private:
    std::string entryPath(uint64_t seq) const;
    void setAside(uint64_t seq, const std::string& why);  // mutex_ held

    const std::string dir_;
    mutable std::mutex mutex_;  // leaf
    std::map<uint64_t, Entry> index_;
    uint64_t next_seq_ = 1;
    uint64_t bytes_ = 0;
};

// The daemon's spool: a directory holding the reports queue and the uploads
// queue, locked against a second daemon, and bounded in size and age.
class Spool {
public:
    Spool(std::string dir, uint64_t max_bytes, int64_t max_age_ms);
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    // Takes the directory's lock; false when another process holds it or the
    // directory is unusable (error says which: "locked" for the former).
    bool lock(std::string* error);
    // Opens both queues; false (error set) when one is unusable.
    bool open(std::string* error);

    SpoolQueue& reports() { return reports_; }
    SpoolQueue& uploads() { return uploads_; }
    const SpoolQueue& reports() const { return reports_; }
    const SpoolQueue& uploads() const { return uploads_; }

    // Drops the oldest entries (of both queues) while the spool is over its
    // size or they are over their age; one line on standard error counting
    // them. now_ms: wall-clock milliseconds. The number dropped.
    size_t enforceBounds(int64_t now_ms);
    uint64_t dropped() const;
    // The last failure to write, read or deliver an entry, for the statistics.
    void setLastError(const std::string& text);
    std::string lastError() const;
    int64_t maxAgeMs() const { return max_age_ms_; }
    const std::string& dir() const { return dir_; }

private:
    const std::string dir_;
    const uint64_t max_bytes_;
    const int64_t max_age_ms_;
    int lock_fd_ = -1;
    SpoolQueue reports_;
    SpoolQueue uploads_;
    mutable std::mutex bounds_mutex_;  // one trim at a time; taken before a queue's
    uint64_t dropped_ = 0;
    std::string last_error_;
};

// The last component of a path.
std::string base_name(const std::string& path);
// Wall-clock milliseconds since the epoch.
int64_t wall_clock_ms();

}  // namespace kovo::platform
