#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace kovo::app {

// Local time now, formatted with a strftime pattern (whole seconds).
std::string format_current_time(const std::string& format);

// Writes doc (indent spaces per level; negative: one line; raw UTF-8, bad
// bytes replaced; no final newline) through a temporary file and a rename, so
// the file is never half-written. Silently does nothing when the directory
// cannot be written.
void write_json_file(const std::string& path, const nlohmann::json& doc, int indent);

// Appends the compact record and a line feed in one write (lines of
// concurrent callers never interleave); bad UTF-8 bytes are replaced.
// Silently does nothing when the file cannot be opened.
void append_jsonl(const std::string& path, const nlohmann::json& record);

// Monotonic nanoseconds, "-", a process-wide counter (first call: 1).
std::string gen_uuid();

}  // namespace kovo::app
