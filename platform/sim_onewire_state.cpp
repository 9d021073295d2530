#include "sim_onewire_state.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace simow {

std::string state_path(const std::string& root) { return root + "/sim/onewire"; }

bool state_map(const std::string& root, Mapping& m, std::string& err)
{
    const std::string path = state_path(root);
    mkdir((root + "/sim").c_str(), 0777);
    m.fd = open(path.c_str(), O_RDWR | O_CREAT, 0666);
    if (m.fd < 0) {
        err = "open " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat sb;
    if (fstat(m.fd, &sb) != 0) {
        err = "stat " + path + ": " + std::strerror(errno);
        close(m.fd);
        m.fd = -1;
        return false;
    }
    if (sb.st_size == 0 && ftruncate(m.fd, sizeof(State)) != 0) {
        err = "ftruncate " + path + ": " + std::strerror(errno);
        close(m.fd);
        m.fd = -1;
        return false;
    }
    if (sb.st_size != 0 && static_cast<size_t>(sb.st_size) != sizeof(State)) {
        err = path + " is not a 1-Wire state file (wrong size)";
        close(m.fd);
        m.fd = -1;
        return false;
    }
    void* p = mmap(nullptr, sizeof(State), PROT_READ | PROT_WRITE, MAP_SHARED, m.fd, 0);
    if (p == MAP_FAILED) {
        err = "mmap " + path + ": " + std::strerror(errno);
        close(m.fd);
        m.fd = -1;
        return false;
    }
    m.st = static_cast<State*>(p);
    if (m.st->magic[0] == 0) {
        m.st->version = VERSION;
        std::memcpy(m.st->magic, "KVTOWIRE", 8);
    }
    if (std::memcmp(m.st->magic, "KVTOWIRE", 8) != 0 || m.st->version != VERSION) {
        err = path + " is not a 1-Wire state file (bad header)";
        state_unmap(m);
        return false;
    }
    return true;
}

void state_unmap(Mapping& m)
{
    if (m.st) munmap(m.st, sizeof(State));
    if (m.fd >= 0) close(m.fd);
    m = Mapping{};
}

uint8_t family_of(Kind k)
{
    switch (k) {
    case DS18B20: return 0x28;
    case DS18S20: return 0x10;
    case DS2450: return 0x20;
    default: return 0x00;
    }
}

Branch branch_of(Kind k) { return k == DS2450 ? HUMID_BRANCH : TEMP_BRANCH; }

const char* kind_name(Kind k)
{
    switch (k) {
    case DS18B20: return "temp";
    case DS18S20: return "temp18s20";
    case DS2450: return "humid";
    default: return "none";
    }
}

uint8_t crc8(const uint8_t* p, size_t n)
{
    uint8_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b) crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C) : static_cast<uint8_t>(crc >> 1);
    }
    return crc;
}

void make_rom(Kind k, uint64_t serial, uint8_t rom[8])
{
    rom[0] = family_of(k);
    for (int i = 1; i <= 6; ++i) rom[i] = static_cast<uint8_t>(serial >> (8 * (i - 1)));
    rom[7] = crc8(rom, 7);
}

std::string rom_text(const uint8_t rom[8])
{
    static const char* HEX = "0123456789abcdef";
    std::string s;
    for (int i = 7; i >= 0; --i) {
        s += HEX[rom[i] >> 4];
        s += HEX[rom[i] & 0x0F];
    }
    return s;
}

bool parse_rom_text(const std::string& text, uint8_t rom[8])
{
    if (text.size() != 16) return false;
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (int k = 0; k < 8; ++k) {
        int hi = digit(text[2 * k]), lo = digit(text[2 * k + 1]);
        if (hi < 0 || lo < 0) return false;
        rom[7 - k] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

int find_probe(const State* st, int bus, const uint8_t rom[8])
{
    if (bus < 0 || bus >= BUSES) return -1;
    for (int i = 0; i < PROBES; ++i) {
        const Probe& p = st->bus[bus].probes[i];
        if (p.kind != NONE && std::memcmp(p.rom, rom, 8) == 0) return i;
    }
    return -1;
}

int add_probe(State* st, int bus, Kind k, const uint8_t rom[8], int32_t value)
{
    if (bus < 0 || bus >= BUSES || k == NONE || find_probe(st, bus, rom) >= 0) return -1;
    for (int i = 0; i < PROBES; ++i) {
        Probe& p = st->bus[bus].probes[i];
        if (p.kind != NONE) continue;
        p.branch = branch_of(k);
        std::memcpy(p.rom, rom, 8);
        p.mute = 0;
        p.value = value;
        p.corrupt = 0;
        p.reads = 0;
        p.generation = p.generation + 1;
        std::atomic_thread_fence(std::memory_order_release);
        p.kind = k;
        return i;
    }
    return -1;
}

void remove_probe(State* st, int bus, int slot)
{
    if (bus < 0 || bus >= BUSES || slot < 0 || slot >= PROBES) return;
    st->bus[bus].probes[slot].kind = NONE;
}

}  // namespace simow
