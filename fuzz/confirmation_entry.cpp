// Fuzz entry for the confirmation unpackers: one CAN, device or CANopen
// command answered with a confirmation made from the input, then checked
// against the rules for what each command may write and return. Outputs are
// exact-sized heap blocks filled with a pattern, so a write beyond them is a
// sanitizer report and a write where none is allowed a broken check.
// Fuzz harness.
//
// Input: four header bytes, then the confirmation's data part (or, in raw
// form, the whole telegram as received).
//   0  command (modulo the number of commands)
//   1  bits 0-1 reply form: 0 right, 1 wrong checksum, 2 wrong command word,
//      3 raw; bit 2 ConfirmData on; bit 3 the send fails; bit 4 link down;
//      bit 5 no reply at all; bit 6 optional outputs left out; bit 7 count
//      beyond 16 bits (WRITE_ANALOG)
//   2, 3  parameters: capacities, lengths, caller values
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "can/client_can.h"
#include "fuzz_entries.h"
#include "fuzz_support.h"
#include "protocol/commands.h"

namespace tes::fuzz {

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kHeader = 4;
constexpr int32_t kSocketError = 0x20000;
constexpr int32_t kNoData = 0xC0200;
constexpr uint32_t kPattern32 = 0x5A5A5A5A;
constexpr uint8_t kPattern8 = 0xA5;

// What the engine must make of the reply.
struct Expected {
    bool bAsked = false;
    uint16_t nRequestCommand = 0;
    Bytes oRequestData;
    int32_t nEngine = 0;   // Exchange's result
    bool bHanded = false;  // a confirmation came with the request's id
    Bytes oData;           // its data part

