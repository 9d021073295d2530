// The two 1-Wire CRCs. CRC-8 (x^8 + x^5 + x^4 + 1) guards ROM codes and
// scratchpads: a correct block including its CRC byte ends at 0. CRC-16
// (x^16 + x^15 + x^2 + 1) guards DS2450 transfers, which carry the CRC
// inverted: a correct transfer including both CRC bytes ends at 0xB001.
// Both shift least significant bit first.
#include <array>

#include "owport.h"

namespace {

constexpr std::array<uint8_t, 256> make_crc8_table()
{
    std::array<uint8_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
        uint8_t c = static_cast<uint8_t>(i);
        for (int b = 0; b < 8; ++b) c = (c & 1) ? static_cast<uint8_t>((c >> 1) ^ 0x8C) : static_cast<uint8_t>(c >> 1);
        t[i] = c;
    }
    return t;
}
constexpr std::array<uint8_t, 256> CRC8_TABLE = make_crc8_table();

uint8_t crc8_step(uint8_t crc, uint8_t x) { return CRC8_TABLE[crc ^ x]; }

uint16_t crc16_step(uint16_t crc, uint8_t x)
{
    crc ^= x;
    for (int b = 0; b < 8; ++b) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    return crc;
}

}  // namespace

void setcrc8(int port, uint8_t reset)
{
    if (ow_port_valid(port)) ow_port(port).crc8 = reset;
}

uint8_t docrc8(int port, uint8_t x)
{
    if (!ow_port_valid(port)) return 0;
    OwPort& p = ow_port(port);
    p.crc8 = crc8_step(p.crc8, x);
    return p.crc8;
}

void setcrc16(int port, uint16_t reset)
{
    if (ow_port_valid(port)) ow_port(port).crc16 = reset;
}

uint16_t docrc16(int port, uint16_t cdata)
{
    if (!ow_port_valid(port)) return 0;
    OwPort& p = ow_port(port);
    p.crc16 = crc16_step(p.crc16, static_cast<uint8_t>(cdata));
    return p.crc16;
}

uint8_t ow_crc8(const uint8_t* p, int n, uint8_t seed)
{
    for (int i = 0; i < n; ++i) seed = crc8_step(seed, p[i]);
    return seed;
}

uint16_t ow_crc16(const uint8_t* p, int n, uint16_t seed)
{
    for (int i = 0; i < n; ++i) seed = crc16_step(seed, p[i]);
    return seed;
}
