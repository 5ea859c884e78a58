// What the two programs (tessara-can, tessara-sim) need from the console and
// the process that differs between Windows and POSIX; CMake builds one of
// console_win32.cpp and console_posix.cpp. Program layer, beside the library.
#pragma once

#include <chrono>
#include <cstdio>

namespace console {

// The programs' clock for periods, deadlines and rates. steady_clock is
// monotonic on both platforms (mingw's libstdc++ reads it through
// QueryPerformanceCounter), so it is the same type everywhere.
using Clock = std::chrono::steady_clock;
static_assert(Clock::is_steady, "the programs time with a monotonic clock");

// From now on a stop request sets a flag instead of ending the process: on
// POSIX SIGINT and SIGTERM, on Windows Ctrl-C, Ctrl-Break and closing the
// console window (a console control handler). Callable more than once.
void CatchStopRequests();
// True once a stop was requested after CatchStopRequests.
bool StopRequested();

// True when the stream is an interactive terminal or console.
bool IsTerminal(std::FILE* stream);

}  // namespace console
