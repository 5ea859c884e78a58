// Device commands every gateway answers whatever its device type: INFO,
// STATUS, digital and analog I/O, and CLOSE (restart). Protocol layer.
#include <algorithm>
#include <cstring>
#include <vector>

#include "protocol/client.h"
#include "protocol/commands.h"
#include "transport/trace.h"

namespace tes {

namespace {
constexpr size_t kInfoRecordSize = 20;
}

int32_t CTessaraClient::GetInfo(uint8_t* record) {
    const uint8_t type = static_cast<uint8_t>(nDeviceType);
    if (record != nullptr) {
        std::memset(record, 0, kInfoRecordSize);
        record[18] = type;  // stays when the gateway sends fewer than 19 bytes
    }
    TES_TRACE("INFO requested to " << PeerAddressText());
    std::unique_ptr<CTessaraMsg> c;
    const int32_t result = QueryCommand(CommandWord(Cmd::INFO, type), nullptr, 0, &c);
    if (result == kOk && record != nullptr) {
        const size_t n = std::min(c->oData.size() - 1, kInfoRecordSize);
        std::memcpy(record, c->oData.data() + 1, n);
    }
    return result;
}

int32_t CTessaraClient::GetStatus(std::string* text) {
    TES_TRACE("STATUS requested to " << PeerAddressText());
    std::unique_ptr<CTessaraMsg> c;
    const int32_t result =
        QueryCommand(CommandWord(Cmd::STATUS, static_cast<uint8_t>(nDeviceType)), nullptr, 0, &c);
    if (result == kOk && c->oData.size() > 1) text->assign(c->oData.begin() + 1, c->oData.end());
    return result;
}

int32_t CTessaraClient::ReadDigital(int32_t* first, int32_t* second) {
    TES_TRACE("READ DIGITAL requested to " << PeerAddressText());
    const CTessaraMsg request(nullptr, 0, CommandWord(Cmd::READ_DIGITAL, static_cast<uint8_t>(nDeviceType)),
                              TakeTelegramId());
    std::unique_ptr<CTessaraMsg> c;
    int32_t result = Exchange(request, &c);
    if (result != kOk) return result;
    result = EvaluateConfirmation(*c);
    // The words count whatever the result byte said, when they are there.
    if (c->oData.size() >= 9) {
        if (first != nullptr) *first = static_cast<int32_t>(GetU32(c->oData.data() + 1));
        if (second != nullptr) *second = static_cast<int32_t>(GetU32(c->oData.data() + 5));
    }
    return result;
}

int32_t CTessaraClient::WriteDigital(uint32_t word) {
    TES_TRACE("WRITE DIGITAL requested to " << PeerAddressText() << ", OutputBits=0x" << std::hex
                                            << word);
    uint8_t data[4];
    PutU32(data, word);
    return SimpleCommand(CommandWord(Cmd::WRITE_DIGITAL, static_cast<uint8_t>(nDeviceType)), data,
                         sizeof data);
}

int32_t CTessaraClient::ReadAnalog(int32_t* values, uint16_t* count, int32_t* first) {
    TES_TRACE("READ ANALOG requested to " << PeerAddressText());
    std::unique_ptr<CTessaraMsg> c;
    const int32_t result = QueryCommand(
        CommandWord(Cmd::READ_ANALOG, static_cast<uint8_t>(nDeviceType)), nullptr, 0, &c);
    if (result != kOk || c->oData.size() < 5) {
        *count = 0;
        return result;
    }
    if (first != nullptr) *first = static_cast<int32_t>(GetU32(c->oData.data() + 1));
    const uint16_t n = static_cast<uint16_t>((c->oData.size() - 5) / 4);
    for (uint16_t i = 0; i < n && i < *count; ++i) {
        values[i] = static_cast<int32_t>(GetU32(c->oData.data() + 5 + 4 * i));
    }
    *count = n;
    return kOk;
}

int32_t CTessaraClient::WriteAnalog(const int32_t* values, uint32_t count) {
    // A telegram's data part holds at most 16382 values; more is not sent.
    const uint32_t n = count & 0xFFFF;
    TES_TRACE("WRITE ANALOG requested to " << PeerAddressText() << ", OutputCount=0x" << std::hex
                                           << n);
    if (n * 4 > kMaxTelegramData) return kResultInvalidParameter;
    std::vector<uint8_t> data(n * 4);
    for (uint32_t i = 0; i < n; ++i) PutU32(data.data() + 4 * i, static_cast<uint32_t>(values[i]));
    return SimpleCommand(CommandWord(Cmd::WRITE_ANALOG, static_cast<uint8_t>(nDeviceType)),
                         data.data(), static_cast<uint16_t>(data.size()));
}

int32_t CTessaraClient::Restart() {
    TES_TRACE("CLOSE requested to " << PeerAddressText());
    return SimpleCommand(CommandWord(Cmd::CLOSE, static_cast<uint8_t>(nDeviceType)), nullptr, 0);
}

}  // namespace tes
