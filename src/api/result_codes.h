// The English message of a result code and the text-output rule of the
// interface. Library interface layer; the codes and texts are in
// protocol/result_codes.h.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/result_codes.h"

namespace tes {

// The version text DLLInfo hands out.
constexpr const char* kVersionText = "Tessara CAN DLL V1.11-2.13";

// Message of a result code: the table row, else the row of the code with
// bits 8-15 cleared, else "Unknown error code: " and the code in decimal.
std::string MessageForResultCode(int32_t code);

// Number of rows of the message table.
size_t ResultTableSize();
// Code of row `index` (for checks over the whole table).
int32_t ResultTableCode(size_t index);

// Copies `text` into a caller's buffer, cut to size - 1 characters, with a
// terminating zero; returns the bytes written, or 0 for a null buffer or a
// size of 0 or less.
int32_t CopyText(const std::string& text, char* buffer, int64_t size);

}  // namespace tes
