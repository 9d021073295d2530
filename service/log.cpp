// Application log and the small helpers every activity uses.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "common.h"
#include "platform.h"
#include "sysadmin.h"

namespace {

std::mutex applog_mutex;  // size test, rotation and append are one step

constexpr long APPLOG_ROTATE_SIZE = 99999;  // rotate once the file exceeds this

}  // namespace

int applog(const std::string& message)
{
    std::lock_guard<std::mutex> lock(applog_mutex);
    mkdir(kvt_path("/log/app_log").c_str(), 0777);
    if (get_file_size("/log/app_log/applog1.txt") > APPLOG_ROTATE_SIZE) {
        std::remove(kvt_path("/log/app_log/applog8.txt").c_str());
        for (int g = 7; g >= 1; --g) {
            std::string from = "/log/app_log/applog" + std::to_string(g) + ".txt";
            std::string to = "/log/app_log/applog" + std::to_string(g + 1) + ".txt";
            std::rename(kvt_path(from).c_str(), kvt_path(to).c_str());
        }
    }
    FILE* f = std::fopen(kvt_path("/log/app_log/applog1.txt").c_str(), "a");
    if (!f) return 0;
    time_t now = time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S", &lt);
    std::string line = std::string("<") + stamp + "> " + message + "\n";
    std::fwrite(line.data(), 1, line.size(), f);
    std::fclose(f);
    return 0;
}

long get_file_size(const std::string& path)
{
    FILE* f = std::fopen(kvt_path(path).c_str(), "rb");
    if (!f) return -1;
    long size = 0;
    char buf[8192];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) size += static_cast<long>(n);
    bool failed = std::ferror(f);
    std::fclose(f);
    return failed ? -1 : size;
}

int exist_file(const std::string& path)
{
    std::string real = kvt_path(path);
    for (int attempt = 0; attempt < 3; ++attempt) {
        struct stat st;
        if (stat(real.c_str(), &st) == 0 && st.st_size > 0) return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 1;
}

long timer_remaining_us(int tm_sec, long nsec)
{
    return static_cast<long>((60 - tm_sec) * 1000000.0 - nsec * 0.001);
}

long timer_slices(long remaining_us)
{
    if (remaining_us < -99999) return 0;
    return static_cast<long>(std::floor(remaining_us / 100000.0)) + 1;
}

int timer()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm lt;
    localtime_r(&ts.tv_sec, &lt);
    // The whole slices in one wait: it ends just after the minute boundary
    // as slice by slice did, and at once when the service stops.
    const long slices = timer_slices(timer_remaining_us(lt.tm_sec, ts.tv_nsec));
    if (slices > 0) sleep_while_running(static_cast<int>(slices * 100));
    return 0;
}

int check_ban_char(const char* text)
{
    // The percent sign stands twice, as in the web UI's list.
    static const char BANNED[] = {'!', '"', '$', '%', '%', '&', '\'', '*', ',',
                                  ':', ';', '=', '?', '\\', '^', '`', '|', '~'};
    if (!text) return 0;
    for (char c : BANNED)
        if (std::strchr(text, c)) return 1;
    return 0;
}

int reboot()
{
    stop_running();
    rebootflg = 1;
    applog("再起動します");
    return 0;
}

// ---- System actions: syslog, NTP, clock, versions, factory resets, web
// session policy. Each rewrites one system file from the settings and
// restarts the system service concerned; the rules are text to text.

bool read_text_file(const std::string& path, std::string& text)
{
    FILE* f = std::fopen(kvt_path(path).c_str(), "rb");
    if (!f) return false;
    text.clear();
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    std::fclose(f);
    return true;
}

namespace {

// One whole-file writer at a time: two writers of one file would share its
// partial copy.
std::mutex write_mutex;

}  // namespace

