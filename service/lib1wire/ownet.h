// 1-Wire link layer over a DS2480B serial line driver: the serial port, the
// adapter's detection and configuration, the 1-Wire primitives, the ROM
// search with the adapter's search accelerator, selection by ROM code, both
// 1-Wire CRCs, and the thermometer and DS2450 A/D converter routines.
//
// Everything is a plain function over a port number (0 to MAX_PORTNUM - 1)
// that indexes per-port state. Functions return 1 on success and 0 on
// failure (owLevel and owSpeed return the level or speed now in effect) and
// record every failure on the error stack. Any serial or protocol failure
// re-detects the adapter, so the next call starts from a known state: 9600
// baud, command mode, normal speed.
//
// A port is used by one thread at a time; only opening and closing ports and
// the error stack are shared between threads.
#pragma once

#include <cstdint>

constexpr int MAX_PORTNUM = 16;

// Adapter modes (UMode).
constexpr int MODSEL_DATA = 0;
constexpr int MODSEL_COMMAND = 2;
// 1-Wire speeds (USpeed), also the speed bits of the adapter's commands.
constexpr int SPEEDSEL_FLEX = 4;  // normal speed with the configured slew and timing
constexpr int SPEEDSEL_OD = 8;    // overdrive
// Adapter baud codes (UBaud); SetBaudCOM also takes BAUD_4800 for the reset pulse.
constexpr int PARMSET_9600 = 0;
constexpr int PARMSET_19200 = 2;
constexpr int PARMSET_57600 = 4;
constexpr int PARMSET_115200 = 6;
constexpr int BAUD_4800 = 8;
// Line levels (ULevel).
constexpr int MODE_NORMAL = 0;
constexpr int MODE_STRONG5 = 2;
constexpr int MODE_PROGRAM = 4;

// Error codes on the error stack.
namespace OWERR {
constexpr int NO_DEVICES = 1;        // No Devices found on 1-Wire Network
constexpr int RESET_FAILED = 2;      // 1-Wire Net Reset Failed
constexpr int SEARCH_ERROR = 3;      // Search ROM Error
constexpr int NO_ADAPTER = 5;        // DS2480B Adapter Not Detected
constexpr int WRONG_BAUD = 6;        // DS2480B: Wrong Baud
constexpr int BAD_RESPONSE = 7;      // DS2480B: Bad Response
constexpr int OPEN_FAILED = 8;       // Open COM Failed
constexpr int WRITE_FAILED = 9;      // Write COM Failed
constexpr int READ_FAILED = 10;      // Read COM Failed
constexpr int BLOCK_TOO_LARGE = 11;  // Data Block Too Large
constexpr int BLOCK_FAILED = 12;     // Block Transfer failed
constexpr int VERIFY_FAILED = 17;    // Write Verify Failed
constexpr int CRC_FAILED = 22;       // CRC Failed
constexpr int NO_RESOURCE = 23;      // Failed to acquire a necessary system resource
constexpr int INIT_RESOURCE = 24;    // Failed to initialize system resource
constexpr int NOT_SUPPORTED = 72;    // Function not supported to modify attributes.
constexpr int BAD_PORT = 115;        // Port number is outside (0,MAX_PORTNUM) interval
constexpr int LEVEL_FAILED = 116;    // Level of the 1-Wire was not changed
}  // namespace OWERR

constexpr int OW_BLOCK_MAX = 160;  // data bytes per owBlock (0xE3 may double them)

// ---- Error stack (ten entries, oldest overwritten) -------------------------
void owRaiseError(int code);
// The newest code, taken off the stack; 0 when the stack is empty.
int owGetErrorNum();
int owHasErrors();
void owClearErrors();
const char* owGetErrorMsg(int code);

// ---- Serial layer ----------------------------------------------------------
int OpenCOM(int port, const char* path);
int OpenCOMEx(const char* path);  // first free port, or -1
void CloseCOM(int port);
int WriteCOM(int port, int n, const uint8_t* buf);
int ReadCOM(int port, int n, uint8_t* buf);  // bytes read (stops at the first byte that does not come)
void FlushCOM(int port);
void SetBaudCOM(int port, int code);
void msDelay(int ms);
long msGettick();

// ---- Adapter and link ------------------------------------------------------
int owAcquireEx(const char* path);  // port, or -1
void owRelease(int port);
int DS2480Detect(int port);
// 1 while the port's adapter answered its last detection: a failed transfer
// re-detects the adapter, so 0 after one means the adapter itself is gone,
// not just a device on its bus.
int owDetected(int port);
int DS2480ChangeBaud(int port, int code);
int owTouchReset(int port);
int owTouchBit(int port, int bit);
int owTouchByte(int port, int byte);  // the byte read back
int owWriteByte(int port, int byte);
int owReadByte(int port);
int owBlock(int port, int do_reset, uint8_t* buf, int len);
int owLevel(int port, int level);  // the level now in effect
int owSpeed(int port, int speed);  // the speed now in effect
int owWriteBytePower(int port, int byte);

// ---- Network ---------------------------------------------------------------
int owFirst(int port, int do_reset, int alarm_only);
int owNext(int port, int do_reset, int alarm_only);
void owSerialNum(int port, uint8_t* buf, int do_read);
int owAccess(int port);
int owOverdriveAccess(int port);

// ---- CRC (per-port running values) -----------------------------------------
void setcrc8(int port, uint8_t reset);
uint8_t docrc8(int port, uint8_t x);
void setcrc16(int port, uint16_t reset);
uint16_t docrc16(int port, uint16_t cdata);
// The same over a buffer, for callers without a port.
uint8_t ow_crc8(const uint8_t* p, int n, uint8_t seed = 0);
uint16_t ow_crc16(const uint8_t* p, int n, uint16_t seed = 0);

// ---- Devices ---------------------------------------------------------------
int TemperatureConvertStart(int port);
int TemperatureConvertRead(int port, const uint8_t* rom, float* temp);
int SetupAtoDControl(int port, const uint8_t* rom, uint8_t* ctrl, char* msg);
int WriteAtoD(int port, int try_overdrive, const uint8_t* rom, const uint8_t* ctrl, int start_address,
              int end_address);
int DoAtoDConversion(int port, int try_overdrive, const uint8_t* rom);
int ReadAtoDResults(int port, int try_overdrive, const uint8_t* rom, float* volts, const uint8_t* ctrl);
int ReadDS2450Results(int port, int try_overdrive, const uint8_t* rom, uint8_t* page);

// Temperature of a 9-byte scratchpad whose CRC has been checked; 0 when it
// cannot be converted (a DS18S20-type pad with COUNT_PER_C 0).
int ow_scratchpad_temperature(const uint8_t* sp, float* temp);
// Input voltages of a DS2450 result page (8 bytes) under a control image.
void ow_atod_volts(const uint8_t* page, const uint8_t* ctrl, float* volts);

// ---- Per-port state, for the tests and the console -------------------------
struct OwPortInfo {
    int open;
    int UMode, USpeed, UBaud, ULevel, UVersion, ProgramAvailable;
    int LastDiscrepancy, LastFamilyDiscrepancy, LastDevice;
};
OwPortInfo owPortInfo(int port);
