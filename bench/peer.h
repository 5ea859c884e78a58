// The benchmark's peer: a small sink and source of telegrams that answers
// like a gateway (link control, requests, confirmed writes) and pushes
// received-frame telegrams on demand. It runs in a process of its own so that
// its work never counts as the client's. Benchmark.
//
// Per connection it answers
//   CONNECT 0x0201, DISCONNECT 0x0202, SET_CONFIG 0x0205 and any other request
//       with command | 0x8000, the same id and the result byte 0;
//   WRITE 0x0203: counts frame number n (n-th WRITE of the connection, see
//       PutFramePayload) as good when it is that frame; confirms it with
//       result 0 and an 8-byte time stamp while the last SET_CONFIG asked for
//       confirmed data;
//   GET_GLOBALS 0x0208 with result 0, mode 1, baud rate = good frames so far,
//       flags 1, 0, 1: the clients use it as a barrier that also reports what
//       arrived;
//   SET_GLOBALS 0x0207 with result 0, then pushes as many CAN_FRAME_IND 0x0203
//       telegrams (frames 0, 1, ...) as its baud-rate field says, in large writes.
#pragma once

#include <sys/types.h>

#include <string>

namespace bench {

// Serves one connected socket until the other side closes it, then closes it.
void ServeConnection(int fd);
// Accepts connections on a listening socket and serves each on a thread of
// its own, until accepting fails for good.
void ServeListener(int listener);

class PeerProcess {
public:
    PeerProcess() = default;
    ~PeerProcess() { Stop(); }
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // Listens on a loopback address of its own at TCP port `port` (5001 is
    // CAN port 0) and forks the serving process. Call before any thread runs.
    bool Start(unsigned port, std::string* error);
    void Stop();
    const std::string& Address() const { return sAddress; }

private:
    pid_t nPid = -1;
    std::string sAddress;
};

}  // namespace bench
