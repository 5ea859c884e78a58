// Test-only allocation hook of the out-of-memory suite: the program's global
// operator new fails the Nth counted allocation on demand.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tes::oom {

// Which allocations count while the hook is armed.
enum class Scope {
    // Only the thread that armed the hook: a call into the library on the
    // test's thread, without the threads the library (or the simulator) runs.
    kCaller,
    // Every thread but the one that armed the hook: the library's receive
    // thread taking a telegram. The simulator must be idle meanwhile; the
    // test thread itself sends the telegram and waits.
    kOtherThreads,
    // The thread that armed the hook and the threads marked with
    // MarkThisThread: a request on the test's thread together with the
    // receive thread that takes its confirmation, without the simulator's.
    kCallerAndMarked,
};

// Marks (or unmarks) the calling thread for kCallerAndMarked, for as long as
// it runs; a library thread marks itself from a callback it runs.
void MarkThisThread(bool marked);

// Arms the hook: counted allocations from now on are numbered 1, 2, ...; the
// one numbered `failAt` fails (std::bad_alloc, or null for the nothrow
// forms), and with `andAfter` every one after it too (memory that stays
// short). 0 counts without failing.
void Arm(Scope scope, uint64_t failAt, bool andAfter = false);
// Disarms and returns how many allocations were counted.
uint64_t Disarm();
// Whether the armed allocation has failed yet.
bool Failed();

// Independent of Arm: fails the next `count` allocations of exactly `size`
// bytes, on any thread (for an allocation only the operation under test
// makes, such as a telegram of an unusual length). Size 0 stops it.
void FailSize(std::size_t size, int count);
// How many allocations FailSize has failed since it was last called.
int SizeFailures();

}  // namespace tes::oom
