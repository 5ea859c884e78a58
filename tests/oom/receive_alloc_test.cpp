// A receive thread that runs out of memory while it stores a confirmation:
// the telegram is dropped and counted, the thread and the process live on.
// Part of the allocation-failure program (alloc_hook.cpp replaces operator new).
#include <gtest/gtest.h>

#include <memory>

#include "alloc_hook.h"
#include "api/handle_table.h"
#include "test_support.h"

namespace {

using namespace tes::test;

// Fails the next `count` allocations of `size` bytes, on any thread, until
// it goes out of scope.
class FailAllocations {
public:
    FailAllocations(size_t size, int count) { tes::oom::FailSize(size, count); }
    ~FailAllocations() { tes::oom::FailSize(0, 0); }
    int Failed() const { return tes::oom::SizeFailures(); }
};

constexpr uint16_t kWriteDigital = 0x0241;
// The confirmation's data part: the result byte and padding. No other
// allocation of the exchange has this size (the gateway's telegram is
// seven bytes longer, the request is a few bytes).
constexpr size_t kReplyData = 1001;

class ReceiveAlloc : public GatewayTest {
protected:
    void SetUp() override {
        GatewayTest::SetUp();
        h = Open(0, 500);
        // Built once and shared: the gateway's copies of the script must not
        // allocate the size that is to fail.
        auto data = std::make_shared<const Bytes>(kReplyData, 0x5A);
        oGateway.Script(kWriteDigital, [data](const tes::sim::Request& r) {
            Bytes reply = Encode(kWriteDigital | 0x8000, r.nTelegramId, *data);
            reply[6] = 0;  // executed
            reply.back() ^= 0x5A;
            return std::optional<Bytes>(std::move(reply));
        });
    }
    tes::CTessaraClientCANDll& Client() { return *tes::LookupDeviceHandle(h)->pClient; }
    int h = -1;
};

TEST_F(ReceiveAlloc, AConfirmationThatCannotBeStoredIsDroppedAndTheNextRequestWorks) {
    {
        FailAllocations failing(kReplyData, 1);
        // The confirmation is lost on the receive thread: the request ends
        // at its time-out, the link stays up.
        EXPECT_EQ(CANWriteDigital(h, 0x11), 0x40000);
        EXPECT_EQ(failing.Failed(), 1);
    }
    EXPECT_EQ(Client().Connection().DroppedTelegrams(), 1u);
    EXPECT_EQ(CANDeviceConnectState(h), 3);
    EXPECT_EQ(CANWriteDigital(h, 0x22), 0);
    EXPECT_EQ(CANWriteDigital(h, 0x33), 0);
    EXPECT_EQ(Client().Connection().DroppedTelegrams(), 1u);
}

}  // namespace
