// DS2480B adapter and 1-Wire link primitives. The adapter has a command mode
// (reset, single bits, search accelerator, pulses, configuration) and a data
// mode (every byte is one 1-Wire byte, 0xE3 switches back, so a data byte
// 0xE3 goes out twice).
#include <cstring>

#include "owport.h"

namespace {

constexpr uint8_t DATA_MODE = 0xE1;
constexpr uint8_t COMMAND_MODE = 0xE3;
constexpr uint8_t CMD_RESET = 0xC1;
constexpr uint8_t CMD_BIT = 0x81;
constexpr uint8_t CMD_BAUD = 0x71;
constexpr uint8_t READ_BAUD = 0x0F;
constexpr uint8_t STOP_PULSE = 0xF1;
constexpr uint8_t PULSE_5V = 0xED;
constexpr uint8_t PULSE_12V = 0xFD;
constexpr uint8_t ARM_5V = 0x3F;   // strong pull-up duration: unlimited
constexpr uint8_t ARM_12V = 0x2F;  // program pulse duration: unlimited
constexpr uint8_t SPEED_NORMAL = 0xA5;
constexpr uint8_t SPEED_OVERDRIVE = 0xA9;
constexpr int VERSION_NO_OVERDRIVE = 28;

// Appends what puts the adapter into command mode, when it is not there.
int to_command(OwPort& p, uint8_t* buf, int n)
{
    if (p.UMode != MODSEL_COMMAND) {
        buf[n++] = COMMAND_MODE;
        p.UMode = MODSEL_COMMAND;
    }
    return n;
}

int to_data(OwPort& p, uint8_t* buf, int n)
{
    if (p.UMode != MODSEL_DATA) {
        buf[n++] = DATA_MODE;
        p.UMode = MODSEL_DATA;
    }
    return n;
}

// Sends n bytes and reads `want` replies; false on any shortfall, with the
// failing side raised and the adapter re-detected.
bool exchange(int port, const uint8_t* out, int n, uint8_t* in, int want)
{
    if (!WriteCOM(port, n, out)) {
        ow_fail_redetect(port, OWERR::WRITE_FAILED);
        return false;
    }
    if (want > 0 && ReadCOM(port, want, in) != want) {
        ow_fail_redetect(port, OWERR::READ_FAILED);
        return false;
    }
    return true;
}

}  // namespace

int DS2480Detect(int port)
{
    if (!ow_port_open(port)) return 0;
    OwPort& p = ow_port(port);
    p.Detected = 0;
    p.USpeed = SPEEDSEL_FLEX;
    p.UMode = MODSEL_COMMAND;
    p.ULevel = MODE_NORMAL;
    p.Uw1lt = 14;
    p.Uw0rt = 14;
    p.Updsrc = 6;

    // A zero byte at half the rate is a low pulse long enough to reset the
    // adapter, as a break would.
    SetBaudCOM(port, BAUD_4800);
    FlushCOM(port);
    const uint8_t zero = 0x00;
    if (!WriteCOM(port, 1, &zero)) {
        ow_syslog("WriteCOM break caution.");
        owRaiseError(OWERR::WRITE_FAILED);
        return 0;
    }

    p.UBaud = PARMSET_9600;
    SetBaudCOM(port, PARMSET_9600);
    FlushCOM(port);
    const uint8_t timing = CMD_RESET;
    if (!WriteCOM(port, 1, &timing)) {
        ow_syslog("WriteCOM caution.");
        owRaiseError(OWERR::WRITE_FAILED);
        return 0;
    }
    msDelay(4);

    // Slew rate, write-1 low time, sample offset; then read back the baud
    // rate and one bit, whose replies prove the adapter answers at 9600.
    const uint8_t setup[5] = {0x17, 0x4F, 0x5F, READ_BAUD, 0x91};
    FlushCOM(port);
    if (!WriteCOM(port, 5, setup)) {
        ow_syslog("COM Write caution(%d)\n", 5);
        owRaiseError(OWERR::WRITE_FAILED);
        return 0;
    }
    uint8_t r[5] = {};
    int got = ReadCOM(port, 5, r);
    if (got != 5) {
        ow_syslog("COM Read caution(%d)\n%x,%x,%x,%x,%x", got, setup[0], setup[1], setup[2], setup[3], setup[4]);
        owRaiseError(OWERR::READ_FAILED);
        return 0;
    }
    const bool baud_ok = (r[3] & 0xF1) == 0 && (r[3] & 0x0E) == p.UBaud;
    const bool bit_ok = (r[4] & 0xF0) == 0x90 && (r[4] & 0x0C) == p.UBaud;
    if (baud_ok && bit_ok) {
        p.Detected = 1;
        return 1;
    }
    ow_syslog("DS2480 Response caution(%02x - %02x,%02x)\n", p.UBaud, r[3], r[4]);
    owRaiseError(OWERR::BAD_RESPONSE);
    return 0;
}

