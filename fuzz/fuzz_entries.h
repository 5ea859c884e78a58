// Entry points of the fuzz targets. Each takes one input of arbitrary bytes
// and must return without a crash, a hang, a sanitizer report or a broken
// property. The libFuzzer programs and the regression test call the same
// functions. Fuzz harness.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tes::fuzz {

// Bytes from the gateway: cut as a TCP stream or as datagrams, handled with
// link control on or off, stored as confirmations or dispatched to callbacks
// or queues, then claimed and polled.
void ReceiveInput(const uint8_t* data, size_t size);
// One request of the CAN, device or CANopen commands answered with a
// confirmation made from the input, then unpacked.
void ConfirmationInput(const uint8_t* data, size_t size);
// A time value's text read in one of the twelve layouts (or an invalid one).
void TimeTextInput(const uint8_t* data, size_t size);
// Lines of a candump log read as `tessara-can play` reads them, and what it
// accepts written back and read again.
void CandumpLogInput(const uint8_t* data, size_t size);
// A socketcand client's byte stream cut into messages and read as commands,
// and the server's messages read back.
void SocketcandInput(const uint8_t* data, size_t size);

struct Target {
    const char* sName;  // directory name under fuzz/corpus and fuzz/regressions
    void (*pEntry)(const uint8_t* data, size_t size);
};
constexpr Target kTargets[] = {
    {"receive", ReceiveInput},
    {"confirmation", ConfirmationInput},
    {"time_text", TimeTextInput},
    {"candump_log", CandumpLogInput},
    {"socketcand", SocketcandInput},
};

// A broken property calls the handler with a description; the default one
// prints it and aborts, which is what libFuzzer records as a crash.
using CheckFailureHandler = void (*)(const char* what);
void SetCheckFailureHandler(CheckFailureHandler handler);
void CheckFailed(const char* what);
inline void Check(bool condition, const char* what) {
    if (!condition) CheckFailed(what);
}

}  // namespace tes::fuzz
