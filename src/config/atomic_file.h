#pragma once

#include <string>

namespace kovo::config {

// Replaces the file at path with bytes: a temporary file in the same
// directory, synced, then renamed over the target, so that a power loss
// leaves either the old file or the new one, never a half-written one. The
// replacement keeps the permissions of the file it replaces. False when a
// step fails; the target is then untouched and no temporary file remains,
// and errno and error (when given) hold the system's reason ("Read-only file
// system").
bool write_file_atomically(const std::string& path, const std::string& bytes, std::string* error = nullptr);

}  // namespace kovo::config
