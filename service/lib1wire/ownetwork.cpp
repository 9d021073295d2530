// Network layer: the ROM search through the adapter's search accelerator,
// and device selection by ROM code.
#include <cstring>

#include "owport.h"

namespace {

constexpr uint8_t SEARCH_ROM = 0xF0;
constexpr uint8_t ALARM_SEARCH = 0xEC;
constexpr uint8_t MATCH_ROM = 0x55;
constexpr uint8_t OVERDRIVE_MATCH = 0x69;
constexpr uint8_t DATA_MODE = 0xE1;
constexpr uint8_t COMMAND_MODE = 0xE3;
constexpr uint8_t ACCEL_ON = 0xB1;
constexpr uint8_t ACCEL_OFF = 0xA1;

void clear_search(OwPort& p)
{
    p.LastDiscrepancy = 0;
    p.LastFamilyDiscrepancy = 0;
    p.LastDevice = 0;
}

bool bit_of(const uint8_t* bytes, int i) { return (bytes[i / 8] >> (i % 8)) & 1; }
void set_bit(uint8_t* bytes, int i) { bytes[i / 8] = static_cast<uint8_t>(bytes[i / 8] | (1u << (i % 8))); }

// Appends a data-mode byte, doubling 0xE3 so the adapter does not take it as
// the switch to command mode.
int put_data(uint8_t* out, int n, uint8_t b)
{
    out[n++] = b;
    if (b == COMMAND_MODE) out[n++] = COMMAND_MODE;
    return n;
}

}  // namespace

int owNext(int port, int do_reset, int alarm_only)
{
    if (!ow_port_open(port)) return 0;
    OwPort& p = ow_port(port);
    if (p.LastDevice) {
        clear_search(p);
        return 0;
    }
    if (do_reset && !owTouchReset(port)) {
        owRaiseError(OWERR::NO_DEVICES);
        return 0;
    }

    // Two bits per ROM bit: the even one is the adapter's discrepancy flag
    // in the reply, the odd one the direction to take at a discrepancy (the
    // last ROM's bit below the last discrepancy, 1 at it, 0 beyond).
    uint8_t pattern[16] = {};
    for (int i = 0; i < 64; ++i) {
        if (i < p.LastDiscrepancy - 1) {
            if (bit_of(p.SerialNum, i)) set_bit(pattern, 2 * i + 1);
        } else if (i == p.LastDiscrepancy - 1) {
            set_bit(pattern, 2 * i + 1);
        }
    }
    uint8_t out[48];
    int n = 0;
    if (p.UMode != MODSEL_DATA) out[n++] = DATA_MODE;
    n = put_data(out, n, alarm_only ? ALARM_SEARCH : SEARCH_ROM);
    out[n++] = COMMAND_MODE;
    out[n++] = static_cast<uint8_t>(ACCEL_ON | p.USpeed);
    out[n++] = DATA_MODE;
    for (uint8_t b : pattern) n = put_data(out, n, b);
    out[n++] = COMMAND_MODE;
    out[n++] = static_cast<uint8_t>(ACCEL_OFF | p.USpeed);
    p.UMode = MODSEL_COMMAND;

    if (!WriteCOM(port, n, out)) return ow_fail_redetect(port, OWERR::WRITE_FAILED);
    uint8_t in[17];
    if (ReadCOM(port, 17, in) != 17) return ow_fail_redetect(port, OWERR::READ_FAILED);

    const uint8_t* reply = in + 1;  // after the echo of the search command
    uint8_t rom[8] = {};
    int last_zero = 0;
    int family_zero = p.LastFamilyDiscrepancy;
    for (int i = 0; i < 64; ++i) {
        const bool chosen = bit_of(reply, 2 * i + 1);
        if (chosen) set_bit(rom, i);
        if (bit_of(reply, 2 * i) && !chosen) {
            last_zero = i + 1;
            if (i < 8) family_zero = i + 1;
        }
    }
    if (ow_crc8(rom, 8) == 0 && last_zero != 63 && rom[0] != 0) {
        p.LastDiscrepancy = last_zero;
        p.LastFamilyDiscrepancy = family_zero;
        p.LastDevice = last_zero == 0 ? 1 : 0;
        std::memcpy(p.SerialNum, rom, 8);
        return 1;
    }
    clear_search(p);
    owRaiseError(OWERR::SEARCH_ERROR);
    return 0;
}

int owFirst(int port, int do_reset, int alarm_only)
{
    if (!ow_port_open(port)) return 0;
    clear_search(ow_port(port));
    return owNext(port, do_reset, alarm_only);
}

void owSerialNum(int port, uint8_t* buf, int do_read)
{
    if (!ow_port_valid(port)) return;
    OwPort& p = ow_port(port);
    if (do_read) std::memcpy(buf, p.SerialNum, 8);
    else std::memcpy(p.SerialNum, buf, 8);
}

int ow_select_block(int port, uint8_t* buf, int len)
{
    if (!ow_port_open(port)) return 0;
    if (len < 0 || 9 + len > OW_BLOCK_MAX) {
        owRaiseError(OWERR::BLOCK_TOO_LARGE);
        return 0;
    }
    OwPort& p = ow_port(port);
    uint8_t block[OW_BLOCK_MAX];
    block[0] = MATCH_ROM;
    std::memcpy(block + 1, p.SerialNum, 8);
    if (len > 0) std::memcpy(block + 9, buf, static_cast<size_t>(len));
    if (!owBlock(port, 1, block, 9 + len)) return 0;
    if (block[0] != MATCH_ROM || std::memcmp(block + 1, p.SerialNum, 8) != 0) {
        owRaiseError(OWERR::VERIFY_FAILED);
        return 0;
    }
    if (len > 0) std::memcpy(buf, block + 9, static_cast<size_t>(len));
    return 1;
}

int owAccess(int port) { return ow_select_block(port, nullptr, 0); }

int owOverdriveAccess(int port)
{
    if (!ow_port_open(port)) return 0;
    if (owSpeed(port, SPEEDSEL_FLEX) != SPEEDSEL_FLEX || !owTouchReset(port)) {
        owRaiseError(OWERR::NO_DEVICES);
        return 0;
    }
    if (owTouchByte(port, OVERDRIVE_MATCH) != OVERDRIVE_MATCH) {
        owRaiseError(OWERR::VERIFY_FAILED);
        return 0;
    }
    if (owSpeed(port, SPEEDSEL_OD) != SPEEDSEL_OD) return 0;
    OwPort& p = ow_port(port);
    uint8_t buf[8];
    std::memcpy(buf, p.SerialNum, 8);
    if (owBlock(port, 0, buf, 8) && std::memcmp(buf, p.SerialNum, 8) == 0) return 1;
    owSpeed(port, SPEEDSEL_FLEX);
    owRaiseError(OWERR::VERIFY_FAILED);
    return 0;
}
