// Appliance backend: the real board through the kernel's GPIO character
// devices and /dev/mem, shell commands through system(), threads on SCHED_RR.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gpio_request.h"
#include "platform.h"

int platform_init() { return 0; }
const char* platform_name() { return "appliance"; }
bool platform_simulated() { return false; }

int kvt_system(const std::string& cmd) { return std::system(cmd.c_str()); }

void kvt_syslog_info(const std::string& text) { syslog(LOG_INFO, "%s", text.c_str()); }

void kvt_set_realtime(pthread_t th)
{
    sched_param param{};
    param.sched_priority = 60;
    pthread_setschedparam(th, SCHED_RR, &param);
}

void platform_stop_signals(void (*)(int)) {}

SnmpListen platform_snmp_listen() { return {0u /* INADDR_ANY */, 161, false}; }

TrapSend platform_trap_send() { return {0u /* INADDR_ANY */, 162}; }

const char* platform_mqtt_bind() { return nullptr; }

int platform_mail_retry_divisor() { return 1; }

unsigned int platform_trap_agent_addr()
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) return 0;
    ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::strncpy(ifr.ifr_name, "eth0", IFNAMSIZ - 1);
    ifr.ifr_addr.sa_family = AF_INET;
    unsigned int addr = 0;
    if (ioctl(s, SIOCGIFADDR, &ifr) == 0)
        addr = ntohl(reinterpret_cast<sockaddr_in*>(&ifr.ifr_addr)->sin_addr.s_addr);
    close(s);
    return addr;
}

bool platform_eth0_mac(std::string& mac)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) return false;
    ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::strncpy(ifr.ifr_name, "eth0", IFNAMSIZ - 1);
    const bool ok = ioctl(s, SIOCGIFHWADDR, &ifr) == 0;
    close(s);
    if (!ok) return false;
    const auto* a = reinterpret_cast<const unsigned char*>(ifr.ifr_hwaddr.sa_data);
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", a[0], a[1], a[2], a[3], a[4], a[5]);
    mac = text;
    return true;
}

int board_gpio_open(int chip)
{
    std::string dev = "/dev/gpiochip" + std::to_string(chip);
    return open(kvt_path(dev).c_str(), O_RDONLY);
}

int board_gpio_chipinfo(int fd, GpioChipInfo* info)
{
    gpiochip_info ci;
    std::memset(&ci, 0, sizeof ci);
    int ret = ioctl(fd, GPIO_GET_CHIPINFO_IOCTL, &ci);
    if (ret < 0) return ret;
    std::snprintf(info->name, sizeof info->name, "%s", ci.name);
    std::snprintf(info->label, sizeof info->label, "%s", ci.label);
    info->lines = ci.lines;
    return ret;
}

void board_gpio_close(int fd)
{
    if (fd >= 0) close(fd);
}

namespace {

int sys_ioctl(int fd, unsigned long request, void* arg) { return ioctl(fd, request, arg); }
int sys_close(int fd) { return close(fd); }

}  // namespace

int board_gpio_read(int fd, int line, int* val) { return gpio_line_read(fd, line, val, sys_ioctl, sys_close); }

int board_gpio_write(int fd, int line, int val) { return gpio_line_write(fd, line, val, sys_ioctl, sys_close); }

int board_mem_open() { return open(kvt_path("/dev/mem").c_str(), O_RDWR | O_SYNC); }

volatile uint8_t* board_mem_map(int fd, unsigned long base, unsigned long len)
{
    void* p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(base));
    return p == MAP_FAILED ? nullptr : static_cast<volatile uint8_t*>(p);
}

void board_mem_close(int fd)
{
    if (fd >= 0) close(fd);
}

void board_mem_wrote(unsigned long, int) {}
