// kvtsim ow: the probes on the simulated 1-Wire buses and their adapters,
// through <root>/sim/onewire, which the emulated DS2480B adapters of a
// running simulator read at every 1-Wire reset.
#pragma once

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim_onewire_state.h"

namespace kvtsim_ow_detail {

constexpr const char* USAGE =
    "usage: kvtsim [-r DIR] ow COMMAND ...   (BUS is 0 or 1; ID is the 16-digit\n"
    "       identifier the service lists, CRC byte first, family code last)\n"
    "  ow add BUS temp|temp18s20|humid [ID] [VALUE]\n"
    "                            plug in a DS18B20, DS18S20 or DS2450 humidity\n"
    "                            probe (a new ID when none is given; VALUE in\n"
    "                            degrees or percent, default 25 or 50); prints ID\n"
    "  ow remove BUS ID          unplug a probe\n"
    "  ow list [BUS]             BUS ID KIND VALUE and flags of every probe\n"
    "  ow set BUS ID VALUE       the probe's temperature or humidity\n"
    "  ow mute BUS ID on|off     the probe drops off the bus (or comes back, powered up afresh)\n"
    "  ow corrupt BUS ID [N]     the probe's next N replies (1) carry a flipped bit\n"
    "  ow unplug BUS, ow plug BUS   take the adapter off its port or put it back\n"
    "  ow timing BUS real|fast   bytes at the adapter's baud rate, or at once\n"
    "  ow stats BUS              bytes in and out, 1-Wire resets\n";

inline int usage(const char* why)
{
    std::fprintf(stderr, "kvtsim: %s\n%s", why, USAGE);
    return 2;
}

inline bool parse_bus(const char* s, int& bus)
{
    if (!s || (std::strcmp(s, "0") != 0 && std::strcmp(s, "1") != 0)) return false;
    bus = s[0] - '0';
    return true;
}

// A reading in degrees or percent as hundredths.
inline bool parse_value(const char* s, int32_t& out)
{
    if (!s || !*s) return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(s, &end);
    if (*end != '\0' || errno || !std::isfinite(v) || v < -200 || v > 1000) return false;
    out = static_cast<int32_t>(std::lround(v * 100));
    return true;
}

inline std::string value_text(simow::Kind k, int32_t v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%d.%02d%s", v < 0 ? "-" : "", std::abs(v) / 100, std::abs(v) % 100,
                  k == simow::DS2450 ? "%" : "C");
    return buf;
}

// The slot of the probe named by bus and ID; after a message, -2 when ID is
// not an identifier (a wrong command line), -1 when no such probe is there.
inline int probe_of(simow::State* st, int bus, const char* id)
{
    uint8_t rom[8];
    if (!id || !simow::parse_rom_text(id, rom)) {
        std::fprintf(stderr, "kvtsim: %s is not a 16-digit identifier\n%s", id ? id : "(none)", USAGE);
        return -2;
    }
    const int slot = simow::find_probe(st, bus, rom);
    if (slot < 0) std::fprintf(stderr, "kvtsim: no probe %s on bus %d\n", id, bus);
    return slot;
}

}  // namespace kvtsim_ow_detail

