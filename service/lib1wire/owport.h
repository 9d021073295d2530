// Per-port state shared by the files of the link layer.
#pragma once

#include <termios.h>

#include <cstdint>

#include "ownet.h"

struct OwPort {
    bool open = false;
    int fd = -1;
    termios saved{};  // the terminal settings found at open, put back at close
    int UMode = MODSEL_COMMAND;
    int USpeed = SPEEDSEL_FLEX;
    int UBaud = PARMSET_9600;
    int ULevel = MODE_NORMAL;
    int UVersion = 0;
    int ProgramAvailable = 0;
    int Detected = 0;  // 1 while the adapter answered its last detection
    int Uw1lt = 14, Uw0rt = 14, Updsrc = 6;
    uint8_t SerialNum[8] = {};
    int LastDiscrepancy = 0, LastFamilyDiscrepancy = 0, LastDevice = 0;
    uint16_t crc16 = 0;
    uint8_t crc8 = 0;
};

// The state of a port number already checked to be in range.
OwPort& ow_port(int port);
// True when port is in range; raises BAD_PORT otherwise.
bool ow_port_valid(int port);
// True when port is in range and open; raises BAD_PORT otherwise.
bool ow_port_open(int port);
// One line to the system log at informational priority (printf format).
void ow_syslog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Raises code, re-detects the adapter and returns 0: the common ending of a
// primitive that found the adapter not answering.
int ow_fail_redetect(int port, int code);
// Selects the current ROM (reset, Match ROM and the ROM code, its echo
// checked) and runs the len bytes of buf after it, all in one transfer; buf
// then holds what the bus gave back. 1 on success.
int ow_select_block(int port, uint8_t* buf, int len);
