// tessara-can: filters and the frame inbox (see receiver.h).
#include "receiver.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace tool {

bool TakeFilters(std::vector<std::string>* args, std::vector<IdFilter>* out, std::string* error) {
    for (size_t i = 0; i < args->size();) {
        if ((*args)[i] != "--filter") {
            ++i;
            continue;
        }
        if (i + 1 >= args->size()) {
            *error = "--filter needs ID:MASK";
            return false;
        }
        const std::string f = (*args)[i + 1];
        const size_t colon = f.find(':');
        IdFilter filter;
        unsigned long long mask = 0;
        if (colon == std::string::npos || !ParseCanId(f.substr(0, colon), &filter.oId) ||
            !ParseHex(f.substr(colon + 1), 0x1FFFFFFF, &mask)) {
            *error = "--filter '" + f + "' is not ID:MASK (ID 3 hex digits standard, 8 extended)";
            return false;
        }
        filter.nMask = static_cast<uint32_t>(mask);
        out->push_back(filter);
        args->erase(args->begin() + static_cast<long>(i), args->begin() + static_cast<long>(i) + 2);
    }
    return true;
}

bool PassesFilters(const std::vector<IdFilter>& filters, uint32_t id, bool extended) {
    return filters.empty() || std::any_of(filters.begin(), filters.end(),
                                          [&](const IdFilter& f) { return f.Pass(id, extended); });
}

namespace inbox {

namespace {

constexpr size_t kMaxWaiting = 200000;

// Lives for the whole process, since a late callback may still use it.
struct State {
    std::mutex oMutex;
    std::condition_variable oCond;
    std::vector<IdFilter> oFilters;
    std::vector<RxFrame> oFrames;
    long long nDropped = 0;
};
State gState;

void TESSARA_CALLBACK OnFrame(int id, const char* data, int length, int flags, int, int, int) {
    RxFrame f;
    f.oAt = std::chrono::steady_clock::now();
    f.nId = static_cast<uint32_t>(id);
    f.nFlags = flags;
    f.nLength = std::clamp(length, 0, static_cast<int>(sizeof f.aData));
    if (f.nLength > 0) std::memcpy(f.aData, data, static_cast<size_t>(f.nLength));
    std::lock_guard<std::mutex> lock(gState.oMutex);
    if (!PassesFilters(gState.oFilters, f.nId, (flags & kFlagExtended) != 0)) return;
    if (gState.oFrames.size() >= kMaxWaiting) {
        ++gState.nDropped;
        return;
    }
    gState.oFrames.push_back(f);
    if (gState.oFrames.size() == 1) gState.oCond.notify_all();
}

}  // namespace

void SetFilters(const std::vector<IdFilter>& filters) {
    std::lock_guard<std::mutex> lock(gState.oMutex);
    gState.oFilters = filters;
}

int Attach(int handle) {
    return CANSetCallbackEx(handle, OnFrame);
}

std::vector<RxFrame> Take(std::chrono::steady_clock::time_point until, long long* dropped) {
    std::vector<RxFrame> out;
    std::unique_lock<std::mutex> lock(gState.oMutex);
    gState.oCond.wait_until(lock, until, [] { return !gState.oFrames.empty(); });
    out.swap(gState.oFrames);
    if (dropped != nullptr) *dropped += gState.nDropped;
    gState.nDropped = 0;
    return out;
}

}  // namespace inbox

}  // namespace tool