int owDetected(int port) { return port >= 0 && port < MAX_PORTNUM && ow_port(port).open && ow_port(port).Detected; }

int DS2480ChangeBaud(int port, int code)
{
    if (!ow_port_open(port)) return 0;
    OwPort& p = ow_port(port);
    if (p.UBaud == code) return 1;
    uint8_t buf[2];
    int n = to_command(p, buf, 0);
    buf[n++] = static_cast<uint8_t>(CMD_BAUD | code);
    if (!WriteCOM(port, n, buf)) return ow_fail_redetect(port, OWERR::WRITE_FAILED);
    // The adapter answers this command at the new rate, while the host still
    // listens at the old one: that reply is lost and not waited for.
    msDelay(5);
    SetBaudCOM(port, code);
    p.UBaud = code;
    msDelay(5);
    const uint8_t q = READ_BAUD;
    uint8_t r = 0;
    if (!exchange(port, &q, 1, &r, 1)) return 0;
    if ((r & 0xF1) != 0 || (r & 0x0E) != code) return ow_fail_redetect(port, OWERR::WRONG_BAUD);
    return 1;
}

int owAcquireEx(const char* path)
{
    int port = OpenCOMEx(path);
    if (port < 0) {
        owRaiseError(OWERR::OPEN_FAILED);
        ow_syslog("OpenCOMEx caution %s.", path);
        return -1;
    }
    if (!DS2480Detect(port)) {
        CloseCOM(port);
        owRaiseError(OWERR::NO_ADAPTER);
        ow_syslog("DS2480Detect caution %s.", path);
        return -1;
    }
    return port;
}

void owRelease(int port) { CloseCOM(port); }

namespace {

// Takes in a reset reply: true with devices present (presence or alarming
// presence); false with RESET_FAILED raised for a shorted or empty line, and
// after re-detection for a reply that is no reset reply at all.
bool reset_reply(int port, uint8_t r)
{
    OwPort& p = ow_port(port);
    if ((r & 0xC0) != 0xC0) {
        ow_fail_redetect(port, OWERR::RESET_FAILED);
        return false;
    }
    const int presence = r & 0x03;
    if (presence == 1 || presence == 2) {
        p.ProgramAvailable = (r >> 5) & 1;
        p.UVersion = r & 0x1C;
        return true;
    }
    owRaiseError(OWERR::RESET_FAILED);
    return false;
}

// Appends the reset command, in command mode, after returning the line to
// normal level.
int put_reset(int port, uint8_t* buf, int n)
{
    OwPort& p = ow_port(port);
    if (p.ULevel != MODE_NORMAL) owLevel(port, MODE_NORMAL);
    n = to_command(p, buf, n);
    buf[n++] = static_cast<uint8_t>(CMD_RESET | p.USpeed);
    return n;
}

}  // namespace

int owTouchReset(int port)
{
    if (!ow_port_open(port)) return 0;
    uint8_t buf[2];
    const int n = put_reset(port, buf, 0);
    uint8_t r = 0;
    if (!exchange(port, buf, n, &r, 1)) return 0;
    return reset_reply(port, r) ? 1 : 0;
}

int owTouchBit(int port, int bit)
{
    if (!ow_port_open(port)) return 0;
    OwPort& p = ow_port(port);
    uint8_t buf[2];
    int n = to_command(p, buf, 0);
    buf[n++] = static_cast<uint8_t>(CMD_BIT | p.USpeed | (bit ? 0x10 : 0x00));
    uint8_t r = 0;
    if (!exchange(port, buf, n, &r, 1)) return 0;
    return (r & 0xE3) == 0x83 ? 1 : 0;
}

namespace {

// One data-mode byte; false when the adapter did not carry it.
bool touch_byte(int port, int byte, uint8_t* got)
{
    if (!ow_port_open(port)) return false;
    OwPort& p = ow_port(port);
    uint8_t buf[3];
    int n = to_data(p, buf, 0);
    buf[n++] = static_cast<uint8_t>(byte);
    if (buf[n - 1] == COMMAND_MODE) buf[n++] = COMMAND_MODE;
    return exchange(port, buf, n, got, 1);
}

}  // namespace

int owTouchByte(int port, int byte)
{
    uint8_t r = 0;
    return touch_byte(port, byte, &r) ? r : 0;
}

// Nothing but the transfer itself is checked: the bits the bus shows back
// may differ from those written (a busy converter pulls write-1 slots low).
int owWriteByte(int port, int byte)
{
    uint8_t r = 0;
    return touch_byte(port, byte, &r) ? 1 : 0;
}

int owReadByte(int port) { return owTouchByte(port, 0xFF); }

