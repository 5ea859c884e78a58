// tessara-can: the device and port commands (info, status, state, config,
// filter, time, io, power, restart).
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "tool.h"

namespace tool {

namespace {

uint32_t U32(const unsigned char* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool ParseBool(const std::string& text, int* out) {
    if (text == "1" || text == "on" || text == "yes") {
        *out = 1;
    } else if (text == "0" || text == "off" || text == "no") {
        *out = 0;
    } else {
        return false;
    }
    return true;
}

const char* ModeName(int mode) {
    switch (mode) {
        case 0:
            return "normal";
        case 1:
            return "listen-only";
        case 2:
            return "off";
        default:
            return "unknown";
    }
}

// Calendar date of a count of days since 1970-01-01 (proleptic Gregorian).
void CivilFromDays(long long days, int* year, unsigned* month, unsigned* day) {
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *day = doy - (153 * mp + 2) / 5 + 1;
    *month = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<int>(yoe + era * 400 + (*month <= 2 ? 1 : 0));
}

std::string UtcText(long long seconds, long micros) {
    long long days = seconds / 86400;
    long long rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    int year = 0;
    unsigned month = 0, day = 0;
    CivilFromDays(days, &year, &month, &day);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02lld:%02lld:%02lld.%06ld UTC", year, month,
                  day, rest / 3600, rest / 60 % 60, rest % 60, micros);
    return text;
}

}  // namespace

int RunInfo(const Options& options) {
    if (!options.oArgs.empty()) return UsageError("info takes no arguments");
    Device device;
    int rc = device.Open(options);
    if (rc != 0) return Fail("open", rc);
    unsigned char r[20];
    rc = DeviceInfo(device.Handle(), r);
    if (rc != 0) return Fail("info", rc);
    char name[9] = {};
    std::memcpy(name, r + 8, 8);
    std::printf("serial number      0x%08X\n", static_cast<unsigned>(U32(r)));
    std::printf("hardware revision  %u.%u\n", r[5], r[4]);
    std::printf("firmware version   %u.%u\n", r[7], r[6]);
    std::printf("name               %s\n", name);
    std::printf("CAN ports          %u\n", r[16]);
    std::printf("analog channels    %u\n", r[17]);
    std::printf("device type        %u\n", r[18]);
    std::printf("power supplies     %u\n", r[19]);
    return kExitOk;
}

int RunStatus(const Options& options) {
    if (!options.oArgs.empty()) return UsageError("status takes no arguments");
    Device device;
    const int rc = device.Open(options);
    if (rc != 0) return Fail("open", rc);
    char text[1024] = {};
    DeviceStatus(device.Handle(), text, sizeof text);
    // DeviceStatus has no result code: an empty text is a failed request.
    if (text[0] == '\0') return FailText("status: the gateway sent no status text");
    std::printf("%s\n", text);
    return kExitOk;
}

int RunState(const Options& options) {
    if (!options.oArgs.empty()) return UsageError("state takes no arguments");
    Device device;
    const int rc = device.Open(options);
    if (rc != 0) return Fail("open", rc);
    const int state = CANDeviceConnectState(device.Handle());
    static const char* const kNames[] = {"",
                                         "closed",
                                         "connecting",
                                         "connected",
                                         "disconnecting",
                                         "",
                                         "socket stack not initialised"};
    std::printf("%d %s\n", state, state >= 1 && state <= 6 ? kNames[state] : "unknown");
    return kExitOk;
}

int RunConfig(const Options& options) {
    std::vector<std::string> args = options.oArgs;
    std::map<std::string, std::string> opts;
    std::string error;
    if (!TakeOptions(&args, {},
                     {"--bitrate", "--mode", "--termination", "--high-speed", "--timestamps"},
                     &opts, &error))
        return UsageError("config: " + error);
    if (args.size() != 1 || (args[0] != "get" && args[0] != "set"))
        return UsageError("config needs get or set");
    if (args[0] == "get" && !opts.empty()) return UsageError("config get takes no options");
    if (args[0] == "set" && opts.empty())
        return UsageError(
            "config set needs at least one of --bitrate, --mode, --termination, --high-speed, "
            "--timestamps");

    int bitrate = 0, termination = 0, highSpeed = 0, timestamps = 0, mode = 0;
    long long n = 0;
    if (opts.count("--bitrate") != 0) {
        if (!ParseInt(opts["--bitrate"], 0, 0x7FFFFFFF, &n))
            return UsageError("config: --bitrate needs bit/s, e.g. 500000");
        bitrate = static_cast<int>(n);
    }
    if (opts.count("--mode") != 0) {
        const std::string& m = opts["--mode"];
        if (m == "normal") {
            mode = 0;
        } else if (m == "listen-only") {
            mode = 1;
        } else if (m == "off") {
            mode = 2;
        } else if (ParseInt(m, 0, 255, &n)) {
            mode = static_cast<int>(n);  // the gateway judges other values
        } else {
            return UsageError("config: --mode needs normal, listen-only, off or 0-255");
        }
    }
    const std::pair<const char*, int*> flags[] = {{"--termination", &termination},
                                                  {"--high-speed", &highSpeed},
                                                  {"--timestamps", &timestamps}};
    for (const auto& f : flags) {
        if (opts.count(f.first) != 0 && !ParseBool(opts[f.first], f.second))
            return UsageError(std::string("config: ") + f.first + " needs on or off");
    }

    Device device;
    int rc = device.Open(options);
    if (rc != 0) return Fail("open", rc);
    int curBitrate = 0, curTermination = 0, curHighSpeed = 0, curTimestamps = 0;
    unsigned char curMode = 0;
    rc = CANGetGlobals(device.Handle(), &curBitrate, &curMode, &curTermination, &curHighSpeed,
                       &curTimestamps);
    if (rc != 0) return Fail("config get", rc);
    if (args[0] == "get") {
        std::printf("bitrate      %d\n", curBitrate);
        std::printf("mode         %s\n", ModeName(curMode));
        std::printf("termination  %s\n", curTermination != 0 ? "on" : "off");
        std::printf("high-speed   %s\n", curHighSpeed != 0 ? "on" : "off");
        std::printf("timestamps   %s\n", curTimestamps != 0 ? "on" : "off");
        return kExitOk;
    }
    // What is not given keeps the port's present value.
    if (opts.count("--bitrate") == 0) bitrate = curBitrate;
    if (opts.count("--mode") == 0) mode = curMode;
    if (opts.count("--termination") == 0) termination = curTermination;
    if (opts.count("--high-speed") == 0) highSpeed = curHighSpeed;
    if (opts.count("--timestamps") == 0) timestamps = curTimestamps;
    rc = CANSetGlobals(device.Handle(), bitrate, mode, termination, highSpeed, timestamps);
    if (rc != 0) return Fail("config set", rc);
    std::printf("bitrate %d, mode %s, termination %s, high-speed %s, timestamps %s\n", bitrate,
                ModeName(mode), termination != 0 ? "on" : "off", highSpeed != 0 ? "on" : "off",
                timestamps != 0 ? "on" : "off");
    return kExitOk;
}

int RunFilter(const Options& options) {
    const std::vector<std::string>& args = options.oArgs;
    if (args.empty() || (args[0] != "get" && args[0] != "set"))
        return UsageError("filter needs get, or set ID:MASK ... (up to 8) or set off");
    if (args[0] == "get" && args.size() != 1) return UsageError("filter get takes no arguments");
    int table[16] = {};
    if (args[0] == "set") {
        const bool off = args.size() == 2 && args[1] == "off";
        if (args.size() < 2 || args.size() > 9)
            return UsageError("filter set needs 1 to 8 entries ID:MASK, or off");
        for (size_t i = 1; i < args.size() && !off; ++i) {
            const size_t colon = args[i].find(':');
            CanId id;
            unsigned long long mask = 0;
            if (colon == std::string::npos || !ParseCanId(args[i].substr(0, colon), &id) ||
                !ParseHex(args[i].substr(colon + 1), 0x1FFFFFFF, &mask))
                return UsageError("filter: '" + args[i] +
                                  "' is not ID:MASK (ID 3 hex digits standard, 8 extended)");
            // Word 2i: bit 31 entry in use, bit 30 extended, bits 0-28 the
            // identifier; word 2i + 1: the bits that must match.
            const uint32_t word = 0x80000000u | (id.bExtended ? 0x40000000u : 0u) | id.nId;
            table[2 * (i - 1)] = static_cast<int>(word);
            table[2 * (i - 1) + 1] = static_cast<int>(mask);
        }
    }
    Device device;
    int rc = device.Open(options);
    if (rc != 0) return Fail("open", rc);
    if (args[0] == "set") {
        rc = CANSetFilter(device.Handle(), table);
        if (rc != 0) return Fail("filter set", rc);
    }
    rc = CANGetFilter(device.Handle(), table);
    if (rc != 0) return Fail("filter get", rc);
    bool any = false;
    for (int i = 0; i < 8; ++i) {
        const uint32_t word = static_cast<uint32_t>(table[2 * i]);
        const uint32_t mask = static_cast<uint32_t>(table[2 * i + 1]);
        if ((word & 0x80000000u) == 0) continue;
        any = true;
        const bool extended = (word & 0x40000000u) != 0;
        std::printf("%d %s:%s\n", i, FormatCanId(word & 0x1FFFFFFFu, extended).c_str(),
                    FormatCanId(mask & 0x1FFFFFFFu, extended).c_str());
    }
    if (!any) std::printf("no filter: every frame passes\n");
    return kExitOk;
}

int RunTime(const Options& options) {
    const std::vector<std::string>& args = options.oArgs;
    if (args.empty() || (args[0] != "get" && args[0] != "set") || args.size() > 2 ||
        (args[0] == "get" && args.size() != 1))
        return UsageError("time needs get, or set [SECONDS[.FRACTION]|now]");
    long long seconds = 0;
    long micros = 0;
    if (args[0] == "set") {
        const std::string value = args.size() == 2 ? args[1] : "now";
        if (value == "now") {
            const auto now = std::chrono::system_clock::now().time_since_epoch();
            const long long us = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
            seconds = us / 1000000;
            micros = static_cast<long>(us % 1000000);
        } else {
            const size_t dot = value.find('.');
            const std::string whole = value.substr(0, dot);
            std::string fraction = dot == std::string::npos ? "" : value.substr(dot + 1);
            if (!ParseInt(whole, -2147483647LL - 1, 2147483647LL, &seconds) ||
                fraction.size() > 6 ||
                fraction.find_first_not_of("0123456789") != std::string::npos ||
                (dot != std::string::npos && fraction.empty()))
                return UsageError("time set: '" + value +
                                  "' is not SECONDS[.FRACTION] (up to 6 decimals) or now");
            fraction.resize(6, '0');
            micros = std::strtol(fraction.c_str(), nullptr, 10);
        }
    }
    Device device;
    int rc = device.Open(options);
    if (rc != 0) return Fail("open", rc);
    if (args[0] == "set") {
        rc = CANSetTime(device.Handle(), static_cast<int>(seconds), static_cast<int>(micros));
        if (rc != 0) return Fail("time set", rc);
    }
    int flag = 0, s = 0, us = 0;
    rc = CANGetTime(device.Handle(), &flag, &s, &us);
    if (rc != 0) return Fail("time get", rc);
    // The gateway sends the low 32 bits of its seconds; read them unsigned.
    const long long gatewaySeconds = static_cast<uint32_t>(s);
    std::printf("%lld.%06d %s, %s\n", gatewaySeconds, us, UtcText(gatewaySeconds, us).c_str(),
                flag != 0 ? "set since power-up" : "not set since power-up");
    return kExitOk;
}

int RunIo(const Options& options) {
    const std::vector<std::string>& args = options.oArgs;
    const bool read = args.size() == 1 && args[0] == "read";
    const bool writeDigital = args.size() == 3 && args[0] == "write" && args[1] == "digital";
    const bool writeAnalog =
        args.size() >= 3 && args.size() <= 18 && args[0] == "write" && args[1] == "analog";
    if (!read && !writeDigital && !writeAnalog)
        return UsageError("io needs read, write digital BITS or write analog VALUE ...");
    long long bits = 0;
    std::vector<int> values;
    if (writeDigital && !ParseInt(args[2], 0, 0xFFFFFFFFLL, &bits))
        return UsageError("io write digital: '" + args[2] + "' is not a 32-bit number");
    for (size_t i = 2; writeAnalog && i < args.size(); ++i) {
        long long v = 0;
        if (!ParseInt(args[i], -2147483647LL - 1, 0xFFFFFFFFLL, &v))
            return UsageError("io write analog: '" + args[i] + "' is not a 32-bit number");
        values.push_back(static_cast<int>(static_cast<uint32_t>(v)));
    }
    Device device;
    int rc = device.Open(options);
    if (rc != 0) return Fail("open", rc);
    if (writeDigital) {
        rc = CANWriteDigital(device.Handle(), static_cast<int>(static_cast<uint32_t>(bits)));
        if (rc != 0) return Fail("io write digital", rc);
        std::printf("digital outputs    0x%08X\n", static_cast<unsigned>(bits));
        return kExitOk;
    }
    if (writeAnalog) {
        rc = CANWriteAnalog(device.Handle(), values.data(), static_cast<int>(values.size()));
        if (rc != 0) return Fail("io write analog", rc);
        std::printf("analog outputs    ");
        for (int v : values) std::printf(" %u", static_cast<unsigned>(v));
        std::printf("\n");
        return kExitOk;
    }
    int inputs = 0, outputs = 0;
    rc = CANReadDigital(device.Handle(), &inputs, &outputs);
    if (rc != 0) return Fail("io read digital", rc);
    int channels = 0;
    int analog[16] = {};
    unsigned short count = 16;
    rc = CANReadAnalog(device.Handle(), &channels, analog, &count);
    if (rc != 0) return Fail("io read analog", rc);
    std::printf("digital inputs     0x%08X\n", static_cast<unsigned>(inputs));
    std::printf("digital outputs    0x%08X\n", static_cast<unsigned>(outputs));
    std::printf("analog channels    %d\n", channels);
    std::printf("analog inputs     ");
    for (unsigned i = 0; i < count && i < 16; ++i)
        std::printf(" %u", static_cast<unsigned>(analog[i]));
    std::printf("\n");
    return kExitOk;
}

int RunPower(const Options& options) {
    const std::vector<std::string>& args = options.oArgs;
    int relay = 0;
    long long mask = 0;
    const bool status = args.empty();
    const bool setRelay = args.size() == 2 && args[0] == "relay";
    const bool setSupplies = args.size() == 2 && args[0] == "supplies";
    if (!status && !setRelay && !setSupplies)
        return UsageError("power takes no argument, relay on|off, or supplies MASK");
    if (setRelay && !ParseBool(args[1], &relay)) return UsageError("power relay needs on or off");
    if (setSupplies && !ParseInt(args[1], 0, 0xFFFFFFFFLL, &mask))
        return UsageError("power supplies needs a bit mask, e.g. 0x5");
    Device device;
    int rc = device.Open(options);
    if (rc != 0) return Fail("open", rc);
    if (setRelay) {
        rc = CANSetPowerRelais(device.Handle(), relay);
        if (rc != 0) return Fail("power relay", rc);
    }
    if (setSupplies) {
        rc = CANSetActivePowerSupplies(device.Handle(), static_cast<int>(mask));
        if (rc != 0) return Fail("power supplies", rc);
    }
    constexpr int kCapacity = 16;
    unsigned char valueCount = 0, countA = 0, countB = 0;
    unsigned short word1 = 0, word2 = 0, word3 = 0;
    int flag = 0;
    unsigned short values[kCapacity] = {};
    int flagsA[kCapacity] = {}, flagsB[kCapacity] = {};
    rc = CANGetPowerStatus(device.Handle(), kCapacity, &valueCount, kCapacity, &countA, kCapacity,
                           &countB, &word1, &word2, &word3, &flag, values, flagsA, flagsB);
    if (rc != 0) return Fail("power status", rc);
    std::printf("input voltage      %u mV\n", word1);
    std::printf("input current      %u mA\n", word2);
    std::printf("temperature        %u.%u C\n", word3 / 10, word3 % 10);
    std::printf("relay              %s\n", (flag & 1) != 0 ? "closed" : "open");
    const unsigned supplies = std::max<unsigned>(valueCount, std::max(countA, countB));
    for (unsigned i = 0; i < supplies && i < kCapacity; ++i) {
        std::printf("supply %u           %u mV, %s%s\n", i, i < valueCount ? values[i] : 0u,
                    i < countA && flagsA[i] != 0 ? "active" : "inactive",
                    i < countB && flagsB[i] != 0 ? ", overloaded" : "");
    }
    return kExitOk;
}

int RunRestart(const Options& options) {
    if (!options.oArgs.empty()) return UsageError("restart takes no arguments");
    // The restart request goes to the gateway's first endpoint whatever --port says.
    const int rc = CANRestart(options.sHost.c_str(), options.nTimeoutMs);
    if (rc != 0) return Fail("restart", rc);
    std::printf("%s is restarting\n", options.sHost.c_str());
    return kExitOk;
}

}  // namespace tool
