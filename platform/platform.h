// The seam between the service and the machine it runs on. Two backends are
// built from this one interface and chosen at link time: the appliance
// (kernel GPIO character devices, /dev/mem, system()) and the simulated board
// (a board-state file and a journal of shell commands inside a sandbox).
#pragma once

#include <pthread.h>

#include <cstdint>

#include <string>

// Prepares the backend before anything else runs. The simulated board takes
// its sandbox from KVT_ROOT and makes it the working directory. Non-zero
// means the service must not start.
int platform_init();
// Short name of the backend for the console.
const char* platform_name();
// True for the simulated board.
bool platform_simulated();

// Every absolute path of the service goes through here: the appliance uses
// it as is, the simulated board puts the sandbox root in front.
std::string kvt_path(const char* path);
inline std::string kvt_path(const std::string& path) { return kvt_path(path.c_str()); }
const std::string& sandbox_root();
// For tests and tools: resolve paths below `root` from now on.
void set_sandbox_root(const std::string& root);

// The service's system(): the appliance runs the command line; the simulated
// board journals it and emulates only the plain file commands.
int kvt_system(const std::string& cmd);

// One line to the system log at informational priority: syslog() on the
// appliance, <root>/sim/syslog.log on the simulated board.
void kvt_syslog_info(const std::string& text);

// Gives a service thread its scheduling policy (SCHED_RR 60 on the appliance).
void kvt_set_realtime(pthread_t th);

// Routes the console interrupt to the same handler as SIGTERM where that is
// wanted (the simulated board, so Ctrl-C stops it cleanly).
void platform_stop_signals(void (*handler)(int));

// Where the SNMP agent listens: the appliance on every interface, port 161;
// the simulated board on loopback only, on KVT_SNMP_PORT when that is set
// (so it runs unprivileged and side by side), 161 otherwise. `trace` turns
// on the per-request console lines (KVT_SNMP_TRACE=1 on the simulated board).
struct SnmpListen {
    unsigned int addr;  // IPv4, host byte order
    int port;
    bool trace;
};
SnmpListen platform_snmp_listen();

// How traps leave: the appliance sends from any local address to port 162 of
// the receiver; the simulated board only from loopback (a trap addressed
// elsewhere fails there, it never reaches a real network), to KVT_TRAP_PORT
// when that is set, 162 otherwise.
struct TrapSend {
    unsigned int bind_addr;  // IPv4, host byte order
    int port;
};
TrapSend platform_trap_send();
// Agent address of SNMPv1 traps, IPv4 in host byte order: the address of
// eth0 on the appliance, the eth0 address of the sandbox's ifconfig answer
// on the simulated board; 0 (0.0.0.0) when there is none.
unsigned int platform_trap_agent_addr();
// eth0's MAC address as text ("00:1a:2b:3c:4d:5e"): the kernel's on the
// appliance, the HWaddr of the sandbox's ifconfig answer on the simulated
// board; false when there is none.
bool platform_eth0_mac(std::string& mac);

// Local address the MQTT client connects from: any on the appliance
// (nullptr); loopback on the simulated board, so that it only ever reaches a
// broker on the same machine.
const char* platform_mqtt_bind();

// The mail retries' waits are divided by this: 1 on the appliance; on the
// simulated board KVT_MAIL_RETRY_DIVISOR when set (so that a test sees
// minutes of waiting pass in seconds), 1 otherwise.
int platform_mail_retry_divisor();

// GPIO chips 1 to 3.
struct GpioChipInfo {
    char name[32];
    char label[32];
    unsigned lines;
};
int board_gpio_open(int chip);                       // descriptor, or -1
int board_gpio_chipinfo(int fd, GpioChipInfo* info);  // 0, or negative
void board_gpio_close(int fd);
// One line-handle request per call; returns the request's result (0 = ok).
int board_gpio_read(int fd, int line, int* val);
int board_gpio_write(int fd, int line, int val);

// The FPGA register window. Registers are bytes with side effects: every
// access goes through the volatile pointer, one byte at a time, in program
// order, so that no compiler or target merges, reorders or drops one.
int board_mem_open();  // descriptor, or -1
volatile uint8_t* board_mem_map(int fd, unsigned long base, unsigned long len);  // nullptr on failure
void board_mem_close(int fd);
// Called after every register write; the simulated board keeps a journal.
void board_mem_wrote(unsigned long offset, int value);