// With do_reset the reset goes out in the same transfer as the data: the
// adapter takes the commands in order, and the host looks at the reset's
// reply before it uses the data's.
int owBlock(int port, int do_reset, uint8_t* buf, int len)
{
    if (len > OW_BLOCK_MAX) {
        owRaiseError(OWERR::BLOCK_TOO_LARGE);
        return 0;
    }
    if (!ow_port_open(port)) return 0;
    if (len <= 0) return do_reset ? owTouchReset(port) : 1;
    OwPort& p = ow_port(port);
    uint8_t out[3 + 2 * OW_BLOCK_MAX];
    int n = do_reset ? put_reset(port, out, 0) : 0;
    n = to_data(p, out, n);
    for (int i = 0; i < len; ++i) {
        out[n++] = buf[i];
        if (buf[i] == COMMAND_MODE) out[n++] = COMMAND_MODE;
    }
    if (!WriteCOM(port, n, out)) return ow_fail_redetect(port, OWERR::WRITE_FAILED);
    const int want = len + (do_reset ? 1 : 0);
    uint8_t in[OW_BLOCK_MAX + 1];
    if (ReadCOM(port, want, in) != want) return ow_fail_redetect(port, OWERR::BLOCK_FAILED);
    if (do_reset && !reset_reply(port, in[0])) return 0;
    std::memcpy(buf, in + (do_reset ? 1 : 0), static_cast<size_t>(len));
    return 1;
}

int owLevel(int port, int level)
{
    if (!ow_port_open(port)) return MODE_NORMAL;
    OwPort& p = ow_port(port);
    if (level == p.ULevel) return p.ULevel;
    uint8_t buf[4];
    int n = to_command(p, buf, 0);
    uint8_t r[2] = {};
    bool ok = false;
    if (level == MODE_NORMAL) {
        buf[n++] = STOP_PULSE;
        buf[n++] = PULSE_5V;
        buf[n++] = STOP_PULSE;
        if (!exchange(port, buf, n, r, 2)) return p.ULevel;
        ok = (r[0] & 0xE0) == 0xE0 && (r[1] & 0xE0) == 0xE0;
    } else if (level == MODE_STRONG5 || (level == MODE_PROGRAM && p.ProgramAvailable)) {
        buf[n++] = level == MODE_STRONG5 ? ARM_5V : ARM_12V;
        buf[n++] = level == MODE_STRONG5 ? PULSE_5V : PULSE_12V;
        if (!exchange(port, buf, n, r, 1)) return p.ULevel;
        ok = (r[0] & 0x81) == 0;
    } else {
        owRaiseError(OWERR::LEVEL_FAILED);
        return p.ULevel;
    }
    if (!ok) {
        ow_fail_redetect(port, OWERR::LEVEL_FAILED);
        return p.ULevel;
    }
    p.ULevel = level;
    return p.ULevel;
}

int owSpeed(int port, int speed)
{
    if (!ow_port_open(port)) return SPEEDSEL_FLEX;
    OwPort& p = ow_port(port);
    if (speed == SPEEDSEL_OD) {
        if (p.UVersion == VERSION_NO_OVERDRIVE) {
            owRaiseError(OWERR::NOT_SUPPORTED);
            return p.USpeed;
        }
        if (!DS2480ChangeBaud(port, PARMSET_115200)) return p.USpeed;
    } else if (!DS2480ChangeBaud(port, PARMSET_9600)) {
        return p.USpeed;
    }
    uint8_t buf[2];
    int n = to_command(p, buf, 0);
    buf[n++] = speed == SPEEDSEL_OD ? SPEED_OVERDRIVE : SPEED_NORMAL;
    if (!WriteCOM(port, n, buf)) {
        ow_fail_redetect(port, OWERR::WRITE_FAILED);
        return p.USpeed;
    }
    p.USpeed = speed == SPEEDSEL_OD ? SPEEDSEL_OD : SPEEDSEL_FLEX;
    return p.USpeed;
}

// The byte and the switch to the strong pull-up in one transfer, so the
// pull-up follows the byte at once.
int owWriteBytePower(int port, int byte)
{
    if (!ow_port_open(port)) return 0;
    OwPort& p = ow_port(port);
    if (p.ULevel != MODE_NORMAL) owLevel(port, MODE_NORMAL);
    uint8_t buf[6];
    int n = to_data(p, buf, 0);
    buf[n++] = static_cast<uint8_t>(byte);
    if (buf[n - 1] == COMMAND_MODE) buf[n++] = COMMAND_MODE;
    n = to_command(p, buf, n);
    buf[n++] = ARM_5V;
    buf[n++] = PULSE_5V;
    uint8_t r[2] = {};
    if (!exchange(port, buf, n, r, 2)) return 0;
    if ((r[1] & 0x81) != 0) return ow_fail_redetect(port, OWERR::LEVEL_FAILED);
    p.ULevel = MODE_STRONG5;
    return 1;
}
