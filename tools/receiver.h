// tessara-can: received frames for the subcommands that look at the whole
// bus (sniff, busload): identifier filters as `dump` takes them, and an
// inbox the library's callback fills and the main thread empties.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tool.h"

namespace tool {

struct IdFilter {
    CanId oId;
    uint32_t nMask = 0;
    bool Pass(uint32_t id, bool extended) const {
        return extended == oId.bExtended && ((id ^ oId.nId) & nMask) == 0;
    }
};

// Takes every "--filter ID:MASK" out of `args`. False with the reason for
// one that is not ID:MASK.
bool TakeFilters(std::vector<std::string>* args, std::vector<IdFilter>* out, std::string* error);
// No filters: everything passes; otherwise any one must pass the frame.
bool PassesFilters(const std::vector<IdFilter>& filters, uint32_t id, bool extended);

struct RxFrame {
    std::chrono::steady_clock::time_point oAt;  // reception here
    uint32_t nId = 0;
    int nFlags = 0;
    int nLength = 0;
    uint8_t aData[64] = {};
};

// One per process: the library's callbacks carry no user pointer.
namespace inbox {
// Frames that fail the filters are not kept.
void SetFilters(const std::vector<IdFilter>& filters);
// Installs the callback on a handle (a Link setup step); a result code.
int Attach(int handle);
// Everything received since the last call, waiting up to `until` for the
// first frame. Frames beyond a bound (the main thread falling behind) are
// counted in *dropped instead.
std::vector<RxFrame> Take(std::chrono::steady_clock::time_point until, long long* dropped);
}  // namespace inbox

}  // namespace tool
