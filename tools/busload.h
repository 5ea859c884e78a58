// tessara-can: the length of a classic CAN frame on the wire and the bus
// load it makes; pure functions, shared by `busload` and `sniff`.
//
// Bits of a data or remote frame without stuffing (ISO 11898-1 classic
// frame, n = data bytes, 0 for a remote frame):
//   standard identifier: SOF 1 + identifier 11 + RTR 1 + IDE 1 + r0 1 +
//     DLC 4 + data 8n + CRC 15 + CRC delimiter 1 + ACK slot 1 +
//     ACK delimiter 1 + EOF 7 + intermission 3          = 47 + 8n
//   extended identifier: SOF 1 + identifier 11 + SRR 1 + IDE 1 +
//     identifier 18 + RTR 1 + r1 1 + r0 1 + DLC 4 + data 8n + CRC 15 +
//     the same 13 bits of delimiters, ACK, EOF and intermission = 67 + 8n
// Stuffing covers SOF to the end of the CRC sequence, s = 34 + 8n bits
// (standard) or 54 + 8n (extended). The stuff bits are estimated:
//   worst case: floor((s - 1) / 4)  (every fifth bit after the first is a
//                                     stuff bit, which then starts a run)
//   typical:    s / 30               (bits with no preference: a stuff bit
//                                     after a run of five, one in 30 bits)
// A standard frame with 8 data bytes is 111 bits, 135 in the worst case.
// Frames longer than 8 bytes, which the gateway protocol carries but a
// classic bus does not, are counted with the same formula.
// The load over an interval is the sum of the frames' bits divided by the
// bit rate times the interval.
#pragma once

#include <cstdint>

namespace tool {

struct WireBits {
    int nUnstuffed = 0;
    int nWorstCase = 0;   // unstuffed + worst-case stuff bits
    double dTypical = 0;  // unstuffed + typical stuff bits
};

// `dataLength` is clamped to 0..255; a remote frame carries no data field.
WireBits FrameWireBits(bool extended, bool remote, int dataLength);

// Accumulates frames over an interval.
class LoadMeter {
public:
    void Add(bool extended, bool remote, int dataLength);
    void Reset() { *this = LoadMeter(); }
    long long Frames() const { return nFrames; }
    // Percent of `bitRate` over `seconds`; 0 for a bit rate or time of 0.
    double WorstCasePercent(int bitRate, double seconds) const;
    double TypicalPercent(int bitRate, double seconds) const;

private:
    long long nFrames = 0;
    long long nWorstBits = 0;
    double dTypicalBits = 0;
};

}  // namespace tool
