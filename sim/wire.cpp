// Telegram byte builders of the gateway simulator. Simulator layer.
#include "wire.h"

#include <chrono>

#include "protocol/commands.h"
#include "protocol/telegram.h"

namespace tes::sim {

std::vector<uint8_t> MakeTelegram(uint16_t command, uint16_t telegramId,
                                  const std::vector<uint8_t>& data) {
    const size_t count = data.size() < kMaxTelegramData ? data.size() : kMaxTelegramData;
    std::vector<uint8_t> out(count + kTelegramOverhead);
    EncodeTelegram(out.data(), command, telegramId, data.data(), count);
    return out;
}

std::vector<uint8_t> MakeConfirmation(uint16_t command, uint16_t telegramId, uint8_t result,
                                      const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> data;
    data.reserve(payload.size() + 1);
    data.push_back(result);
    data.insert(data.end(), payload.begin(), payload.end());
    return MakeTelegram(static_cast<uint16_t>(command | kConfirmationFlag), telegramId, data);
}

std::vector<uint8_t> WithWrongChecksum(std::vector<uint8_t> bytes) {
    if (bytes.size() >= kTelegramOverhead) bytes.back() = static_cast<uint8_t>(~bytes.back());
    return bytes;
}

int64_t MonotonicUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void AppendU16(std::vector<uint8_t>* out, uint32_t value) {
    out->push_back(static_cast<uint8_t>(value));
    out->push_back(static_cast<uint8_t>(value >> 8));
}

void AppendU32(std::vector<uint8_t>* out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        out->push_back(static_cast<uint8_t>(value >> shift));
}

}  // namespace tes::sim
