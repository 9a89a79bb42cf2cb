#include "app/upload_retrier.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "log/log.h"

namespace kovo::app {

namespace {

constexpr const char* kKind = "upload";

nlohmann::json to_json(const SpooledUpload& u) {
    return {{"url", u.url},          {"download_url", u.download_url}, {"fields", u.fields},
            {"field", u.field_name}, {"mission", u.mission},           {"file", platform::base_name(u.path)}};
}

bool from_json(const std::string& text, SpooledUpload& u) {
    const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (!j.is_object()) return false;
    try {
        u.url = j.at("url").get<std::string>();
        u.download_url = j.at("download_url").get<std::string>();
        u.fields = j.at("fields").get<std::map<std::string, std::string>>();
        u.field_name = j.at("field").get<std::string>();
        u.mission = j.at("mission").get<std::string>();
        u.path = j.at("file").get<std::string>();
    } catch (const nlohmann::json::exception&) {
        return false;
    }
    if (u.path.empty()) u.path = platform::base_name(u.download_url);
    return true;
}

}  // namespace

UploadRetrier::UploadRetrier(platform::Spool& spool, HttpPort& http, std::function<int64_t()> now_ms)
    : spool_(spool), http_(http), now_ms_(std::move(now_ms)) {}

void UploadRetrier::spool(const SpooledUpload& upload) {
    const int64_t now = now_ms_();
    std::string error;
    const uint64_t seq = spool_.uploads().append(
        kKind, now, to_json(upload).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), upload.path,
        &error);
    const std::string what = upload.path.empty() ? upload.download_url : upload.path;
    if (seq == 0) {
        kovo::log::error() << "[SPOOL] Cannot spool the upload of " << what << ": " << error;
        spool_.setLastError(error);
        return;
    }
    kovo::log::info() << "[SPOOL] Upload of " << what << " to " << upload.url << " spooled for later";
    spool_.enforceBounds(now);
    std::lock_guard<std::mutex> lock(mutex_);
    // The mission's own attempts have just failed: the first retry waits.
    retries_[seq] = Retry{now + kFirstPauseMs, kFirstPauseMs * 2};
    woken_ = true;
    cv_.notify_all();
}

void UploadRetrier::wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    retries_.clear();
    woken_ = true;
    cv_.notify_all();
}

void UploadRetrier::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    cv_.notify_all();
}

bool UploadRetrier::stopping() {
    std::lock_guard<std::mutex> lock(mutex_);
    return !running_;
}

void UploadRetrier::run() {
    for (;;) {
        const int64_t next = runPass();
        std::unique_lock<std::mutex> lock(mutex_);
        auto ready = [this] { return !running_ || woken_; };
        if (next < 0) {
            cv_.wait(lock, ready);
        } else {
            cv_.wait_for(lock, std::chrono::milliseconds(next), ready);
        }
        if (!running_) return;
        woken_ = false;
    }
}

void UploadRetrier::giveUpExpired(int64_t now) {
    for (const auto& e : spool_.uploads().entries()) {
        if (now - e.created_ms <= spool_.maxAgeMs()) break;
        std::string body;
        SpooledUpload u;
        if (spool_.uploads().read(e.seq, body) && from_json(body, u)) {
            kovo::log::error() << "[SPOOL] Giving up the upload of " << u.path << " of mission " << u.mission
                               << ": not accepted in " << spool_.maxAgeMs() / 3600000 << " hours";
        }
        spool_.uploads().remove(e.seq);
        std::lock_guard<std::mutex> lock(mutex_);
        retries_.erase(e.seq);
    }
}

int64_t UploadRetrier::runPass() {
    giveUpExpired(now_ms_());
    spool_.enforceBounds(now_ms_());
    int64_t next = -1;
    auto soonest = [&next](int64_t wait) { next = next < 0 ? wait : std::min(next, wait); };
    for (const auto& e : spool_.uploads().entries()) {
        if (stopping()) return -1;
        const int64_t now = now_ms_();
        Retry retry;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = retries_.find(e.seq);
            if (it != retries_.end()) retry = it->second;
        }
        if (retry.due_ms > now) {
            soonest(retry.due_ms - now);
            continue;
        }
        std::string body;
        SpooledUpload u;
        if (!spool_.uploads().read(e.seq, body)) continue;
        if (!from_json(body, u)) {
            kovo::log::error() << "[SPOOL] Unreadable upload entry " << e.seq << " removed";
            spool_.uploads().remove(e.seq);
            continue;
        }
        const Outcome outcome = attempt(e.seq, u);
        std::lock_guard<std::mutex> lock(mutex_);
        if (outcome == Outcome::DELIVERED) {
            retries_.erase(e.seq);
            continue;
        }
        retries_[e.seq] = Retry{now_ms_() + retry.pause_ms, std::min(retry.pause_ms * 2, kMaxPauseMs)};
        soonest(retry.pause_ms);
        // The newer entries would fare no better.
        if (outcome == Outcome::UNREACHED) break;
    }
    return next;
}

UploadRetrier::Outcome UploadRetrier::attempt(uint64_t seq, const SpooledUpload& u) {
    const std::string dir = spool_.uploads().filesDir(seq);
    const std::string file = dir + "/" + u.path;
    long status = 0;
    struct stat st {};
    if (!u.download_url.empty() && ::stat(file.c_str(), &st) != 0) {
        const std::string part = file + ".part";
        ::mkdir(dir.c_str(), 0750);
        if (!http_.downloadFile(u.download_url, part, &status) || !http_success(status) ||
            std::rename(part.c_str(), file.c_str()) != 0 || ::stat(file.c_str(), &st) != 0) {
            std::remove(part.c_str());
            spool_.setLastError("download of " + u.download_url + " failed");
            // The camera's trouble, not the platform's: the next entries still go.
            return Outcome::REFUSED;
        }
        spool_.uploads().addBytes(seq, static_cast<uint64_t>(st.st_size));
    }
    std::string response;
    status = 0;
    const bool answered = http_.postFile(u.url, file, u.fields, u.field_name, &response, &status);
    if (answered && http_success(status)) {
        kovo::log::info() << "[SPOOL] Delivered " << u.path << " of mission " << u.mission << " to " << u.url
                          << " resp=" << response;
        spool_.uploads().remove(seq);
        return Outcome::DELIVERED;
    }
    spool_.setLastError(answered ? "upload of " + u.path + ": HTTP " + std::to_string(status)
                                 : "upload of " + u.path + ": no answer");
    return answered ? Outcome::REFUSED : Outcome::UNREACHED;
}

}  // namespace kovo::app
