// Sending on a stream socket (POSIX socket pair): whole blocks go out while
// the peer reads, and the time limit counts only once the socket would block.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "transport/platform.h"

using Bytes = std::vector<uint8_t>;

namespace {

Bytes Counting(size_t n, uint8_t from) {
    Bytes b;
    b.reserve(n);
    for (size_t i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(from + i));
    return b;
}

}  // namespace

TEST(SendStreamWithin, SendsWholeBlocksAndTimesOutOnlyWhenThePeerStopsReading) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    const Bytes empty;
    EXPECT_EQ(tes::sys::SendStreamWithin(fds[0], empty.data(), 0, 0), tes::sys::IoResult::kDone);

    // A block far larger than the socket buffers goes out while the other end reads.
    const Bytes big = Counting(4 << 20, 1);
    std::atomic<size_t> received{0};
    std::thread reader([&] {
        std::vector<uint8_t> buffer(1 << 16);
        while (received.load() < big.size()) {
            const ssize_t n = recv(fds[1], buffer.data(), buffer.size(), 0);
            if (n <= 0) break;
            received.fetch_add(static_cast<size_t>(n));
        }
    });
    EXPECT_EQ(tes::sys::SendStreamWithin(fds[0], big.data(), big.size(), 60000),
              tes::sys::IoResult::kDone);
    reader.join();
    EXPECT_EQ(received.load(), big.size());

    // Nobody reads: the socket fills, then the wait for room runs out.
    EXPECT_EQ(tes::sys::SendStreamWithin(fds[0], big.data(), big.size(), 50),
              tes::sys::IoResult::kTimeout);
    // A negative limit waits not at all once the socket is full.
    EXPECT_EQ(tes::sys::SendStreamWithin(fds[0], big.data(), big.size(), -1),
              tes::sys::IoResult::kTimeout);
    close(fds[1]);
    EXPECT_EQ(tes::sys::SendStreamWithin(fds[0], big.data(), 10, 1000),
              tes::sys::IoResult::kSendFailed);
    close(fds[0]);
}
