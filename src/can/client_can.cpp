// CAN port commands: configuration, filters, device clock, power status and
// frame writing. CAN command layer.
#include "can/client_can.h"

#include "protocol/commands.h"
#include "time/tes_time.h"
#include "transport/trace.h"

namespace tes {

namespace {
constexpr size_t kFilterWords = 16;
}  // namespace

CTessaraClientCAN::CTessaraClientCAN(int32_t timeoutMs)
    : CTessaraClient(kDeviceTypeCan, timeoutMs) {}

CTessaraClientCAN::~CTessaraClientCAN() = default;

int32_t CTessaraClientCAN::SetConfig(bool confirmData, bool monitor) {
    TES_TRACE("SET_CONFIG requested to " << PeerAddressText() << ", ConfirmData=" << confirmData
                                         << ", Monitor=" << monitor);
    const uint8_t data[2] = {static_cast<uint8_t>(confirmData), static_cast<uint8_t>(monitor)};
    const int32_t result = SimpleCommand(CommandWord(Cmd::SET_CONFIG), data, sizeof data);
    if (result == kOk) bConfirmData.store(confirmData);
    return result;
}

int32_t CTessaraClientCAN::SetGlobals(int32_t baudrate, uint8_t operatingMode, bool termination,
                                      bool highSpeed, bool timestampOn) {
    TES_TRACE("SET_GLOBALS requested to "
              << PeerAddressText() << ", Operating mode=" << int(operatingMode)
              << ", Baudrate=" << baudrate << ", Termination=" << termination
              << ", HighSpeed=" << highSpeed << ", TimestampOn=" << timestampOn);
    uint8_t data[8];
    data[0] = operatingMode;
    PutU32(data + 1, static_cast<uint32_t>(baudrate));
    data[5] = termination;
    data[6] = highSpeed;
    data[7] = timestampOn;
    return SimpleCommand(CommandWord(Cmd::SET_GLOBALS), data, sizeof data);
}

int32_t CTessaraClientCAN::GetGlobals(int32_t* baudrate, uint8_t* operatingMode, bool* termination,
                                      bool* highSpeed, bool* timestampOn, bool* delivered) {
    TES_TRACE("GET_GLOBALS requested to " << PeerAddressText());
    std::unique_ptr<CTessaraMsg> c;
    const int32_t result = QueryCommand(CommandWord(Cmd::GET_GLOBALS), nullptr, 0, &c);
    if (delivered != nullptr) *delivered = false;
    if (result != kOk || c->oData.size() < 6) return result;
    if (delivered != nullptr) *delivered = true;
    const std::vector<uint8_t>& d = c->oData;
    *termination = *highSpeed = *timestampOn = false;
    *operatingMode = d[1];
    *baudrate = static_cast<int32_t>(GetU32(d.data() + 2));
    if (d.size() > 6) *termination = d[6] == 1;
    if (d.size() > 7) *highSpeed = d[7] == 1;
    if (d.size() > 8) *timestampOn = d[8] == 1;
    return kOk;
}

int32_t CTessaraClientCAN::SetFilter(const int32_t* table) {
    TES_TRACE("SET_FILTER requested to " << PeerAddressText());
    uint8_t data[kFilterWords * 4];
    for (size_t k = 0; k < kFilterWords; ++k) PutU32(data + 4 * k, static_cast<uint32_t>(table[k]));
    return SimpleCommand(CommandWord(Cmd::SET_FILTER), data, sizeof data);
}

int32_t CTessaraClientCAN::GetFilter(int32_t* table) {
    TES_TRACE("GET_FILTER requested to " << PeerAddressText());
    std::unique_ptr<CTessaraMsg> c;
    const int32_t result = QueryCommand(CommandWord(Cmd::GET_FILTER), nullptr, 0, &c);
    if (result != kOk || c->oData.size() < 1 + kFilterWords * 4) return result;
    for (size_t k = 0; k < kFilterWords; ++k) {
        table[k] = static_cast<int32_t>(GetU32(c->oData.data() + 1 + 4 * k));
    }
    return kOk;
}

int32_t CTessaraClientCAN::SetTime(int32_t seconds, int32_t microseconds) {
    TES_TRACE("SET_TIME requested to " << PeerAddressText() << ", oTime.tv_sec=" << seconds
                                       << ", oTime.tv_usec=" << microseconds);
    uint8_t data[8];
    PutU32(data, static_cast<uint32_t>(seconds));
    PutU32(data + 4, static_cast<uint32_t>(microseconds));
    return SimpleCommand(CommandWord(Cmd::SET_TIME), data, sizeof data);
}

int32_t CTessaraClientCAN::GetTime(bool* timeFlag, int32_t* seconds, int32_t* microseconds) {
    TES_TRACE("GET_TIME requested to " << PeerAddressText());
    std::unique_ptr<CTessaraMsg> c;
    const int32_t result = QueryCommand(CommandWord(Cmd::GET_TIME), nullptr, 0, &c);
    if (result != kOk || c->oData.size() < 10) return result;
    *timeFlag = c->oData[1] != 0;
    *seconds = static_cast<int32_t>(GetU32(c->oData.data() + 2));
    *microseconds = static_cast<int32_t>(GetU32(c->oData.data() + 6));
    return kOk;
}

int32_t CTessaraClientCAN::GetPowerStatus(PowerStatus* s) {
    TES_TRACE("GET_POWERSTATUS requested to " << PeerAddressText());
    std::unique_ptr<CTessaraMsg> c;
    const int32_t result = QueryCommand(CommandWord(Cmd::GET_POWERSTATUS), nullptr, 0, &c);
    if (result != kOk || c->oData.size() < 13) return result;
    const std::vector<uint8_t>& d = c->oData;
    s->nValueCount = d[1];
    s->nFlagCountA = d[2];
    s->nFlagCountB = d[3];
    s->nPowerWord1 = GetU16(d.data() + 4);
    s->nPowerWord2 = GetU16(d.data() + 6);
    s->nPowerWord3 = GetU16(d.data() + 8);
    s->bPowerFlag = (d[10] & 1) != 0;
    // Each list advances over every announced entry, stored or not, and never
    // beyond the data that arrived.
    size_t pos = 11;
    bool complete = true;
    for (uint32_t j = 0; j < s->nValueCount; ++j, pos += 2) {
        if (pos + 2 > d.size()) {
            complete = false;
            break;
        }
        if (s->pValues != nullptr && j < s->nValueCapacity) s->pValues[j] = GetU16(d.data() + pos);
    }
    const auto readFlags = [&](uint8_t count, uint8_t capacity, uint8_t* list) {
        for (uint32_t j = 0; j < count && complete; ++j, ++pos) {
            if (pos >= d.size()) {
                complete = false;
                break;
            }
            if (list != nullptr && j < capacity) list[j] = d[pos] & 1;
        }
    };
    readFlags(s->nFlagCountA, s->nFlagACapacity, s->pFlagsA);
    readFlags(s->nFlagCountB, s->nFlagBCapacity, s->pFlagsB);
    return complete ? kOk : (kResultNoResultByte | (DeviceType() << 8));
}

int32_t CTessaraClientCAN::SetPowerRelais(bool on) {
    TES_TRACE("SET_POWERRELAIS requested to " << PeerAddressText() << ", cData=" << on);
    const uint8_t data = on;
    return SimpleCommand(CommandWord(Cmd::SET_POWERRELAIS), &data, 1);
}

int32_t CTessaraClientCAN::SetActivePowerSupplies(uint32_t bitmask) {
    TES_TRACE("SET_POWERACTIVESUPPLIES requested to " << PeerAddressText()
                                                      << ", nBitmask=" << bitmask);
    uint8_t data[4];
    PutU32(data, bitmask);
    return SimpleCommand(CommandWord(Cmd::SET_POWERACTIVESUPPLIES), data, sizeof data);
}

int32_t CTessaraClientCAN::WriteConfirmed(const uint8_t* payload, size_t n, uint16_t id,
                                          int32_t* seconds, int32_t* microseconds) {
    const CTessaraMsg request(payload, static_cast<uint16_t>(5 + n), CommandWord(Cmd::WRITE), id);
    std::unique_ptr<CTessaraMsg> c;
    int32_t result = Exchange(request, &c);
    if (c != nullptr && c->oData.size() >= 9) {
        if (seconds != nullptr) *seconds = static_cast<int32_t>(GetU32(c->oData.data() + 1));
        if (microseconds != nullptr) {
            *microseconds = static_cast<int32_t>(GetU32(c->oData.data() + 5));
        }
    }
    if (result == kOk) result = EvaluateConfirmation(*c);
    return result;
}

void CTessaraClientCAN::StampLocally(int32_t* seconds, int32_t* microseconds) {
    int32_t s = 0;
    int32_t us = 0;
    LocalTimestampSince1970(&s, &us);
    if (seconds != nullptr) *seconds = s;
    if (microseconds != nullptr) *microseconds = us;
}

}  // namespace tes
