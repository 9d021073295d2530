// Device routines: temperature conversion and read-out of DS18S20/DS18B20
// thermometers, and conversion, read-out and control-page set-up of the
// DS2450 quad A/D converter that carries a humidity probe.
#include <cstdio>
#include <cstring>

#include "owport.h"

namespace {

constexpr uint8_t SKIP_ROM = 0xCC;
constexpr uint8_t CONVERT_T = 0x44;
constexpr uint8_t READ_SCRATCHPAD = 0xBE;
constexpr uint8_t ATOD_CONVERT = 0x3C;
constexpr uint8_t ATOD_READ_MEMORY = 0xAA;
constexpr uint8_t ATOD_WRITE_MEMORY = 0x55;
constexpr uint8_t ATOD_ALL_INPUTS = 0x0F;
constexpr uint16_t CRC16_GOOD = 0xB001;  // a transfer with its inverted CRC appended
constexpr int CONTROL_PAGE = 0x08;

// Selects rom and runs the len bytes of buf after it: in one transfer at
// normal speed, or after an overdrive selection when asked for and possible.
bool select_and_run(int port, int try_overdrive, const uint8_t* rom, uint8_t* buf, int len)
{
    owSerialNum(port, const_cast<uint8_t*>(rom), 0);
    if (try_overdrive && owOverdriveAccess(port)) return owBlock(port, 0, buf, len) == 1;
    if (ow_port_open(port) && ow_port(port).USpeed == SPEEDSEL_OD) owSpeed(port, SPEEDSEL_FLEX);
    return ow_select_block(port, buf, len) == 1;
}

bool crc16_good(const uint8_t* p, int n, uint16_t seed = 0) { return ow_crc16(p, n, seed) == CRC16_GOOD; }

// Reads the 8 bytes of the page at `address` with their CRC.
bool read_page(int port, int try_overdrive, const uint8_t* rom, int address, uint8_t* page)
{
    uint8_t buf[13];
    buf[0] = ATOD_READ_MEMORY;
    buf[1] = static_cast<uint8_t>(address & 0xFF);
    buf[2] = static_cast<uint8_t>(address >> 8);
    std::memset(buf + 3, 0xFF, 10);
    if (!select_and_run(port, try_overdrive, rom, buf, 13)) return false;
    if (!crc16_good(buf, 13)) {
        owRaiseError(OWERR::CRC_FAILED);
        return false;
    }
    std::memcpy(page, buf + 3, 8);
    return true;
}

// One pass of a control-page write: every byte with its CRC and read-back.
bool write_pass(int port, int try_overdrive, const uint8_t* rom, const uint8_t* ctrl, int start, int end)
{
    for (int a = start; a <= end; ++a) {
        const uint8_t data = ctrl[a - CONTROL_PAGE];
        uint8_t buf[7];
        int n = 0;
        uint16_t seed = 0;
        if (a == start) {
            buf[n++] = ATOD_WRITE_MEMORY;
            buf[n++] = static_cast<uint8_t>(a & 0xFF);
            buf[n++] = static_cast<uint8_t>(a >> 8);
        } else {
            seed = static_cast<uint16_t>(a);  // later bytes: the CRC starts from the address
        }
        const int data_at = n;
        buf[n++] = data;
        buf[n++] = 0xFF;
        buf[n++] = 0xFF;
        buf[n++] = 0xFF;
        const bool sent = a == start ? select_and_run(port, try_overdrive, rom, buf, n) : owBlock(port, 0, buf, n) == 1;
        if (!sent) return false;
        if (!crc16_good(buf, n - 1, seed)) {
            owRaiseError(OWERR::CRC_FAILED);
            return false;
        }
        if (buf[n - 1] != data || buf[data_at] != data) {
            owRaiseError(OWERR::VERIFY_FAILED);
            return false;
        }
    }
    return true;
}

}  // namespace

