#pragma once

// Compiled-in identity of this build: the start-up banner and the statistics
// report it.
namespace kovo::app {

constexpr const char* kVersion = "1.3.0";
constexpr const char* kGitRevision = "3feafd6";
constexpr const char* kBuildTime = "2026-05-17 13:50:30";

}  // namespace kovo::app
