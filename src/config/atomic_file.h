#pragma once

#include <string>

namespace kovo::config {

// Replaces the file at path with bytes: a temporary file in the same
// directory, synced, then renamed over the target, so that a power loss
// leaves either the old file or the new one, never a half-written one. The
// replacement keeps the permissions of the file it replaces. False when a
// step fails (errno tells why); the target is then untouched and no
// temporary file remains.
bool write_file_atomically(const std::string& path, const std::string& bytes);

}  // namespace kovo::config
