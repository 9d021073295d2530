// Simulated-board backend: the sandbox named by KVT_ROOT stands in for the
// appliance's file system, <root>/sim/board for its GPIO lines and FPGA
// registers, and <root>/sim/commands.log for the shell. It never touches a
// path outside the sandbox and runs no command but python3 on a script
// inside it.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "platform.h"
#include "sim_board.h"
#include "sim_ds2480.h"
#include "sim_shell.h"

namespace {

constexpr int FAKE_FD_BASE = 1000;  // chip descriptors handed to the service

std::mutex g_board_mutex;
simboard::Mapping g_board;
std::string g_board_root;

// The board of the current sandbox, mapped on first use (tests switch
// sandboxes inside one process).
simboard::Header* board()
{
    std::lock_guard<std::mutex> lock(g_board_mutex);
    if (g_board.hdr && g_board_root == sandbox_root()) return g_board.hdr;
    if (g_board.hdr) simboard::board_unmap(g_board);
    std::string err;
    if (!simboard::board_map(sandbox_root(), g_board, err)) {
        std::fprintf(stderr, "simulated board: %s\n", err.c_str());
        return nullptr;
    }
    g_board_root = sandbox_root();
    return g_board.hdr;
}

bool fault(uint32_t bit)
{
    simboard::Header* b = board();
    return !b || (b->faults & bit);
}

int chip_of(int fd) { return fd - FAKE_FD_BASE; }
bool valid_chip_fd(int fd) { return chip_of(fd) >= 1 && chip_of(fd) <= simboard::CHIPS; }

}  // namespace

int platform_init()
{
    const char* root = std::getenv("KVT_ROOT");
    if (!root || !*root) {
        std::fprintf(stderr,
                     "kvt7400sim: KVT_ROOT is not set; set it to a sandbox made with "
                     "'kvtsim init DIR'\n");
        return 1;
    }
    char real[PATH_MAX];
    if (!realpath(root, real)) {
        std::fprintf(stderr, "kvt7400sim: sandbox %s: %s\n", root, std::strerror(errno));
        return 1;
    }
    if (chdir(real) != 0) {
        std::fprintf(stderr, "kvt7400sim: chdir %s: %s\n", real, std::strerror(errno));
        return 1;
    }
    set_sandbox_root(real);
    std::string err;
    simboard::Mapping probe;
    if (!simboard::board_map(real, probe, err)) {
        std::fprintf(stderr, "kvt7400sim: %s; prepare the sandbox with 'kvtsim init %s'\n", err.c_str(), real);
        return 1;
    }
    simboard::board_unmap(probe);
    std::printf("simulated board: sandbox %s\n", real);
    // The DS2480B adapters of both 1-Wire buses; without them the service
    // still runs and finds no adapter.
    if (!simow::start_adapters(real, err)) std::printf("simulated board: no 1-Wire adapters: %s\n", err.c_str());
    return 0;
}

const char* platform_name() { return "simulated board"; }
bool platform_simulated() { return true; }

int kvt_system(const std::string& cmd)
{
    // The shell fault stands for a machine whose commands all fail (a full
    // or read-only disk, a missing tool); an unmapped board is not that.
    simboard::Header* b = board();
    if (b && (b->faults & simboard::FAULT_SHELL)) return sim_shell_fail(sandbox_root(), cmd);
    return sim_shell_run(sandbox_root(), cmd);
}

