// What a broken property of a fuzz entry does: by default print and abort.
// Fuzz harness.
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "fuzz_entries.h"

namespace tes::fuzz {

namespace {

void PrintAndAbort(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

std::atomic<CheckFailureHandler> gHandler{PrintAndAbort};

}  // namespace

void SetCheckFailureHandler(CheckFailureHandler handler) {
    gHandler.store(handler != nullptr ? handler : PrintAndAbort);
}

void CheckFailed(const char* what) {
    gHandler.load()(what);
}

}  // namespace tes::fuzz