bool write_all(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void report(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    applog(line);
}

void report_error(const std::string& what, const std::string& object, int err)
{
    std::string line = what + " " + object;
    if (err != 0) line += std::string(": ") + std::strerror(err);
    report(line);
}

bool write_text_file(const std::string& path, const std::string& text)
{
    // The new text goes to a partial copy beside the file, reaches the
    // medium, and only then replaces the file: a full disk or a power cut
    // leaves the old file whole instead of cut off.
    std::lock_guard<std::mutex> lock(write_mutex);
    const std::string real = kvt_path(path);
    const std::string partial = real + ".new";
    auto fail = [&](const char* step, int err, int fd) {
        if (fd >= 0) ::close(fd);
        std::remove(partial.c_str());
        report_error(std::string("write_text_file: ") + step, path, err);
        return false;
    };
    int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return fail("open", errno, -1);
    if (!write_all(fd, text)) return fail("write", errno, fd);
    if (::fsync(fd) != 0) return fail("fsync", errno, fd);
    if (::close(fd) != 0) return fail("close", errno, -1);
    if (std::rename(partial.c_str(), real.c_str()) != 0) return fail("rename", errno, -1);
    // The rename itself is only durable once the directory is.
    size_t slash = real.find_last_of('/');
    int dir = ::open(slash == std::string::npos ? "." : real.substr(0, slash + 1).c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

namespace {

// Lines with their newline kept; a last line without one is a line too.
std::vector<std::string> text_lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        size_t next = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(pos, next - pos));
        pos = next;
    }
    return lines;
}

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

std::string first_line(const std::string& text)
{
    std::string line = text.substr(0, text.find('\n'));
    if (line.size() > 511) line.resize(511);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// An unreadable switch counts as off: "set" would start a reset.
bool dip_set(int position)
{
    int v = 1;
    board_read(BOARD::DIP[position - 1], &v);
    return v == 0;  // a switch that is on pulls its line low
}

}  // namespace

namespace SYSADMIN {

std::string syslog_rewrite(const std::string& old_text, const SETTINGS_TABLE::Syslog& s)
{
    std::string options = s.destination != 0
                              ? "OPTIONS=\"-R " + std::string(s.ipaddr) + ":" + std::to_string(s.port) + "\"\n"
                              : std::string("OPTIONS=\"-O /opt/syslog/messages -s 200 -b 7\"\n");
    std::string out;
    for (const std::string& line : text_lines(old_text))
        out += (line[0] != '#' && starts_with(line, "OPTIONS")) ? options : line;
    return out;
}

std::string ntp_rewrite(const std::string& old_text, const SETTINGS_TABLE::Time& t)
{
    std::string out;
    bool replaced = false;
    for (const std::string& line : text_lines(old_text)) {
        if (line[0] == '#' || !starts_with(line, "server")) {
            out += line;
            continue;
        }
        if (replaced) continue;
        replaced = true;
        std::string servers;
        for (const auto& name : t.ntp)
            if (name[0]) servers += std::string("server ") + name + "\n";
        out += servers.empty() ? "server 127.127.1.0\n" : servers;
    }
    return out;
}

std::string date_command(const SETTINGS_TABLE::Time& t)
{
    char cmd[96];
    std::snprintf(cmd, sizeof cmd, "date %02d%02d%02d%02d%4d.%02d", t.month, t.day, t.hour, t.minute, t.year,
                  t.second);
    return cmd;
}

std::string revision_text(int reg)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X%02X", (reg >> 8) & 0xFF, reg & 0xFF);
    return text;
}

std::string version_from_package_line(const std::string& line)
{
    std::string l = first_line(line);
    size_t dash = l.find('-');
    if (dash == std::string::npos || dash + 2 > l.size()) return "";
    std::string rest = l.substr(dash + 2);
    size_t cut = rest.find('-');
    return cut == std::string::npos ? rest : rest.substr(0, cut);
}

std::string updatetime_from_line(const std::string& line)
{
    std::string l = first_line(line);
    return l.substr(0, l.find('.'));
}

std::string session_merge(const std::string& settings_py, const std::string& session)
{
    std::string s = session;
    if (!s.empty() && s.back() != '\n') s += '\n';  // the next line must not run on
    std::string out;
    for (const std::string& line : text_lines(settings_py)) {
        if (starts_with(line, "SESSION_EXPIRE_AT_BROWSER_CLOSE"))
            out += s;
        else if (!starts_with(line, "SESSION_COOKIE_AGE") && !starts_with(line, "SESSION_SAVE_EVERY_REQUEST"))
            out += line;
    }
    return out;
}

}  // namespace SYSADMIN

int syslog_sh()
{
    const char* path = "/etc/default/busybox-syslog";
    std::string old_text;
    if (!read_text_file(path, old_text)) {
        report_error("syslog_sh: read", path, errno);
        return -1;
    }
    std::string text = SYSADMIN::syslog_rewrite(old_text, admin_settings.syslog);
    std::printf("%s", text.c_str());
    // A file that could not be written is left as it was, and so is the
    // running syslog daemon.
    if (!write_text_file(path, text)) return -1;
    kvt_system("systemctl restart busybox-syslog");
    return 0;
}

