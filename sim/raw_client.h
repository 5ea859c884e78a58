// A bare client of a gateway endpoint for the simulator's tests (and for any
// test that must see the bytes a gateway sends): connects through the
// platform contract and exchanges raw bytes and whole telegrams, cut by the
// wire oracle, with no link control of its own. Simulator layer.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "transport/platform.h"
#include "wire/telegram.h"

namespace tes::sim {

class RawClient {
public:
    RawClient() = default;
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool Connect(const std::string& host, uint16_t port, int transport = sys::kTransportTcp,
                 uint32_t timeoutMs = 2000);
    void Close();

    bool Send(const std::vector<uint8_t>& bytes);
    bool SendTelegram(uint16_t command, uint16_t telegramId, const std::vector<uint8_t>& data = {});

    // The next whole telegram (cut by its length field), or nullopt when none
    // arrives in time or the gateway closed.
    std::optional<std::vector<uint8_t>> Receive(int64_t timeoutMs);
    // The next telegram with this command word; others before it are dropped.
    std::optional<std::vector<uint8_t>> ReceiveCommand(uint16_t command, int64_t timeoutMs);
    // Sends a request and waits for its confirmation (same id, confirmation
    // flag set), dropping everything else.
    std::optional<std::vector<uint8_t>> Exchange(uint16_t command, uint16_t telegramId,
                                                 const std::vector<uint8_t>& data,
                                                 int64_t timeoutMs);
    // True when the gateway closed the stream (TCP) within the time.
    bool WaitClosed(int64_t timeoutMs);
    sys::Socket Handle() const { return hSocket; }

private:
    // One wait and read; false on time-out, close or error.
    bool ReadSome(int64_t deadlineMs);

    sys::Socket hSocket = sys::kNoSocket;
    int nTransport = sys::kTransportTcp;
    sys::Waker oWaker;  // never signalled; WaitReadable wants one
    wire::StreamCutter oStream;
    std::deque<std::vector<uint8_t>> oQueue;
    bool bPeerClosed = false;
};

}  // namespace tes::sim