int ow_scratchpad_temperature(const uint8_t* sp, float* temp)
{
    if (sp[4] > 127) {
        // DS18S20: half degrees in b0 with the sign in b1, refined by the
        // count remaining against the counts per degree.
        const int count_remain = sp[6];
        const int count_per_c = sp[7];
        if (count_per_c == 0) return 0;
        int t = sp[0] >> 1;
        if (sp[1] & 0x01) t -= 128;
        *temp = static_cast<float>(t) - 0.25f +
                static_cast<float>(count_per_c - count_remain) / static_cast<float>(count_per_c);
        return 1;
    }
    // DS18B20: a signed count of 1/16 degree, of which a lower resolution
    // (configuration bits 5-6) leaves the lowest bits undefined.
    const int undefined_bits = 3 - ((sp[4] >> 5) & 0x03);
    int16_t raw = static_cast<int16_t>(sp[0] | (sp[1] << 8));
    raw = static_cast<int16_t>(raw & ~((1 << undefined_bits) - 1));
    *temp = static_cast<float>(raw) / 16.0f;
    return 1;
}

void ow_atod_volts(const uint8_t* page, const uint8_t* ctrl, float* volts)
{
    for (int k = 0; k < 4; ++k) {
        const int word = page[2 * k] | (page[2 * k + 1] << 8);
        const float range = (ctrl[2 * k + 1] & 0x01) ? 5.12f : 2.56f;
        volts[k] = static_cast<float>(word) / 65535.0f * range;
    }
}

int TemperatureConvertStart(int port)
{
    if (!owTouchReset(port)) return 0;
    uint8_t buf[2] = {SKIP_ROM, CONVERT_T};
    if (!owBlock(port, 0, buf, 2)) return 0;
    msDelay(5);
    return 1;
}

int TemperatureConvertRead(int port, const uint8_t* rom, float* temp)
{
    // Each attempt selects anew; the selection itself is tried twice.
    for (int attempt = 0; attempt < 2; ++attempt) {
        uint8_t buf[10];
        auto read = [&] {
            buf[0] = READ_SCRATCHPAD;
            std::memset(buf + 1, 0xFF, 9);
            return select_and_run(port, 0, rom, buf, 10);
        };
        if (!read() && !read()) return 0;
        if (ow_crc8(buf + 1, 9) != 0) {
            owRaiseError(OWERR::CRC_FAILED);
            continue;
        }
        return ow_scratchpad_temperature(buf + 1, temp);
    }
    return 0;
}

int SetupAtoDControl(int port, const uint8_t* rom, uint8_t* ctrl, char* msg)
{
    (void)port;
    (void)rom;
    std::memset(ctrl, 0, 16);
    if (msg) std::snprintf(msg, 64, "A/D control: 16 bits, 2.56 V, no alarms");
    return 1;
}

int WriteAtoD(int port, int try_overdrive, const uint8_t* rom, const uint8_t* ctrl, int start_address,
              int end_address)
{
    if (start_address < CONTROL_PAGE || end_address < start_address || end_address > CONTROL_PAGE + 15) return 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!write_pass(port, try_overdrive, rom, ctrl, start_address, end_address)) continue;
        uint8_t page[8];
        if (!ReadDS2450Results(port, try_overdrive, rom, page)) continue;
        if (std::memcmp(page, ctrl, 8) == 0) return 1;
        owRaiseError(OWERR::VERIFY_FAILED);
    }
    return 0;
}

int DoAtoDConversion(int port, int try_overdrive, const uint8_t* rom)
{
    uint8_t buf[5] = {ATOD_CONVERT, ATOD_ALL_INPUTS, 0x00, 0xFF, 0xFF};
    if (!select_and_run(port, try_overdrive, rom, buf, 5)) return 0;
    if (!crc16_good(buf, 5)) {
        owRaiseError(OWERR::CRC_FAILED);
        return 0;
    }
    // The converter runs on the strong pull-up; it reads 1s once done.
    owWriteBytePower(port, 0x04);
    msDelay(6);
    if (owLevel(port, MODE_NORMAL) != MODE_NORMAL) {
        owRaiseError(OWERR::LEVEL_FAILED);
        return 0;
    }
    return owReadByte(port) == 0xFF ? 1 : 0;
}

int ReadAtoDResults(int port, int try_overdrive, const uint8_t* rom, float* volts, const uint8_t* ctrl)
{
    uint8_t page[8];
    if (!read_page(port, try_overdrive, rom, 0x0000, page)) return 0;
    ow_atod_volts(page, ctrl, volts);
    return 1;
}

int ReadDS2450Results(int port, int try_overdrive, const uint8_t* rom, uint8_t* page)
{
    return read_page(port, try_overdrive, rom, CONTROL_PAGE, page) ? 1 : 0;
}
