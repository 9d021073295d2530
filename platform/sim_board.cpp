#include "sim_board.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

#include "mail_script.h"

namespace simboard {

const FaultName FAULT_NAMES[7] = {
    {"gpio1", FAULT_GPIO1},       {"gpio2", FAULT_GPIO2},     {"gpio3", FAULT_GPIO3},
    {"mem-open", FAULT_MEM_OPEN}, {"mem-map", FAULT_MEM_MAP}, {"line-io", FAULT_LINE_IO},
    {"shell", FAULT_SHELL},
};

std::string board_path(const std::string& root) { return root + "/sim/board"; }

static bool make_dirs(const std::string& path)
{
    std::string cur;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        cur = path.substr(0, pos);
        if (cur.empty()) continue;
        if (mkdir(cur.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    return true;
}

bool board_create(const std::string& root, std::string& err)
{
    if (!make_dirs(root + "/sim")) {
        err = "mkdir " + root + "/sim: " + std::strerror(errno);
        return false;
    }
    std::vector<char> img(FILE_SIZE, 0);
    Header* h = reinterpret_cast<Header*>(img.data());
    std::memcpy(h->magic, "KVTBOARD", 8);
    h->version = VERSION;
    line_level(h, BOARD::STRAP_A) = 1;
    line_level(h, BOARD::STRAP_B) = 1;
    for (BOARD::Line l : BOARD::DIP) line_level(h, l) = 1;  // a switch that is off reads 1
    // Board revision 0x0102.
    img[FPGA_OFFSET + BOARD::REG_REVISION] = 0x02;
    img[FPGA_OFFSET + BOARD::REG_REVISION + 1] = 0x01;
    ai_board_new(h->analog, reinterpret_cast<volatile uint8_t*>(img.data() + FPGA_OFFSET));
    std::string path = board_path(root);
    std::string tmp = path + ".new";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) {
        err = "open " + tmp + ": " + std::strerror(errno);
        return false;
    }
    bool ok = write(fd, img.data(), img.size()) == static_cast<ssize_t>(img.size());
    close(fd);
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        err = "write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool board_map(const std::string& root, Mapping& m, std::string& err)
{
    m.path = board_path(root);
    m.fd = open(m.path.c_str(), O_RDWR);
    if (m.fd < 0) {
        err = "open " + m.path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(m.fd, &st) != 0 || static_cast<size_t>(st.st_size) != FILE_SIZE) {
        err = m.path + " is not a board file (wrong size)";
        close(m.fd);
        m.fd = -1;
        return false;
    }
    void* p = mmap(nullptr, FILE_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, m.fd, 0);
    if (p == MAP_FAILED) {
        err = "mmap " + m.path + ": " + std::strerror(errno);
        close(m.fd);
        m.fd = -1;
        return false;
    }
    m.hdr = static_cast<Header*>(p);
    if (std::memcmp(m.hdr->magic, "KVTBOARD", 8) != 0 || m.hdr->version != VERSION) {
        err = m.path + " is not a board file (bad header)";
        board_unmap(m);
        return false;
    }
    m.fpga = static_cast<volatile uint8_t*>(p) + FPGA_OFFSET;
    return true;
}

void board_unmap(Mapping& m)
{
    if (m.hdr) munmap(const_cast<Header*>(m.hdr), FILE_SIZE);
    if (m.fd >= 0) close(m.fd);
    m = Mapping{};
}

static bool write_file(const std::string& path, const std::string& content)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
    return static_cast<bool>(f);
}

static bool copy_file(const std::string& from, const std::string& to)
{
    std::ifstream in(from, std::ios::binary);
    if (!in) return false;
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    return static_cast<bool>(out);
}

static const char* HOSTNAME = "kvt7400\n";
static const char* ETH_NETWORK =
    "[Match]\n"
    "Name=eth0\n"
    "\n"
    "[Network]\n"
    "Address=192.168.1.200/24\n"
    "Gateway=192.168.1.1\n";
static const char* RESOLV = "nameserver 192.168.1.1\n";
static const char* NTP_CONF =
    "# /etc/ntp.conf\n"
    "driftfile /var/lib/ntp/drift\n"
    "server 127.127.1.0\n"
    "fudge 127.127.1.0 stratum 14\n"
    "restrict default\n";
static const char* BUSYBOX_SYSLOG =
    "# Options passed to the busybox syslog daemon\n"
    "OPTIONS=\"-O /opt/syslog/messages -s 200 -b 7\"\n";
static const char* VSFTPD =
    "listen=YES\n"
    "local_enable=YES\n"
    "write_enable=YES\n"
    "ssl_enable=YES\n"
    "force_local_data_ssl=YES\n"
    "force_local_logins_ssl=YES\n";
static const char* SETTINGS_PY =
    "# Web UI settings\n"
    "DEBUG = False\n"
    "SESSION_EXPIRE_AT_BROWSER_CLOSE=True\n"
    "SESSION_COOKIE_AGE=1800\n"
    "SESSION_SAVE_EVERY_REQUEST=True\n"
    "TIME_ZONE = 'Asia/Tokyo'\n";
static const char* IFCONFIG =
    "eth0      Link encap:Ethernet  HWaddr 00:1A:2B:3C:4D:5E  \n"
    "          inet addr:192.168.1.200  Bcast:192.168.1.255  Mask:255.255.255.0\n"
    "          UP BROADCAST RUNNING MULTICAST  MTU:1500  Metric:1\n"
    "\n"
    "lo        Link encap:Local Loopback  \n"
    "          inet addr:127.0.0.1  Mask:255.0.0.0\n";
static const char* OPKG = "kvt7400sys - 1.1.1-r0\n";

bool sandbox_init(const std::string& dir, const std::string& factory_db, std::string& err)
{
    static const char* dirs[] = {
        "/opt/KVT7400/ini_files", "/opt/KVT7400/KVT7400", "/opt/kvt/sbin", "/opt/syslog",
        "/log/app_log", "/tmp", "/etc/default", "/etc/systemd/network",
        "/sys/class/pwm/pwmchip0/pwm0", "/sys/class/leds/STATUS_LED", "/sim/answers",
    };
    for (const char* d : dirs)
        if (!make_dirs(dir + d)) {
            err = std::string("mkdir ") + dir + d + ": " + std::strerror(errno);
            return false;
        }
    struct File {
        const char* path;
        const char* content;
    };
    static const File files[] = {
        {"/etc/hostname", HOSTNAME},
        {"/etc/systemd/network/10-eth.network", ETH_NETWORK},
        {"/etc/resolv.conf", RESOLV},
        {"/etc/ntp.conf", NTP_CONF},
        {"/etc/default/busybox-syslog", BUSYBOX_SYSLOG},
        {"/etc/vsftpd.conf", VSFTPD},
        {"/opt/KVT7400/ini_files/hostname", HOSTNAME},
        {"/opt/KVT7400/ini_files/10-eth.network", ETH_NETWORK},
        {"/opt/KVT7400/ini_files/resolv.conf", RESOLV},
        {"/opt/KVT7400/ini_files/ntp.conf", NTP_CONF},
        {"/opt/KVT7400/ini_files/busybox-syslog", BUSYBOX_SYSLOG},
        {"/opt/KVT7400/KVT7400/settings.py", SETTINGS_PY},
        {"/sys/class/pwm/pwmchip0/export", ""},
        {"/sys/class/pwm/pwmchip0/pwm0/period", "0\n"},
        {"/sys/class/pwm/pwmchip0/pwm0/duty_cycle", "0\n"},
        {"/sys/class/pwm/pwmchip0/pwm0/enable", "0\n"},
        {"/sys/class/leds/STATUS_LED/trigger", "none\n"},
        {"/sys/class/leds/STATUS_LED/delay_on", "0\n"},
        {"/sys/class/leds/STATUS_LED/delay_off", "0\n"},
        {"/sys/class/leds/STATUS_LED/brightness", "0\n"},
        {"/sim/answers/ifconfig", IFCONFIG},
        {"/sim/answers/opkg", OPKG},
        {"/opt/kvt/sbin/mailsend.py", MAIL_SCRIPT},
        {"/sim/commands.log", ""},
        {"/msgq.key", "kvt7400sys message queue key\n"},
    };
    for (const File& f : files)
        if (!write_file(dir + f.path, f.content)) {
            err = std::string("write ") + dir + f.path + ": " + std::strerror(errno);
            return false;
        }
    if (!factory_db.empty()) {
        if (!copy_file(factory_db, dir + "/opt/KVT7400/ini_files/db.sqlite3") ||
            !copy_file(factory_db, dir + "/opt/KVT7400/db.sqlite3")) {
            err = "copy " + factory_db + ": " + std::strerror(errno);
            return false;
        }
    }
    return board_create(dir, err);
}

}  // namespace simboard
