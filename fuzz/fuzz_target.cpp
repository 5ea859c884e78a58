// The libFuzzer program of one entry of fuzz_entries.h, chosen at build time
// by TESSARA_FUZZ_TARGET. Fuzz harness.
#include <cstdlib>
#include <cstring>

#include "fuzz_entries.h"

namespace {

const tes::fuzz::Target* Selected() {
    for (const tes::fuzz::Target& target : tes::fuzz::kTargets) {
        if (std::strcmp(target.sName, TESSARA_FUZZ_TARGET) == 0) return &target;
    }
    std::abort();
}

const tes::fuzz::Target* const gTarget = Selected();

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    gTarget->pEntry(data, size);
    return 0;
}
