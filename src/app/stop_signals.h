#pragma once

#include <chrono>

namespace kovo::app {

// SIGTERM and SIGINT are taken synchronously: blocked in every thread and
// received by wait_for_stop_signal, so no work runs in a signal handler.

// Blocks both in the calling thread and in every thread it starts later:
// call it before any thread exists.
void block_stop_signals();

// Waits up to timeout for SIGTERM or SIGINT: its number, or 0 when none came.
int wait_for_stop_signal(std::chrono::milliseconds timeout);

// "SIGTERM" for SIGTERM, "SIGINT" for SIGINT.
const char* stop_signal_name(int signal);

}  // namespace kovo::app
