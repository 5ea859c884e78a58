// The library's unload while memory runs out: every handle still open is
// disconnected and released, nothing escapes the unload hook (which would
// end the process), and the library works afterwards. Part of the
// allocation-failure program.
#include <gtest/gtest.h>

#include "alloc_hook.h"
#include "api/handle_table.h"
#include "every_allocation.h"
#include "test_support.h"
#include "wire/commands.h"

using namespace tes::test;
using tes::oom::Scope;

namespace {

constexpr int kInvalidHandle = 0x900000;

class Unload : public GatewayTest {};

TEST_F(Unload, ClosesEveryHandleWithNoAllocationSucceeding) {
    // Short time-outs: a disconnect whose confirmation is lost ends there.
    const int a = Open(0, 300);
    const int b = Open(0, 300);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    ASSERT_TRUE(tes::oom::MarkReceiveThread(a, oGateway, 0));
    ASSERT_TRUE(tes::oom::MarkReceiveThread(b, oGateway, 1));
    Forget(a);
    Forget(b);
    // From the first allocation on, every one fails on the unloading thread
    // and on both receive threads.
    tes::oom::Arm(Scope::kCallerAndMarked, 1, true);
    EXPECT_NO_THROW(tes::ShutDownDeviceHandles());
    tes::oom::Disarm();
    // Each link was ended with its DISCONNECT, and no handle is left.
    EXPECT_TRUE(WaitUntil([&] { return oGateway.CountCommand(tes::wire::kCmdDisconnect) == 2; },
                          Scaled(2000)));
    EXPECT_EQ(CANDeviceConnectState(a), kInvalidHandle);
    EXPECT_EQ(CANDeviceConnectState(b), kInvalidHandle);
    EXPECT_EQ(tes::OpenHandleCount(), 0u);
    // A fresh table: the next open works.
    const int c = Open();
    ASSERT_GE(c, 0);
    EXPECT_EQ(CANDeviceConnectState(c), 3);
}

TEST(UnloadUnused, MakesNoTable) {
    tes::ShutDownDeviceHandles();  // whatever an earlier test left
    tes::oom::Arm(Scope::kCaller, 1, true);
    EXPECT_NO_THROW(tes::ShutDownDeviceHandles());
    EXPECT_EQ(tes::oom::Disarm(), 0u) << "an unload with nothing open allocates";
}

}  // namespace
