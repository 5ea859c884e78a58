// Fuzz entry for everything the receive thread does with the gateway's bytes:
// cutting (TCP stream or datagrams), link control, the confirmation store,
// dispatch to callbacks or queues, and the claiming and polling afterwards.
// Fuzz harness.
//
// Input: four header bytes, then the received bytes.
//   0  bit 0 link control on, bit 1 datagrams instead of a stream,
//      bits 2-3 chunk sizes (1..3, 1..64, 1..4096, as large as fits),
//      bit 4 callbacks are removed halfway through
//   1  callbacks: bits 0-4 PDO, SYNC, EMCY, GUARD, UNDEFINED; bit 5 plain
//      frame callback; bit 6 Ex frame callback (set after the plain one)
//   2  queue maximum: 0 queueing off, 255 unlimited, else that many
//   3  seed of the chunk sizes
#include <algorithm>
#include <cstring>
#include <vector>

#include "fuzz_entries.h"
#include "fuzz_support.h"
#include "incoming/client_can_dll.h"
#include "protocol/commands.h"
#include "transport/telegram_cutter.h"

namespace tes {

struct ConnectionTestAccess {
    static void SetLinkControl(CTesIPConnection& connection, bool on) {
        connection.bLinkControl = on;
    }
};

}  // namespace tes

namespace tes::fuzz {

namespace {

constexpr int32_t kHandle = 77;
constexpr size_t kHeader = 4;
constexpr size_t kDatagramLimit = 0x10010;  // the receive thread's datagram buffer

// What the callbacks saw; the receive path runs on this thread only.
struct Seen {
    uint32_t nCallbacks = 0;
    uint32_t nSum = 0;
};
Seen gSeen;

// Every callback reads each byte it was given, so that a pointer or a length
// beyond the telegram shows up as a sanitizer report.
void Touch(const char* data, size_t length) {
    for (size_t i = 0; i < length; ++i) gSeen.nSum += static_cast<uint8_t>(data[i]);
}

void TESSARA_CALLBACK OnFrame(int, const char* data, int length, int flags, int handle) {
    Check(length >= 0 && length <= 64, "frame callback length within 0..64");
    Check(flags >= 0 && flags <= 255, "frame callback flags within 0..255");
    Check(handle == kHandle, "frame callback handle");
    Touch(data, static_cast<size_t>(length));
    ++gSeen.nCallbacks;
}
void TESSARA_CALLBACK OnFrameEx(int id, const char* data, int length, int flags, int handle, int,
                                int) {
    OnFrame(id, data, length, flags, handle);
}
void TESSARA_CALLBACK OnPdo(unsigned char, unsigned char, unsigned char length, const char* data,
                            int handle, int r1, int r2) {
    Check(handle == kHandle && r1 == 0 && r2 == 0, "PDO callback handle and reserved values");
    Touch(data, length);
    ++gSeen.nCallbacks;
}
void TESSARA_CALLBACK OnSync(unsigned char, int handle, int r1, int r2) {
    Check(handle == kHandle && r1 == 0 && r2 == 0, "SYNC callback handle and reserved values");
    ++gSeen.nCallbacks;
}
void TESSARA_CALLBACK OnEmcy(unsigned char, int code, unsigned char, const char* data, int handle,
                             int r1, int r2) {
    Check(code >= 0 && code <= 0xFFFF, "EMCY error code is 16 bits");
    Check(handle == kHandle && r1 == 0 && r2 == 0, "EMCY callback handle and reserved values");
    Touch(data, 5);
    ++gSeen.nCallbacks;
}
void TESSARA_CALLBACK OnGuard(unsigned char, unsigned char, int handle, int r1, int r2) {
    Check(handle == kHandle && r1 == 0 && r2 == 0, "GUARD callback handle and reserved values");
    ++gSeen.nCallbacks;
}
void TESSARA_CALLBACK OnUndefined(int id, unsigned char b0, unsigned char b1, unsigned char length,
                                  const char* data, int handle, int, int) {
    Check(b0 == static_cast<uint8_t>(id) && b1 == static_cast<uint8_t>(id >> 8),
          "UNDEFINED identifier bytes are the identifier's low bytes");
    Check(handle == kHandle, "UNDEFINED callback handle");
    Touch(data, length);
    ++gSeen.nCallbacks;
}

struct Cut {
    uint32_t nLength;
    uint64_t nHash;
};

class Receiver {
public:
    explicit Receiver(bool linkControl) : oClient(0, kHandle) {
        ConnectionTestAccess::SetLinkControl(oClient.Connection(), linkControl);
        // As after a completed connect: a request waits (with time-out 0)
        // instead of learning that the link is gone.
        oClient.OnConnectionChanged(true);
    }

