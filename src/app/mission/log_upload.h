#pragma once

#include <string>

#include "app/mission/ports.h"
#include "app/mission/record_helpers.h"

namespace kovo::app {

// Uploads a finished mission's client log to the platform's archive of
// normal UAV logs, once, in the background.
class LogUploader {
public:
    LogUploader(HttpPort& http, TaskRunner& tasks, const RecordHelpers& records);

    void uploadAsync(const std::string& task_dir);

private:
    void upload(const std::string& task_dir);

    HttpPort& http_;
    TaskRunner& tasks_;
    const RecordHelpers& records_;
};

}  // namespace kovo::app
