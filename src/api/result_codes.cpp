// Result message lookup and the text-output rule. Library interface layer.
#include "api/result_codes.h"

#include <cstring>
#include <iterator>

namespace tes {

namespace {

struct ResultRow {
    int32_t nCode;
    const char* sText;
};

constexpr ResultRow kRows[] = {
#define TES_RESULT_ROW(name, code, text) {name, text},
    TES_RESULT_TABLE(TES_RESULT_ROW)
#undef TES_RESULT_ROW
};

const char* FindRow(int32_t code) {
    for (const ResultRow& row : kRows) {
        if (row.nCode == code) return row.sText;
    }
    return nullptr;
}

}  // namespace

std::string MessageForResultCode(int32_t code) {
    if (const char* text = FindRow(code)) return text;
    // Device results of any device type fall back to the generic row of their
    // low byte, and 0xC0000 | type << 8 to 0xC0000.
    const int32_t reduced = static_cast<int32_t>(static_cast<uint32_t>(code) & ~0xFF00u);
    if (reduced != code) {
        if (const char* text = FindRow(reduced)) return text;
    }
    return "Unknown error code: " + std::to_string(reduced);
}

size_t ResultTableSize() {
    return std::size(kRows);
}
int32_t ResultTableCode(size_t index) {
    return kRows[index].nCode;
}

int32_t CopyText(const std::string& text, char* buffer, int64_t size) {
    if (buffer == nullptr || size <= 0) return 0;
    const size_t n = text.size() + 1 <= static_cast<uint64_t>(size) ? text.size()
                                                                    : static_cast<size_t>(size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return static_cast<int32_t>(n + 1);
}

}  // namespace tes