void kvt_syslog_info(const std::string& text)
{
    std::string line = text;
    if (line.empty() || line.back() != '\n') line += '\n';
    int fd = open((sandbox_root() + "/sim/syslog.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
    if (fd < 0) return;
    ssize_t w = write(fd, line.data(), line.size());
    (void)w;
    close(fd);
}

void kvt_set_realtime(pthread_t)
{
    static std::once_flag once;
    std::call_once(once, [] {
        std::printf("simulated board: threads keep the normal scheduling policy (no SCHED_RR)\n");
    });
}

void platform_stop_signals(void (*handler)(int))
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
}

SnmpListen platform_snmp_listen()
{
    SnmpListen l{0x7F000001u, 161, false};  // 127.0.0.1
    const char* port = std::getenv("KVT_SNMP_PORT");
    if (port && *port) {
        char* end = nullptr;
        long p = std::strtol(port, &end, 10);
        if (*end == '\0' && p > 0 && p < 65536)
            l.port = static_cast<int>(p);
        else
            std::fprintf(stderr, "kvt7400sim: KVT_SNMP_PORT=%s is not a port number; using 161\n", port);
    }
    const char* trace = std::getenv("KVT_SNMP_TRACE");
    l.trace = trace && std::strcmp(trace, "1") == 0;
    return l;
}

const char* platform_mqtt_bind() { return "127.0.0.1"; }

int platform_mail_retry_divisor()
{
    const char* d = std::getenv("KVT_MAIL_RETRY_DIVISOR");
    if (!d || !*d) return 1;
    char* end = nullptr;
    long v = std::strtol(d, &end, 10);
    return *end == '\0' && v >= 1 && v <= 100000 ? static_cast<int>(v) : 1;
}

TrapSend platform_trap_send()
{
    TrapSend t{0x7F000001u, 162};  // from 127.0.0.1
    const char* port = std::getenv("KVT_TRAP_PORT");
    if (port && *port) {
        char* end = nullptr;
        long p = std::strtol(port, &end, 10);
        if (*end == '\0' && p > 0 && p < 65536) {
            t.port = static_cast<int>(p);
        } else {
            static std::once_flag once;
            std::call_once(once, [port] {
                std::fprintf(stderr, "kvt7400sim: KVT_TRAP_PORT=%s is not a port number; using 162\n", port);
            });
        }
    }
    return t;
}

unsigned int platform_trap_agent_addr()
{
    std::ifstream in(sandbox_root() + "/sim/answers/ifconfig", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    unsigned int addr = 0;
    return ifconfig_inet_addr(text.str(), "eth0", addr) ? addr : 0;
}

bool platform_eth0_mac(std::string& mac)
{
    std::ifstream in(sandbox_root() + "/sim/answers/ifconfig", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return ifconfig_hwaddr(text.str(), "eth0", mac);
}

int board_gpio_open(int chip)
{
    static const uint32_t bits[] = {0, simboard::FAULT_GPIO1, simboard::FAULT_GPIO2, simboard::FAULT_GPIO3};
    if (chip < 1 || chip > simboard::CHIPS || fault(bits[chip])) return -1;
    return FAKE_FD_BASE + chip;
}

int board_gpio_chipinfo(int fd, GpioChipInfo* info)
{
    if (!valid_chip_fd(fd)) return -1;
    std::snprintf(info->name, sizeof info->name, "gpiochip%d", chip_of(fd));
    std::snprintf(info->label, sizeof info->label, "kvtsim-chip%d", chip_of(fd));
    info->lines = simboard::LINES;
    return 0;
}

void board_gpio_close(int) {}

int board_gpio_read(int fd, int line, int* val)
{
    if (!valid_chip_fd(fd) || line < 0 || line >= simboard::LINES || fault(simboard::FAULT_LINE_IO)) return -1;
    *val = board()->gpio[chip_of(fd)][line] ? 1 : 0;
    return 0;
}

int board_gpio_write(int fd, int line, int val)
{
    if (!valid_chip_fd(fd) || line < 0 || line >= simboard::LINES || fault(simboard::FAULT_LINE_IO)) return -1;
    board()->gpio[chip_of(fd)][line] = val ? 1 : 0;
    return 0;
}

int board_mem_open()
{
    if (fault(simboard::FAULT_MEM_OPEN)) return -1;
    return open(simboard::board_path(sandbox_root()).c_str(), O_RDWR);
}

volatile uint8_t* board_mem_map(int fd, unsigned long, unsigned long len)
{
    if (fault(simboard::FAULT_MEM_MAP) || len > simboard::FPGA_SIZE) return nullptr;
    void* p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, simboard::FPGA_OFFSET);
    return p == MAP_FAILED ? nullptr : static_cast<volatile uint8_t*>(p);
}

void board_mem_close(int fd)
{
    if (fd >= 0) close(fd);
}

void board_mem_wrote(unsigned long offset, int value)
{
    // The analog board answers the service's register writes (a start
    // latches the range codes) through the same board file.
    if (simboard::Header* b = board()) {
        std::lock_guard<std::mutex> lock(g_board_mutex);
        if (g_board.fpga) simboard::ai_register_written(b->analog, g_board.fpga, static_cast<unsigned>(offset));
    }
    char line[64];
    int n = std::snprintf(line, sizeof line, "0x%08lx %d\n", BOARD::FPGA_BASE + offset, value);
    int fd = open((sandbox_root() + "/sim/fpga.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
    if (fd < 0) return;
    ssize_t w = write(fd, line, static_cast<size_t>(n));
    (void)w;
    close(fd);
}
