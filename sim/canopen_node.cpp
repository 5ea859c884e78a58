// A simulated CANopen node: NMT, object dictionary, SDO access, PDO,
// heartbeat and guarding. Simulator layer.
#include "canopen_node.h"

#include <algorithm>
#include <cstring>

namespace tes::sim {

namespace {

std::vector<uint8_t> U8(uint8_t v) {
    return {v};
}
std::vector<uint8_t> U16(uint16_t v) {
    std::vector<uint8_t> out;
    AppendU16(&out, v);
    return out;
}
std::vector<uint8_t> U32(uint32_t v) {
    std::vector<uint8_t> out;
    AppendU32(&out, v);
    return out;
}
std::vector<uint8_t> Text(const char* s) {
    return std::vector<uint8_t>(s, s + std::strlen(s));
}

constexpr uint32_t kCobHeartbeat = 0x700;
constexpr uint32_t kCobEmergency = 0x080;
constexpr uint32_t kCobSync = 0x080;
constexpr uint32_t kCobNmt = 0x000;
constexpr uint32_t kCobTpdo1 = 0x180;
constexpr uint32_t kCobRpdo1 = 0x200;

}  // namespace

CanopenNode::CanopenNode(uint8_t id) : nId(id) {
    Define(0x1000, 0, Kind::kU32, false, U32(kNodeDeviceType));
    Define(0x1001, 0, Kind::kU8, false, U8(0));
    Define(0x1008, 0, Kind::kString, false, Text(kNodeDeviceName), sizeof kNodeDeviceName - 1);
    Define(0x100A, 0, Kind::kString, false, Text("1.0"), 3);
    Define(0x1017, 0, Kind::kU16, true, U16(0));
    Define(0x1018, 0, Kind::kU8, false, U8(4));
    Define(0x1018, 1, Kind::kU32, false, U32(kNodeVendorId));
    Define(0x1018, 2, Kind::kU32, false, U32(kNodeProductCode));
    Define(0x1018, 3, Kind::kU32, false, U32(kNodeRevision));
    Define(0x1018, 4, Kind::kU32, false, U32(id));  // serial number
    Define(0x2000, 0, Kind::kU32, true, U32(0));
    Define(0x2001, 0, Kind::kDomain, true, {}, kNodeDomainMax);
    Define(0x2100, 0, Kind::kDomain, true, {0, 0, 0, 0}, kNodeProcessImageMax);
}

void CanopenNode::Define(uint16_t index, uint8_t subindex, Kind kind, bool writable,
                         std::vector<uint8_t> value, size_t max) {
    Entry e{kind, writable, max, value, value};
    oDictionary[Key(index, subindex)] = std::move(e);
}

uint16_t CanopenNode::HeartbeatMs() const {
    const std::vector<uint8_t>& v = oDictionary.at(Key(0x1017, 0)).oValue;
    return static_cast<uint16_t>(v[0] | (v[1] << 8));
}

void CanopenNode::ResetRange(uint16_t first, uint16_t last) {
    for (auto& [key, entry] : oDictionary) {
        const uint32_t index = key >> 8;
        if (index >= first && index <= last) entry.oValue = entry.oDefault;
    }
}

void CanopenNode::Boot(std::vector<CanFrame>* out) {
    ResetRange(0x0000, 0xFFFF);
    nState = kNmtPreOperational;
    nToggle = 0;
    out->push_back(CanFrame{kCobHeartbeat + nId, 0, {kNmtBootUp}});
}

void CanopenNode::OnFrame(const CanFrame& frame, std::vector<CanFrame>* out) {
    if ((frame.cFlags & kFlagExtended) != 0) return;
    const std::vector<uint8_t>& d = frame.oData;
    if ((frame.cFlags & kFlagRemote) != 0) {
        if (frame.nIdentifier == kCobHeartbeat + nId) {  // node guarding
            out->push_back(
                CanFrame{kCobHeartbeat + nId, 0, {static_cast<uint8_t>(nToggle | nState)}});
            nToggle ^= 0x80;
        }
        return;
    }
    if (frame.nIdentifier == kCobNmt) {
        if (d.size() < 2 || (d[1] != 0 && d[1] != nId)) return;
        switch (d[0]) {
            case kNmtStart:
                nState = kNmtOperational;
                break;
            case kNmtStop:
                nState = kNmtStopped;
                break;
            case kNmtEnterPreOperational:
                nState = kNmtPreOperational;
                break;
            case kNmtResetNode:
                Boot(out);
                break;
            case kNmtResetCommunication:
                ResetRange(0x1000, 0x1FFF);
                nState = kNmtPreOperational;
                nToggle = 0;
                out->push_back(CanFrame{kCobHeartbeat + nId, 0, {kNmtBootUp}});
                break;
            default:
                break;
        }
        return;
    }
    if (nState != kNmtOperational) return;
    Entry& image = oDictionary.at(Key(0x2100, 0));
    if (frame.nIdentifier == kCobSync) {
        out->push_back(TransmitPdo(1, image.oValue));
    } else if (frame.nIdentifier == kCobRpdo1 + nId) {
        image.oValue.assign(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(
                                                       std::min(d.size(), kNodeProcessImageMax)));
    }
}

const CanopenNode::Entry* CanopenNode::Lookup(uint16_t index, uint8_t subindex,
                                              uint32_t* abort) const {
    const auto it = oDictionary.find(Key(index, subindex));
    if (it != oDictionary.end()) return &it->second;
    const auto any = oDictionary.lower_bound(Key(index, 0));
    *abort =
        any != oDictionary.end() && (any->first >> 8) == index ? kAbortNoSubindex : kAbortNoObject;
    return nullptr;
}

CanopenNode::SdoReply CanopenNode::Abort(uint32_t code) {
    return SdoReply{kSdoAbort, U32(code)};
}

CanopenNode::SdoReply CanopenNode::Read(uint16_t index, uint8_t subindex) const {
    uint32_t abort = 0;
    const Entry* e = Lookup(index, subindex, &abort);
    if (e == nullptr) return Abort(abort);
    const size_t n = e->oValue.size();
    if (n >= 1 && n <= 4) {
        std::vector<uint8_t> value(e->oValue);
        value.resize(4, 0);
        return SdoReply{SdoUploadExpedited(n), value};
    }
    return SdoReply{kSdoUploadSegmented, U32(static_cast<uint32_t>(n))};
}

CanopenNode::SdoReply CanopenNode::Store(uint16_t index, uint8_t subindex, const uint8_t* data,
                                         size_t length, uint8_t doneReply) {
    uint32_t abort = 0;
    const Entry* found = Lookup(index, subindex, &abort);
    if (found == nullptr) return Abort(abort);
    Entry& e = oDictionary.at(Key(index, subindex));
    if (!e.bWritable) return Abort(kAbortReadOnly);
    switch (e.eKind) {
        case Kind::kU8:
        case Kind::kU16:
        case Kind::kU32:
            if (length != e.oDefault.size()) return Abort(kAbortLengthMismatch);
            break;
        case Kind::kString:
        case Kind::kDomain:
            if (length > e.nMax) return Abort(kAbortTooLong);
            break;
    }
    e.oValue.assign(data, data + length);
    return SdoReply{doneReply, U32(0)};
}

CanopenNode::SdoReply CanopenNode::Write(uint16_t index, uint8_t subindex, uint8_t size,
                                         uint32_t value) {
    if (size > 4) return Abort(kAbortBadCommand);
    if (size == 0) {
        uint32_t abort = 0;
        const Entry* e = Lookup(index, subindex, &abort);
        if (e == nullptr) return Abort(abort);
        if (e->eKind == Kind::kString || e->eKind == Kind::kDomain) return Abort(kAbortBadCommand);
        size = static_cast<uint8_t>(e->oDefault.size());
    }
    const std::vector<uint8_t> bytes = U32(value);
    return Store(index, subindex, bytes.data(), size, kSdoDownloadDone);
}

CanopenNode::SdoReply CanopenNode::ReadBlock(uint16_t index, uint8_t subindex) const {
    uint32_t abort = 0;
    const Entry* e = Lookup(index, subindex, &abort);
    if (e == nullptr) return Abort(abort);
    return SdoReply{kSdoBlockUploadDone, e->oValue};
}

CanopenNode::SdoReply CanopenNode::WriteBlock(uint16_t index, uint8_t subindex, const uint8_t* data,
                                              size_t length) {
    return Store(index, subindex, data, length, kSdoBlockDownloadDone);
}

CanFrame CanopenNode::Heartbeat() const {
    return CanFrame{kCobHeartbeat + nId, 0, {nState}};
}

CanFrame CanopenNode::Emergency(uint16_t errorCode, uint8_t errorRegister,
                                const uint8_t (&vendor)[5]) {
    oDictionary.at(Key(0x1001, 0)).oValue = U8(errorRegister);
    CanFrame f{kCobEmergency + nId, 0, {}};
    AppendU16(&f.oData, errorCode);
    f.oData.push_back(errorRegister);
    f.oData.insert(f.oData.end(), vendor, vendor + 5);
    return f;
}

CanFrame CanopenNode::TransmitPdo(uint8_t number, const std::vector<uint8_t>& data) const {
    CanFrame f{kCobTpdo1 + 0x100u * (number - 1u) + nId, 0, data};
    if (f.oData.size() > kNodeProcessImageMax) f.oData.resize(kNodeProcessImageMax);
    return f;
}

}  // namespace tes::sim