int ntp_sh()
{
    const char* path = "/etc/ntp.conf";
    kvt_system("systemctl stop ntpd");
    std::string old_text;
    int result = 0;
    if (!read_text_file(path, old_text)) {
        report_error("ntp_sh: read", path, errno);
        result = -1;
    } else if (!write_text_file(path, SYSADMIN::ntp_rewrite(old_text, admin_settings.time))) {
        result = -1;
    }
    // The clock keeps its time service whatever became of the file.
    kvt_system("systemctl start ntpd");
    return result;
}

int date_sh()
{
    kvt_system(SYSADMIN::date_command(admin_settings.time));
    kvt_system("hwclock -w --utc");
    return 0;
}

int get_hardware_revisions(char* text)
{
    std::string rev = SYSADMIN::revision_text(fpga_word_read(fpga_reg(BOARD::REG_REVISION)));
    std::memcpy(text, rev.c_str(), rev.size() + 1);
    return 0;
}

int version_sh()
{
    char rev[8];
    get_hardware_revisions(rev);
    if (!write_text_file("/tmp/version.txt", std::string(rev) + "\n")) return -1;
    copy_text(hardware_ver, rev);

    kvt_system("opkg list |grep kvt7400sys > /tmp/sysver.txt");
    std::string sysver;
    if (!read_text_file("/tmp/sysver.txt", sysver)) return -1;
    copy_text(software_ver, SYSADMIN::version_from_package_line(sysver));

    const char* uptime = "/log/uptime.txt";
    if (exist_file(uptime) != 0) write_text_file(uptime, "---.");
    std::string up;
    if (!read_text_file(uptime, up)) return -1;
    copy_text(updatetime, SYSADMIN::updatetime_from_line(up));
    return 0;
}

int db_copy()
{
    if (exist_file("/opt/KVT7400/db.sqlite3") == 0) {
        applog("exist DB");
        std::printf("exists /opt/KVT7400/db.sqlite3\n");
    } else {
        applog("copy DB");
        kvt_system("cp -f /opt/KVT7400/ini_files/db.sqlite3 /opt/KVT7400/db.sqlite3");
    }
    return 0;
}

int read_DIP_SW()
{
    bool account = dip_set(1);
    bool network = dip_set(2);
    bool full = dip_set(3);
    dip_set(4);  // read, no function

    if (account) {
        applog("アカウント設定初期化");
        delete_db();
        if (monitor && monitor->requestflg) monitor->requestflg->ini_account = 1;
    }
    const char* network_copies[] = {
        "cp -f /opt/KVT7400/ini_files/hostname /etc/hostname",
        "cp -f /opt/KVT7400/ini_files/10-eth.network /etc/systemd/network/10-eth.network",
        "cp -f /opt/KVT7400/ini_files/resolv.conf /etc/resolv.conf",
    };
    if (network) {
        applog("ネットワーク設定初期化");
        for (const char* c : network_copies) kvt_system(c);
        kvt_system("systemctl restart systemd-networkd");
        kvt_system("systemctl restart busybox-syslog");
    }
    if (full) {
        close_db();
        applog("全設定初期化");
        kvt_system("cp -f /opt/KVT7400/ini_files/db.sqlite3 /opt/KVT7400/db.sqlite3");
        for (const char* c : network_copies) kvt_system(c);
        kvt_system("systemctl restart systemd-networkd");
        kvt_system("cp -f /opt/KVT7400/ini_files/ntp.conf /etc/ntp.conf");
        kvt_system("systemctl start ntpd");
        kvt_system("cp -f /opt/KVT7400/ini_files/busybox-syslog /etc/default/busybox-syslog");
        kvt_system("systemctl restart busybox-syslog");
        open_db();
    }
    return 0;
}

int session_conf()
{
    const char* settings = "/opt/KVT7400/KVT7400/settings.py";
    std::string session, old_text;
    if (!read_text_file("/opt/kvt/sbin/session.txt", session)) {
        report_error("session_conf: read", "/opt/kvt/sbin/session.txt", errno);
        return -1;
    }
    if (!read_text_file(settings, old_text)) {
        report_error("session_conf: read", settings, errno);
        return -1;
    }
    return write_text_file(settings, SYSADMIN::session_merge(old_text, session)) ? 0 : -1;
}
