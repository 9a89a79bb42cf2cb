#pragma once

#include <string>

#include "app/mission/ports.h"
#include "app/mission/record_helpers.h"

namespace kovo::app {

// Uploads a finished mission's client log to the platform's archive of
// normal UAV logs, once. The caller runs it in the background, after the
// mission's photo uploads, so that the log tells how they ended.
class LogUploader {
public:
    // A log the platform does not take goes to spill (when given).
    LogUploader(HttpPort& http, const RecordHelpers& records, UploadSpill* spill = nullptr);

    // A log that is missing or empty is not uploaded: that is said instead.
    void upload(const std::string& task_dir);

private:
    HttpPort& http_;
    const RecordHelpers& records_;
    UploadSpill* spill_;
};

}  // namespace kovo::app
