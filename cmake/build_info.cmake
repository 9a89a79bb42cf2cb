# Run at build time (cmake -P): writes OUTPUT, the header naming this build's
# version, revision and build time, and rewrites it only when the revision
# changed, so an unchanged tree rebuilds nothing. The build time is when this
# revision was first built here. Outside a git checkout the fixed texts stand.
# Inputs: SOURCE_DIR, OUTPUT, VERSION.
set(revision "3feafd6")
set(built "2026-05-17 13:50:30")
find_program(GIT git)
if(GIT)
  # The abbreviated commit, "-dirty" when tracked files differ from it.
  execute_process(COMMAND ${GIT} -C "${SOURCE_DIR}" describe --always --dirty --exclude=*
    OUTPUT_VARIABLE described OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status ERROR_QUIET)
  if(status EQUAL 0 AND described)
    set(revision "${described}")
    string(TIMESTAMP built "%Y-%m-%d %H:%M:%S")
  endif()
endif()

if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" previous)
  if(previous MATCHES "kVersion = \"${VERSION}\";\nconstexpr const char\\* kGitRevision = \"${revision}\";")
    return()
  endif()
endif()
file(WRITE "${OUTPUT}" "#pragma once

// Generated at build time by cmake/build_info.cmake.
namespace kovo::app {

constexpr const char* kVersion = \"${VERSION}\";
constexpr const char* kGitRevision = \"${revision}\";
constexpr const char* kBuildTime = \"${built}\";

}  // namespace kovo::app
")
