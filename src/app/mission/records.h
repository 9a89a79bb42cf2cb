#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace kovo::app {

// Local time now, formatted with a strftime pattern (whole seconds).
std::string format_current_time(const std::string& format);

// Writes doc (indent spaces per level; negative: one line; raw UTF-8, bad
// bytes replaced; no final newline) through a temporary file and a rename, so
// the file is never half-written. 0, or the errno of the step that failed
// (the file is then untouched).
int write_json_file(const std::string& path, const nlohmann::json& doc, int indent);

// Appends the compact record and a line feed in one write (lines of
// concurrent callers never interleave); bad UTF-8 bytes are replaced. 0, or
// the errno of the failure (a short write counts as ENOSPC).
int append_jsonl(const std::string& path, const nlohmann::json& record);

// Monotonic nanoseconds, "-", a process-wide counter (first call: 1).
std::string gen_uuid();

}  // namespace kovo::app