    void Handle(const uint8_t* bytes, uint32_t length) {
        Check(length >= 2 && length == static_cast<uint32_t>(GetU16(bytes)) + 2,
              "a cut telegram is its length field plus 2 bytes");
        oCuts.push_back({length, Hash(bytes, length)});
        if (length >= 6 && oClaimIds.size() < 16 && (GetU16(bytes + 2) & kConfirmationFlag) != 0) {
            oClaimIds.push_back(GetU16(bytes + 4));
            oClaimCommands.push_back(static_cast<uint16_t>(GetU16(bytes + 2) & ~kConfirmationFlag));
        }
        CheckTelegramRoundTrip(bytes, length);
        oClient.Connection().HandleTelegram(bytes, length);
    }

    CTessaraClientCANDll& Client() { return oClient; }
    const std::vector<Cut>& Cuts() const { return oCuts; }

    // Claims the confirmations that the input may have stored.
    void Claim() {
        for (size_t i = 0; i < oClaimIds.size(); ++i) {
            const CTessaraMsg request(nullptr, 0, oClaimCommands[i], oClaimIds[i]);
            std::unique_ptr<CTessaraMsg> confirmation;
            const int32_t rc = oClient.Exchange(request, &confirmation);
            Check(rc == kOk || rc == kResultBadChecksum || rc == kResultNotConfirmed ||
                      rc == kResultTimeout || rc == kResultNotConnected,
                  "claiming a confirmation gives an engine result");
            if (rc == kOk) {
                Check(confirmation != nullptr &&
                          confirmation->nCommand == (oClaimCommands[i] | kConfirmationFlag) &&
                          confirmation->nTelegramId == oClaimIds[i] &&
                          confirmation->CalcChecksum() == confirmation->cChecksum,
                      "a confirmation handed out with 0 matches its request");
            }
        }
    }

    static uint64_t Hash(const uint8_t* bytes, size_t length) {
        uint64_t h = 1469598103934665603ull;
        for (size_t i = 0; i < length; ++i) h = (h ^ bytes[i]) * 1099511628211ull;
        return h;
    }

private:
    static void CheckTelegramRoundTrip(const uint8_t* bytes, uint32_t length) {
        CTessaraMsg message;
        const bool valid = message.FromBytes(bytes, length);
        if (length < kTelegramOverhead) {
            Check(!valid && message.nLength == 5 && message.oData.empty(),
                  "fewer than 7 bytes parse into an empty telegram");
            return;
        }
        if (valid) {
            const std::vector<uint8_t> again = message.ToBytes();
            Check(again.size() == length && std::memcmp(again.data(), bytes, length) == 0,
                  "a valid telegram serialises back to its bytes");
        }
    }

