// Process-level behaviour on POSIX systems: unloading the shared library with
// handles open, and descriptors and threads after many open/close cycles.
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "test_support.h"

using namespace tes::test;

namespace {

class Unload : public GatewayTest {};
class Resources : public GatewayTest {};

size_t CountEntries(const char* dir) {
    size_t n = 0;
    if (DIR* d = opendir(dir)) {
        while (readdir(d) != nullptr) ++n;
        closedir(d);
    }
    return n;
}

TEST_F(Resources, OpenAndCloseLeaveNothingBehind) {
    // Warm up once so that lazily created process resources are counted.
    CANCloseDevice(Open());
    oHandles.clear();
    ASSERT_TRUE(oGateway.WaitForIdle(Scaled(3000)));
    const size_t fds = CountEntries("/proc/self/fd");
    const size_t threads = CountEntries("/proc/self/task");
    for (int i = 0; i < 200; ++i) {
        int handle = 0;
        ASSERT_EQ(CANOpenDevice(&handle, 0, 0, 0, sAddress.c_str(), 2000), 0);
        ASSERT_EQ(CANCloseDevice(handle), 0);
    }
    ASSERT_TRUE(oGateway.WaitForIdle(Scaled(3000)));
    EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
    // The simulator's connection threads wind down on their own.
    EXPECT_TRUE(WaitUntil([&] { return CountEntries("/proc/self/task") <= threads; },
                                 Scaled(3000)));
}


TEST_F(Unload, DlcloseDisconnectsOpenHandles) {
    const char* path = TESSARA_SHARED_LIBRARY;
    if (path[0] == '\0') GTEST_SKIP() << "no shared library in this build";
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    using OpenFn = int (*)(int*, int, int, int, const char*, int);
    using StateFn = int (*)(int);
    auto open = reinterpret_cast<OpenFn>(dlsym(library, "CANOpenDevice"));
    auto state = reinterpret_cast<StateFn>(dlsym(library, "CANDeviceConnectState"));
    ASSERT_NE(open, nullptr);
    ASSERT_NE(state, nullptr);
    int a = 0, b = 0;
    ASSERT_EQ(open(&a, 0, 0, 0, sAddress.c_str(), 2000), 0);
    ASSERT_EQ(open(&b, 0, 0, 0, sAddress.c_str(), 2000), 0);
    EXPECT_EQ(state(a), 3);
    ASSERT_EQ(dlclose(library), 0);
    // Both links were ended by the library itself: DISCONNECT, then closed.
    EXPECT_TRUE(oGateway.WaitFor([&] { return oGateway.CountCommand(0x0202) == 2; }, Scaled(3000)));
    EXPECT_TRUE(oGateway.WaitForClosed(0, Scaled(3000)));
    EXPECT_TRUE(oGateway.WaitForClosed(1, Scaled(3000)));
}

}  // namespace
