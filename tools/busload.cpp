// tessara-can: frame lengths on the wire and the bus load (see busload.h).
#include "busload.h"

#include <algorithm>

namespace tool {

WireBits FrameWireBits(bool extended, bool remote, int dataLength) {
    const int n = remote ? 0 : std::clamp(dataLength, 0, 255);
    const int stuffed = (extended ? 54 : 34) + 8 * n;  // SOF .. end of CRC
    WireBits bits;
    bits.nUnstuffed = (extended ? 67 : 47) + 8 * n;
    bits.nWorstCase = bits.nUnstuffed + (stuffed - 1) / 4;
    bits.dTypical = bits.nUnstuffed + stuffed / 30.0;
    return bits;
}

void LoadMeter::Add(bool extended, bool remote, int dataLength) {
    const WireBits bits = FrameWireBits(extended, remote, dataLength);
    ++nFrames;
    nWorstBits += bits.nWorstCase;
    dTypicalBits += bits.dTypical;
}

namespace {
double Percent(double bits, int bitRate, double seconds) {
    if (bitRate <= 0 || !(seconds > 0)) return 0;
    return 100.0 * bits / (static_cast<double>(bitRate) * seconds);
}
}  // namespace

double LoadMeter::WorstCasePercent(int bitRate, double seconds) const {
    return Percent(static_cast<double>(nWorstBits), bitRate, seconds);
}

double LoadMeter::TypicalPercent(int bitRate, double seconds) const {
    return Percent(dTypicalBits, bitRate, seconds);
}

}  // namespace tool