    FuzzClientCANDll oClient;
    std::vector<Cut> oCuts;
    std::vector<uint16_t> oClaimIds;
    std::vector<uint16_t> oClaimCommands;
};

void InstallCallbacks(CTessaraClientCANDll& client, uint8_t mask) {
    client.SetCanopenCallbacks((mask & 0x01) ? OnPdo : nullptr, (mask & 0x02) ? OnSync : nullptr,
                               (mask & 0x04) ? OnEmcy : nullptr, (mask & 0x08) ? OnGuard : nullptr,
                               (mask & 0x10) ? OnUndefined : nullptr);
    if (mask & 0x20) client.SetCallback(OnFrame);
    if (mask & 0x40) client.SetCallbackEx(OnFrameEx);
}

// The telegrams a stream holds, cut without any buffer management.
std::vector<Cut> ReferenceCut(const uint8_t* bytes, size_t size) {
    std::vector<Cut> cuts;
    size_t offset = 0;
    while (size - offset >= 2) {
        const size_t total = static_cast<size_t>(GetU16(bytes + offset)) + 2;
        if (size - offset < total) break;
        cuts.push_back({static_cast<uint32_t>(total), Receiver::Hash(bytes + offset, total)});
        offset += total;
    }
    return cuts;
}

// Polls every queue empty and checks what comes out against the limits.
void Drain(CTessaraClientCANDll& client, uint32_t maximum) {
    const auto within = [maximum](uint32_t polled) { return polled <= maximum; };
    uint32_t n = 0;
    CanFrame frame;
    while (client.GetMessage(&frame) >= 0) {
        Check(frame.nLength <= 64, "a polled frame holds at most 64 bytes");
        ++n;
    }
    Check(within(n), "the frame queue never held more than its maximum");
    n = 0;
    PdoIndication pdo;
    while (client.GetPdo(&pdo) >= 0) {
        Check(pdo.nLength <= 8, "a polled PDO holds at most 8 bytes");
        ++n;
    }
    Check(within(n), "the PDO queue never held more than its maximum");
    n = 0;
    uint8_t sync = 0;
    while (client.GetSync(&sync) >= 0) ++n;
    Check(within(n), "the SYNC queue never held more than its maximum");
    n = 0;
    EmcyIndication emcy;
    while (client.GetEmcy(&emcy) >= 0) ++n;
    Check(within(n), "the EMCY queue never held more than its maximum");
    n = 0;
    GuardIndication guard;
    while (client.GetGuard(&guard) >= 0) ++n;
    Check(within(n), "the GUARD queue never held more than its maximum");
    n = 0;
    UndefinedIndication undefined;
    while (client.GetUndefined(&undefined) >= 0) {
        Check(undefined.nLength <= 8, "a polled UNDEFINED holds at most 8 bytes");
        Check(undefined.cIdByte0 == static_cast<uint8_t>(undefined.nIdentifier) &&
                  undefined.cIdByte1 == static_cast<uint8_t>(undefined.nIdentifier >> 8),
              "UNDEFINED identifier bytes are the identifier's low bytes");
        ++n;
    }
    Check(within(n), "the UNDEFINED queue never held more than its maximum");
}

}  // namespace

void ReceiveInput(const uint8_t* data, size_t size) {
    if (size < kHeader) return;
    const uint8_t flags = data[0];
    const uint8_t callbacks = data[1];
    const uint8_t queueByte = data[2];
    Chunker chunker(data[3], (flags >> 2) & 3);
    const uint8_t* stream = data + kHeader;
    const size_t length = size - kHeader;
    gSeen = Seen();

    Receiver receiver((flags & 0x01) != 0);
    CTessaraClientCANDll& client = receiver.Client();
    InstallCallbacks(client, callbacks);
    const uint32_t maximum = queueByte == 255 ? 0xFFFFFFFFu : queueByte;
    if (maximum != 0) client.SetMaxSizePerQueue(maximum);
    const auto handle = [&receiver](const uint8_t* bytes, uint32_t n) {
        receiver.Handle(bytes, n);
    };

    size_t pos = 0;
    bool switched = false;
    if ((flags & 0x02) == 0) {
        CStreamCutter cutter;
        while (pos < length) {
            Check(cutter.SpaceSize() > 0, "the stream buffer always has room");
            const size_t n = std::min({chunker.Next(), length - pos, cutter.SpaceSize()});
            std::memcpy(cutter.Space(), stream + pos, n);
            cutter.Received(n, handle);
            pos += n;
            if ((flags & 0x10) && !switched && pos >= length / 2) {
                InstallCallbacks(client, 0);
                client.SetCallback(nullptr);
                switched = true;
            }
        }
        const std::vector<Cut> reference = ReferenceCut(stream, length);
        const std::vector<Cut>& cuts = receiver.Cuts();
        Check(cuts.size() == reference.size(),
              "chunked cutting finds as many telegrams as one pass");
        for (size_t i = 0; i < cuts.size() && i < reference.size(); ++i) {
            Check(cuts[i].nLength == reference[i].nLength && cuts[i].nHash == reference[i].nHash,
                  "chunked cutting yields the telegrams of one pass, in order");
        }
        size_t consumed = 0;
        for (const Cut& c : reference) consumed += c.nLength;
        Check(cutter.Held() == length - consumed, "the unfinished rest stays held");
    } else {
        while (pos < length) {
            const size_t n = std::min({chunker.Next(), length - pos, kDatagramLimit});
            CutDatagram(stream + pos, n, handle);
            pos += n;
        }
    }

    Check(client.StoredConfirmations() <= 65536, "the store holds one entry per telegram id");
    receiver.Claim();
    Drain(client, maximum);
}

}  // namespace tes::fuzz