    // The command's result for a command that unpacks nothing.
    int32_t Evaluated() const {
        if (nEngine != 0) return nEngine;
        if (oData.empty()) return kNoData;
        return oData[0] == 0 ? 0 : (0x200 | oData[0]);
    }
    bool Positive() const { return nEngine == 0 && !oData.empty() && oData[0] == 0; }
    size_t Size() const { return oData.size(); }
    uint32_t U32(size_t offset) const { return GetU32(oData.data() + offset); }
};

Bytes Encode(uint16_t command, uint16_t id, const uint8_t* data, size_t count) {
    Bytes out(count + kTelegramOverhead);
    EncodeTelegram(out.data(), command, id, data, count);
    return out;
}

struct Run {
    FuzzClientCANDll& client;
    Expected& e;
    uint8_t mode;
    uint8_t p;
    uint8_t q;
    bool Optional() const { return (mode & 0x40) == 0; }
};

// Exact-sized block with a pattern, so that over- and unexpected writes show.
template <typename T>
std::unique_ptr<T[]> Block(size_t n, T pattern) {
    std::unique_ptr<T[]> block(new T[n == 0 ? 1 : n]);
    for (size_t i = 0; i < n; ++i) block[i] = pattern;
    return block;
}

// ---- commands that unpack nothing

void Simple(const Run& r, uint16_t word, int32_t rc) {
    Check(!r.e.bAsked || r.e.nRequestCommand == word, "request command word");
    Check(rc == r.e.Evaluated(), "a command without reply data returns the evaluation");
}

void CmdSetConfig(const Run& r) {
    const bool before = r.client.ConfirmData();
    const bool confirm = (r.p & 1) != 0;
    const int32_t rc = r.client.SetConfig(confirm, (r.p & 2) != 0);
    Simple(r, 0x0205, rc);
    Check(r.e.oRequestData ==
              Bytes({confirm ? uint8_t{1} : uint8_t{0}, (r.p & 2) ? uint8_t{1} : uint8_t{0}}),
          "SET_CONFIG request data");
    Check(r.client.ConfirmData() == (rc == 0 ? confirm : before),
          "ConfirmData follows only a positive SET_CONFIG");
}

void CmdSetGlobals(const Run& r) {
    Simple(r, 0x0207, r.client.SetGlobals(r.p * 1000, r.q, r.p & 1, r.p & 2, r.p & 4));
}

void CmdGetGlobals(const Run& r) {
    int32_t baud = static_cast<int32_t>(kPattern32);
    uint8_t opMode = kPattern8;
    bool term = true, high = true, stamp = true, delivered = true;
    const int32_t rc = r.client.GetGlobals(&baud, &opMode, &term, &high, &stamp, &delivered);
    Check(r.e.nRequestCommand == 0x0208 && r.e.oRequestData.empty(), "GET_GLOBALS request");
    Check(rc == r.e.Evaluated(), "GET_GLOBALS result");
    if (r.e.Positive() && r.e.Size() >= 6) {
        Check(delivered && opMode == r.e.oData[1] && baud == static_cast<int32_t>(r.e.U32(2)),
              "GET_GLOBALS mode and baud rate");
        Check(term == (r.e.Size() > 6 && r.e.oData[6] == 1) &&
                  high == (r.e.Size() > 7 && r.e.oData[7] == 1) &&
                  stamp == (r.e.Size() > 8 && r.e.oData[8] == 1),
              "GET_GLOBALS booleans are true only for a byte 1");
    } else {
        Check(!delivered && baud == static_cast<int32_t>(kPattern32) && opMode == kPattern8 &&
                  term && high && stamp,
              "GET_GLOBALS writes nothing without a positive 6-byte reply");
    }
}

void CmdSetFilter(const Run& r) {
    int32_t table[16];
    for (int k = 0; k < 16; ++k) table[k] = r.p * k - r.q;
    Simple(r, 0x0220, r.client.SetFilter(table));
    Check(r.e.oRequestData.size() == 64, "SET_FILTER sends 64 bytes");
}

void CmdGetFilter(const Run& r) {
    auto table = Block<int32_t>(16, static_cast<int32_t>(kPattern32));
    const int32_t rc = r.client.GetFilter(table.get());
    Check(r.e.nRequestCommand == 0x0221, "GET_FILTER request");
    Check(rc == r.e.Evaluated(), "GET_FILTER result");
    const bool written = r.e.Positive() && r.e.Size() >= 65;
    for (size_t k = 0; k < 16; ++k) {
        const int32_t want =
            written ? static_cast<int32_t>(r.e.U32(1 + 4 * k)) : static_cast<int32_t>(kPattern32);
        Check(table[k] == want, "GET_FILTER writes all 16 words from 65 bytes on, else none");
    }
}

void CmdSetTime(const Run& r) {
    Simple(r, 0x020B, r.client.SetTime(r.p << 20, r.q));
}

void CmdGetTime(const Run& r) {
    bool flag = true;
    int32_t s = static_cast<int32_t>(kPattern32), us = static_cast<int32_t>(kPattern32);
    const int32_t rc = r.client.GetTime(&flag, &s, &us);
    Check(r.e.nRequestCommand == 0x020E, "GET_TIME request");
    Check(rc == r.e.Evaluated(), "GET_TIME result");
    if (r.e.Positive() && r.e.Size() >= 10) {
        Check(flag == (r.e.oData[1] != 0) && s == static_cast<int32_t>(r.e.U32(2)) &&
                  us == static_cast<int32_t>(r.e.U32(6)),
              "GET_TIME unpacking");
    } else {
        Check(
            flag && s == static_cast<int32_t>(kPattern32) && us == static_cast<int32_t>(kPattern32),
            "GET_TIME writes nothing without a positive 10-byte reply");
    }
}

void CmdGetPowerStatus(const Run& r) {
    const uint8_t capValues = r.p, capA = r.q, capB = static_cast<uint8_t>(r.p ^ r.q);
    const bool lists = r.Optional();
    auto values = Block<uint16_t>(capValues, 0x5A5A);
    auto flagsA = Block<uint8_t>(capA, kPattern8);
    auto flagsB = Block<uint8_t>(capB, kPattern8);
    PowerStatus s;
    s.nValueCapacity = capValues;
    s.pValues = lists ? values.get() : nullptr;
    s.nFlagACapacity = capA;
    s.pFlagsA = lists ? flagsA.get() : nullptr;
    s.nFlagBCapacity = capB;
    s.pFlagsB = flagsB.get();
    s.nValueCount = s.nFlagCountA = s.nFlagCountB = kPattern8;
    s.nPowerWord1 = s.nPowerWord2 = s.nPowerWord3 = 0x5A5A;
    const int32_t rc = r.client.GetPowerStatus(&s);
    Check(r.e.nRequestCommand == 0x0222, "GET_POWERSTATUS request");
    const Bytes& d = r.e.oData;
    if (!(r.e.Positive() && d.size() >= 13)) {
        Check(rc == r.e.Evaluated(), "GET_POWERSTATUS result without a full header");
        Check(s.nValueCount == kPattern8 && s.nPowerWord1 == 0x5A5A,
              "GET_POWERSTATUS writes nothing without a positive 13-byte reply");
        for (size_t j = 0; j < capB; ++j) Check(flagsB[j] == kPattern8, "list B untouched");
        return;
    }
    Check(s.nValueCount == d[1] && s.nFlagCountA == d[2] && s.nFlagCountB == d[3] &&
              s.nPowerWord1 == GetU16(&d[4]) && s.nPowerWord2 == GetU16(&d[6]) &&
              s.nPowerWord3 == GetU16(&d[8]) && s.bPowerFlag == ((d[10] & 1) != 0),
          "GET_POWERSTATUS header fields");
    // Where each list starts follows from the counts alone, whatever the capacities.
    const size_t startA = 11 + 2 * static_cast<size_t>(d[1]);
    const size_t startB = startA + d[2];
    const bool complete = startB + d[3] <= d.size();
    Check(complete ? rc == 0 : (rc == 0 || rc == kNoData),
          "GET_POWERSTATUS returns 0 for a complete reply");
    const auto checkList = [&](const uint8_t* list, uint8_t cap, uint8_t count, size_t start,
                               const char* what) {
        for (size_t j = 0; j < cap; ++j) {
            if (j >= count) {
                Check(list[j] == kPattern8, what);
            } else if (start + j < d.size()) {
                // An incomplete reply may stop early; what it stores is right.
                Check(list[j] == (d[start + j] & 1) || (!complete && list[j] == kPattern8), what);
            } else {
                Check(list[j] == kPattern8, what);
            }
        }
    };
    if (lists) {
        for (size_t j = 0; j < capValues; ++j) {
            const size_t at = 11 + 2 * j;
            if (j < d[1] && at + 2 <= d.size()) {
                Check(values[j] == GetU16(&d[at]) || (!complete && values[j] == 0x5A5A),
                      "GET_POWERSTATUS value list");
            } else {
                Check(values[j] == 0x5A5A, "GET_POWERSTATUS value list beyond its entries");
            }
        }
        checkList(flagsA.get(), capA, d[2], startA, "GET_POWERSTATUS list A");
    }
    checkList(flagsB.get(), capB, d[3], startB, "GET_POWERSTATUS list B");
}

void CmdSetPowerRelais(const Run& r) {
    Simple(r, 0x0223, r.client.SetPowerRelais(r.p & 1));
}

void CmdSetActivePowerSupplies(const Run& r) {
    Simple(r, 0x0224, r.client.SetActivePowerSupplies(r.p * 0x01010101u));
}

void CmdWrite(const Run& r) {
    const int32_t length = r.p + ((r.q & 1) ? 256 : 0);  // only the low byte counts
    const size_t n = static_cast<uint8_t>(length);
    auto data = Block<uint8_t>(n, 0x33);
    int32_t s = static_cast<int32_t>(kPattern32), us = static_cast<int32_t>(kPattern32);
    const bool confirmed = r.client.ConfirmData();
    const int32_t rc =
        r.client.WriteFrame(0x12345678u, data.get(), length, r.q, r.Optional() ? &s : nullptr,
                            r.Optional() ? &us : nullptr);
    if (!confirmed) {
        // Streamed: no exchange at all, and this client has no link.
        Check(!r.e.bAsked && rc == 0x30000, "a streamed WRITE is sent without waiting");
        if (r.Optional()) {
            Check(us >= 0 && us < 1000000 && s != static_cast<int32_t>(kPattern32),
                  "a streamed WRITE is stamped from the local clock");
        }
        return;
    }
    Check(r.e.nRequestCommand == 0x0203 && r.e.oRequestData.size() == 5 + n, "WRITE request");
    Check(rc == r.e.Evaluated(), "confirmed WRITE result");
    if (!r.Optional()) return;
    if (r.e.bHanded && r.e.Size() >= 9) {
        Check(s == static_cast<int32_t>(r.e.U32(1)) && us == static_cast<int32_t>(r.e.U32(5)),
              "confirmed WRITE takes the gateway's stamp whatever the result");
    } else {
        Check(s == static_cast<int32_t>(kPattern32) && us == static_cast<int32_t>(kPattern32),
              "confirmed WRITE without a 9-byte confirmation leaves the stamp");
    }
}

void CmdCanopenSetConfig(const Run& r) {
    Simple(r, 0x0260, r.client.CanopenSetConfig(r.p));
    Check(r.e.oRequestData == Bytes{r.p}, "CANOPEN_SET_CONFIG request data");
}

void CmdCanopenGetConfig(const Run& r) {
    uint8_t opMode = kPattern8;
    const int32_t rc = r.client.CanopenGetConfig(&opMode);
    Check(r.e.nRequestCommand == 0x0261, "CANOPEN_GET_CONFIG request");
    Check(rc == r.e.Evaluated(), "CANOPEN_GET_CONFIG result");
    const uint8_t want = r.e.Positive() ? (r.e.Size() >= 2 ? r.e.oData[1] : 0) : kPattern8;
    Check(opMode == want, "CANOPEN_GET_CONFIG unpacking");
}

void CmdSyncMode(const Run& r) {
    Simple(r, 0x0262, r.client.CanopenSetSyncMode(r.p | r.q << 8));
}
void CmdNmt(const Run& r) {
    Simple(r, 0x0263, r.client.CanopenSendNmt(r.p, r.q));
}
void CmdSync(const Run& r) {
    Simple(r, 0x0264, r.client.CanopenSendSync());
}
void CmdTime(const Run& r) {
    Simple(r, 0x0265, r.client.CanopenSendTime(r.p, r.q * 1000u));
}

void CmdPdo(const Run& r) {
    auto data = Block<uint8_t>(r.q, 0x44);
    Simple(r, 0x0267, r.client.CanopenSendPdo(1, r.p, r.q, data.get()));
    Check(!r.e.bAsked || r.e.oRequestData.size() == 2 + static_cast<size_t>(r.q),
          "CANOPEN_PDO request data");
}

// The SDO commands wait 2 x their time-out: 0 here, so that a missing reply
// never costs real time.
void CheckSdoReply(const Run& r, const SdoReply& reply) {
    const Bytes& d = r.e.oData;
    if (r.e.Positive() && d.size() >= 2) {
        Check(reply.bReplyByteSet && reply.cReplyByte == d[1], "SDO reply byte");
    } else {
        Check(!reply.bReplyByteSet && reply.cReplyByte == kPattern8, "SDO reply byte untouched");
    }
    if (r.e.Positive() && d.size() >= 3) {
        uint32_t value = 0;
        for (size_t i = 2; i < d.size() && i < 6; ++i)
            value |= static_cast<uint32_t>(d[i]) << (8 * (i - 2));
        Check(reply.bValueSet && reply.nValue == value, "SDO reply value, unsigned little-endian");
    } else {
        Check(!reply.bValueSet && reply.nValue == kPattern32, "SDO reply value untouched");
    }
}

SdoReply PatternReply() {
    SdoReply reply;
    reply.cReplyByte = kPattern8;
    reply.nValue = kPattern32;
    return reply;
}

void CmdSdoRead(const Run& r) {
    SdoReply reply = PatternReply();
    const int32_t rc = r.client.CanopenSendSdoRead(r.p, 0x1000 + r.q, r.q, 0, &reply);
    Check(r.e.nRequestCommand == 0x0268 && r.e.oRequestData.size() == 6, "SDO_READ request");
    Check(rc == r.e.Evaluated(), "SDO_READ result");
    CheckSdoReply(r, reply);
}

void CmdSdoWrite(const Run& r) {
    SdoReply reply = PatternReply();
    const int32_t rc = r.client.CanopenSendSdoWrite(r.p, r.q, 0x2000, 1, 0, 0xDEADBEEF, &reply);
    Check(r.e.nRequestCommand == 0x0269 && r.e.oRequestData.size() == 11, "SDO_WRITE request");
    Check(rc == r.e.Evaluated(), "SDO_WRITE result");
    CheckSdoReply(r, reply);
}

void CmdSdoWriteBlock(const Run& r) {
    const uint16_t n = static_cast<uint16_t>(r.p * 61 + r.q);
    auto data = Block<uint8_t>(n, 0x55);
    SdoReply reply = PatternReply();
    const int32_t rc = r.client.CanopenSendSdoWriteBlock(1, 0x2000, 0, 0, n, data.get(), &reply);
    Check(r.e.nRequestCommand == 0x026B && r.e.oRequestData.size() == 6u + n,
          "SDO_WRITE_BLOCK request");
    Check(rc == r.e.Evaluated(), "SDO_WRITE_BLOCK result");
    CheckSdoReply(r, reply);
}

void CmdSdoReadBlock(const Run& r) {
    const uint16_t capacity = static_cast<uint16_t>(r.p | (r.q << 8));
    auto buffer = Block<uint8_t>(capacity, kPattern8);
    uint8_t replyByte = kPattern8;
    uint16_t blockLength = 0x5A5A;
    const int32_t rc = r.client.CanopenSendSdoReadBlock(1, 0x1008, 0, 0, capacity, buffer.get(),
                                                        &replyByte, &blockLength);
    Check(r.e.nRequestCommand == 0x026A && r.e.oRequestData.size() == 6, "SDO_READ_BLOCK request");
    Check(rc == r.e.Evaluated(), "SDO_READ_BLOCK result");
    const Bytes& d = r.e.oData;
    size_t copied = 0;
    if (r.e.Positive() && d.size() >= 2) {
        copied = std::min<size_t>(d.size() - 2, capacity);
        Check(replyByte == d[1] && blockLength == copied, "SDO_READ_BLOCK reply byte and length");
        Check(copied == 0 || std::memcmp(buffer.get(), d.data() + 2, copied) == 0,
              "SDO_READ_BLOCK block bytes");
    } else {
        Check(replyByte == kPattern8 && blockLength == 0x5A5A, "SDO_READ_BLOCK writes nothing");
    }
    for (size_t i = copied; i < capacity; ++i) {
        Check(buffer[i] == kPattern8, "SDO_READ_BLOCK writes no byte beyond the block");
    }
}

void CmdInfo(const Run& r) {
    auto record = Block<uint8_t>(20, kPattern8);
    const int32_t rc = r.client.GetInfo(r.Optional() ? record.get() : nullptr);
    Check(r.e.nRequestCommand == 0x0209 && r.e.oRequestData.empty(), "INFO request");
    Check(rc == r.e.Evaluated(), "INFO result");
    if (!r.Optional()) return;
    const size_t copied = rc == 0 ? std::min<size_t>(r.e.Size() - 1, 20) : 0;
    for (size_t i = 0; i < 20; ++i) {
        const uint8_t want = i < copied ? r.e.oData[1 + i] : (i == 18 ? 2 : 0);
        Check(record[i] == want, "INFO record: copied bytes, else zero with the type at 18");
    }
}

void CmdStatus(const Run& r) {
    std::string text = "untouched";
    const int32_t rc = r.client.GetStatus(&text);
    Check(r.e.nRequestCommand == 0x020A, "STATUS request");
    Check(rc == r.e.Evaluated(), "STATUS result");
    if (r.e.Positive() && r.e.Size() > 1) {
        Check(text == std::string(r.e.oData.begin() + 1, r.e.oData.end()), "STATUS text");
    } else {
        Check(text == "untouched", "STATUS text untouched");
    }
}

void CmdReadDigital(const Run& r) {
    int32_t first = static_cast<int32_t>(kPattern32), second = static_cast<int32_t>(kPattern32);
    const int32_t rc = r.client.ReadDigital(&first, &second);
    Check(r.e.nRequestCommand == 0x0240 && r.e.oRequestData.empty(), "READ_DIGITAL request");
    Check(rc == r.e.Evaluated(), "READ_DIGITAL result");
    if (r.e.nEngine == 0 && r.e.Size() >= 9) {
        Check(
            first == static_cast<int32_t>(r.e.U32(1)) && second == static_cast<int32_t>(r.e.U32(5)),
            "READ_DIGITAL words, whatever the result byte");
    } else {
        Check(
            first == static_cast<int32_t>(kPattern32) && second == static_cast<int32_t>(kPattern32),
            "READ_DIGITAL writes nothing");
    }
}

void CmdWriteDigital(const Run& r) {
    Simple(r, 0x0241, r.client.WriteDigital(r.p << 24 | r.q));
}

void CmdReadAnalog(const Run& r) {
    const uint16_t capacity = r.p;
    auto values = Block<int32_t>(capacity, static_cast<int32_t>(kPattern32));
    uint16_t count = capacity;
    int32_t first = static_cast<int32_t>(kPattern32);
    const int32_t rc = r.client.ReadAnalog(values.get(), &count, &first);
    Check(r.e.nRequestCommand == 0x0242, "READ_ANALOG request");
    Check(rc == r.e.Evaluated(), "READ_ANALOG result");
    size_t written = 0;
    if (r.e.Positive() && r.e.Size() >= 5) {
        const size_t n = (r.e.Size() - 5) / 4;
        written = std::min<size_t>(n, capacity);
        Check(count == n && first == static_cast<int32_t>(r.e.U32(1)),
              "READ_ANALOG count and first word");
        for (size_t i = 0; i < written; ++i) {
            Check(values[i] == static_cast<int32_t>(r.e.U32(5 + 4 * i)), "READ_ANALOG values");
        }
    } else {
        Check(count == 0 && first == static_cast<int32_t>(kPattern32),
              "READ_ANALOG: count 0 and no first word");
    }
    for (size_t i = written; i < capacity; ++i) {
        Check(values[i] == static_cast<int32_t>(kPattern32), "READ_ANALOG writes within the count");
    }
}

void CmdWriteAnalog(const Run& r) {
    const uint32_t n = static_cast<uint32_t>(r.p | (r.q << 8)) & 0x7FFF;
    const uint32_t count = n | ((r.mode & 0x80) ? 0x30000u : 0u);  // high bits are dropped
    auto values = Block<int32_t>(n, 7);
    const int32_t rc = r.client.WriteAnalog(values.get(), count);
    if (n * 4 > kMaxTelegramData) {
        Check(!r.e.bAsked && rc == 0x920000, "WRITE_ANALOG beyond one telegram is not sent");
        return;
    }
    Simple(r, 0x0243, rc);
    Check(r.e.oRequestData.size() == 4 * n, "WRITE_ANALOG sends the low 16 bits' worth of values");
}

void CmdRestart(const Run& r) {
    Simple(r, 0x020C, r.client.Restart());
}

using Command = void (*)(const Run&);
constexpr Command kCommands[] = {
    CmdSetConfig,
    CmdSetGlobals,
    CmdGetGlobals,
    CmdSetFilter,
    CmdGetFilter,
    CmdSetTime,
    CmdGetTime,
    CmdGetPowerStatus,
    CmdSetPowerRelais,
    CmdSetActivePowerSupplies,
    CmdWrite,
    CmdCanopenSetConfig,
    CmdCanopenGetConfig,
    CmdSyncMode,
    CmdNmt,
    CmdSync,
    CmdTime,
    CmdPdo,
    CmdSdoRead,
    CmdSdoWrite,
    CmdSdoWriteBlock,
    CmdSdoReadBlock,
    CmdInfo,
    CmdStatus,
    CmdReadDigital,
    CmdWriteDigital,
    CmdReadAnalog,
    CmdWriteAnalog,
    CmdRestart,
};
constexpr size_t kCommandCount = sizeof kCommands / sizeof kCommands[0];

}  // namespace