// argv[0] is "ow". Exit codes as kvtsim: 0 done, 1 state unusable or no such
// probe, 2 usage.
inline int kvtsim_ow(const std::string& root, int argc, const char* const* argv)
{
    using namespace kvtsim_ow_detail;
    if (argc < 2) return usage("ow needs a command");
    const std::string cmd = argv[1];
    if (cmd == "help" || cmd == "--help") {
        std::fputs(USAGE, stdout);
        return 0;
    }
    const char* a2 = argc > 2 ? argv[2] : nullptr;
    const char* a3 = argc > 3 ? argv[3] : nullptr;
    const char* a4 = argc > 4 ? argv[4] : nullptr;
    simow::Mapping m;
    std::string err;
    if (!simow::state_map(root, m, err)) {
        std::fprintf(stderr, "kvtsim: %s\n", err.c_str());
        return 1;
    }
    struct Unmap {
        simow::Mapping& m;
        ~Unmap() { simow::state_unmap(m); }
    } unmap{m};
    simow::State* st = m.st;
    int bus = 0;

    if (cmd == "list") {
        if (argc > 3 || (a2 && !parse_bus(a2, bus))) return usage("ow list [BUS]");
        for (int b = 0; b < simow::BUSES; ++b) {
            if (a2 && b != bus) continue;
            for (const auto& p : st->bus[b].probes) {
                if (p.kind == simow::NONE) continue;
                uint8_t rom[8];
                for (int i = 0; i < 8; ++i) rom[i] = p.rom[i];
                const auto k = static_cast<simow::Kind>(p.kind);
                std::printf("%d %s %s %s%s%s reads=%u\n", b, simow::rom_text(rom).c_str(), simow::kind_name(k),
                            value_text(k, p.value).c_str(), p.mute ? " muted" : "",
                            p.corrupt ? " corrupt" : "", static_cast<unsigned>(p.reads));
            }
        }
        return 0;
    }
    if (!parse_bus(a2, bus)) return usage("BUS must be 0 or 1");
    volatile simow::Bus& b = st->bus[bus];

    if (cmd == "add") {
        if (argc < 4 || argc > 6) return usage("ow add BUS temp|temp18s20|humid [ID] [VALUE]");
        simow::Kind k = !std::strcmp(a3, "temp")        ? simow::DS18B20
                        : !std::strcmp(a3, "temp18s20") ? simow::DS18S20
                        : !std::strcmp(a3, "humid")     ? simow::DS2450
                                                        : simow::NONE;
        if (k == simow::NONE) return usage("kind must be temp, temp18s20 or humid");
        uint8_t rom[8];
        const char* value_arg = nullptr;
        if (a4 && simow::parse_rom_text(a4, rom)) {
            if (simow::crc8(rom, 8) != 0) return usage((std::string(a4) + " has a wrong CRC byte").c_str());
            value_arg = argc > 5 ? argv[5] : nullptr;
        } else {
            if (argc > 5) return usage("ow add BUS KIND [ID] [VALUE]");
            do {
                st->next_serial = st->next_serial + 1;
                const uint32_t n = st->next_serial;
                simow::make_rom(k, 0x4B5400000000ULL | (static_cast<uint64_t>(bus) << 24) | n, rom);
            } while (simow::find_probe(st, bus, rom) >= 0);
            value_arg = a4;
        }
        int32_t value = k == simow::DS2450 ? 5000 : 2500;
        if (value_arg && !parse_value(value_arg, value)) return usage("VALUE must be a number (degrees or percent)");
        if (simow::add_probe(st, bus, k, rom, value) < 0) {
            std::fprintf(stderr, "kvtsim: bus %d is full or already has %s\n", bus, simow::rom_text(rom).c_str());
            return 1;
        }
        std::printf("%s\n", simow::rom_text(rom).c_str());
        return 0;
    }
    if (cmd == "unplug" || cmd == "plug") {
        if (argc != 3) return usage(("ow " + cmd + " BUS").c_str());
        b.unplugged = cmd == "unplug" ? 1 : 0;
        return 0;
    }
    if (cmd == "timing") {
        if (argc != 4 || (std::strcmp(a3, "real") != 0 && std::strcmp(a3, "fast") != 0))
            return usage("ow timing BUS real|fast");
        b.real_timing = !std::strcmp(a3, "real") ? 1 : 0;
        return 0;
    }
    if (cmd == "stats") {
        if (argc != 3) return usage("ow stats BUS");
        std::printf("bytes_in=%u bytes_out=%u resets=%u%s%s\n", static_cast<unsigned>(b.bytes_in),
                    static_cast<unsigned>(b.bytes_out), static_cast<unsigned>(b.resets),
                    b.unplugged ? " unplugged" : "", b.real_timing ? " real-timing" : "");
        return 0;
    }

    const bool known = cmd == "remove" || cmd == "set" || cmd == "mute" || cmd == "corrupt";
    if (!known) return usage(("unknown ow command: " + cmd).c_str());
    const int slot = probe_of(st, bus, a3);
    if (slot < 0) return slot == -2 ? 2 : 1;
    volatile simow::Probe& p = b.probes[slot];
    if (cmd == "remove") {
        if (argc != 4) return usage("ow remove BUS ID");
        simow::remove_probe(st, bus, slot);
        return 0;
    }
    if (cmd == "set") {
        int32_t v;
        if (argc != 5 || !parse_value(a4, v)) return usage("ow set BUS ID VALUE");
        p.value = v;
        return 0;
    }
    if (cmd == "mute") {
        if (argc != 5 || (std::strcmp(a4, "on") != 0 && std::strcmp(a4, "off") != 0))
            return usage("ow mute BUS ID on|off");
        p.mute = !std::strcmp(a4, "on") ? 1 : 0;
        return 0;
    }
    long n = 1;
    if (argc > 5) return usage("ow corrupt BUS ID [N]");
    if (a4) {
        char* end = nullptr;
        n = std::strtol(a4, &end, 10);
        if (*end != '\0' || n < 1 || n > 1000) return usage("N must be 1-1000");
    }
    p.corrupt = p.corrupt + static_cast<uint32_t>(n);
    return 0;
}