void ConfirmationInput(const uint8_t* data, size_t size) {
    if (size < kHeader) return;
    const uint8_t command = data[0];
    const uint8_t mode = data[1];
    const uint8_t* body = data + kHeader;
    const size_t bodySize = size - kHeader;
    const bool linkUp = (mode & 0x10) == 0;

    // Time-out 0: a missing confirmation is given up at once.
    FuzzClientCANDll client(0, 5);
    client.ResetTelegramId();
    if (linkUp) client.OnConnectionChanged(true);
    if (mode & 0x04) {
        client.fAnswer = [](const CTessaraMsg& request, Bytes* reply) {
            const uint8_t ok = 0;
            *reply = Encode(request.nCommand | kConfirmationFlag, request.nTelegramId, &ok, 1);
            return kOk;
        };
        Check(client.SetConfig(true, false) == 0 && client.ConfirmData(),
              "ConfirmData switched on");
    }

    Expected e;
    client.fAnswer = [&](const CTessaraMsg& request, Bytes* reply) -> int32_t {
        Check(!e.bAsked, "one request per command");
        e.bAsked = true;
        e.nRequestCommand = request.nCommand;
        e.oRequestData = request.oData;
        Check(request.IsValid() && request.CalcChecksum() == request.cChecksum,
              "requests are framed with their checksum");
        const uint16_t word = request.nCommand | kConfirmationFlag;
        const int32_t silent = linkUp ? kResultTimeout : kResultNotConnected;
        if (mode & 0x08) {
            e.nEngine = kSocketError;
            return kSocketError;
        }
        e.nEngine = silent;
        if (mode & 0x20) return kOk;
        switch (mode & 0x03) {
            case 0:
                *reply =
                    Encode(word, request.nTelegramId, body, std::min(bodySize, kMaxTelegramData));
                break;
            case 1:
                *reply =
                    Encode(word, request.nTelegramId, body, std::min(bodySize, kMaxTelegramData));
                reply->back() ^= static_cast<uint8_t>(data[2] | 1);
                break;
            case 2: {
                uint16_t other = static_cast<uint16_t>(((data[3] << 8) | data[2]) & 0x7FFF);
                if (other == 0) other = 1;
                *reply = Encode(static_cast<uint16_t>(word ^ other), request.nTelegramId, body,
                                std::min(bodySize, kMaxTelegramData));
                break;
            }
            default:
                reply->assign(body, body + std::min<size_t>(bodySize, kMaxTelegramSize));
                break;
        }
        TelegramView view;
        if (!view.Parse(reply->data(), reply->size())) return kOk;
        if ((view.nCommand & kConfirmationFlag) == 0 || view.nTelegramId != request.nTelegramId) {
            return kOk;
        }
        e.bHanded = true;
        e.oData.assign(view.pData, view.pData + view.nDataLength);
        e.nEngine = !view.ChecksumMatches() ? kResultBadChecksum
                    : view.nCommand != word ? kResultNotConfirmed
                                            : kOk;
        return kOk;
    };

    const Run run{client, e, mode, data[2], data[3]};
    kCommands[command % kCommandCount](run);
}

}  // namespace tes::fuzz
