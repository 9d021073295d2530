// kvtctl: the web UI's side of the service, for people and tests. Sends
// command texts on the service's message queue and reads the live values,
// status logs and request flags from the shared tables, as the web UI does.
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "codes.h"
#include "monitor_table.h"
#include "settings_table.h"

#include "kvtctl_config.h"
#include "kvtctl_files.h"
#include "sim_board.h"

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAIL = 1;
constexpr int EXIT_USAGE = 2;

const char USAGE[] =
    "usage: kvtctl [-r ROOT] COMMAND [ARGS]\n"
    "\n"
    "ROOT is the simulator's sandbox (default $KVT_ROOT; without either, the\n"
    "appliance itself: queue key ./msgq.key, tables in /tmp).\n"
    "\n"
    "Commands to the service (message queue):\n"
    "  send TEXT                   any command text, e.g. '29,1,15,'\n"
    "  relay N toggle              switch relay output N (1-8) over\n"
    "  relay N pulse SECONDS       pulse relay output N for SECONDS\n"
    "  clear-log all|dio           empty the status log\n"
    "  export-log all|dio          write the status log CSV under /log/state_log\n"
    "  restart                     restart the appliance\n"
    "  update                      end the service for a software update\n"
    "  simulate make|load|stop     simulation file: write it, load it, stop using it\n"
    "  snmp-user N NAME AUTH PRIV ro|rw on|off\n"
    "                              SNMPv3 user N (1-8); AUTH none, SHA, SHA-224,\n"
    "                              SHA-256, SHA-384 or SHA-512; PRIV none, AES\n"
    "                              (AES-128), AES-192 or AES-256; the passphrases\n"
    "                              (8 to 64 characters, no comma) are read from\n"
    "                              standard input, authentication then privacy,\n"
    "                              one per line\n"
    "  snmp-v1v2c on|off           SNMPv1/v2c requests answered or not\n"
    "  mqtt UNIT HOST PORT USER off|tls|tls-client [CAFILE [CERTFILE KEYFILE]]\n"
    "                              the MQTT broker and unit; USER - for none; the\n"
    "                              password (none: an empty line) is read from\n"
    "                              standard input; tls checks the broker's\n"
    "                              certificate against CAFILE (appliance path;\n"
    "                              default the system's CA bundle), tls-client\n"
    "                              also presents CERTFILE and KEYFILE\n"
    "  export-settings, import-settings, file-flag   settings files (see kvtctl export-settings --help)\n"
    "  config KIND [N] [FIELD=VALUE ...]\n"
    "                              print a configuration record, or change fields\n"
    "                              as the web UI does and wait for the save\n"
    "                              (kvtctl config --help lists kinds and fields)\n"
    "\n"
    "Reading the shared tables:\n"
    "  show [KIND] [--all]         live values and states; KIND is dio, ai, temp,\n"
    "                              humid, vlxa, nx40 or all; --all also lists\n"
    "                              channels without a reading\n"
    "  log [all|dio] [--last N]    status log entries, oldest first\n"
    "  flags [NAME]                request flags (one flag's value with NAME)\n"
    "  flags set NAME VALUE        write a request flag, as the web UI does\n"
    "  watch [SECONDS] [--count N] refreshing view (default every 1 s, until ^C)\n"
    "\n"
    "A command sent while the service is not running waits in the queue until\n"
    "it starts (said on standard error).\n"
    "\n"
    "Exit status: 0 ok, 1 failure, 2 usage.\n";

int usage_error(const std::string& why)
{
    std::fprintf(stderr, "kvtctl: %s\n%s", why.c_str(), USAGE);
    return EXIT_USAGE;
}

bool parse_int(const std::string& s, long lo, long hi, long* out)
{
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

// ---- The queue ------------------------------------------------------------

// The simulated board's run indication: 1 once the service has started, 0
// once it has stopped. Without a sandbox (the appliance) nothing is said.
void warn_when_not_running(const std::string& root)
{
    if (root.empty()) return;
    simboard::Mapping m;
    std::string err;
    if (!simboard::board_map(root, m, err)) return;
    const bool running = simboard::line_level(m.hdr, BOARD::RUN) != 0;
    simboard::board_unmap(m);
    if (!running)
        std::fprintf(stderr, "kvtctl: the service is not running (run indication off); the command waits in the "
                             "queue until it starts\n");
}

int send_text(const std::string& root, const std::string& text)
{
    warn_when_not_running(root);
    std::string keyfile = root.empty() ? std::string("msgq.key") : root + "/msgq.key";
    key_t key = ftok(keyfile.c_str(), 'X');
    if (key == -1) {
        std::fprintf(stderr, "kvtctl: ftok %s: %s\n", keyfile.c_str(), std::strerror(errno));
        return EXIT_FAIL;
    }
    // The service makes the queue; a command sent before it starts waits in
    // a queue made here.
    int qid = msgget(key, 0);
    if (qid == -1) qid = msgget(key, IPC_CREAT | 0666);
    if (qid == -1) {
        std::fprintf(stderr, "kvtctl: msgget for %s: %s\n", keyfile.c_str(), std::strerror(errno));
        return EXIT_FAIL;
    }
    std::vector<char> buf(sizeof(long) + text.size() + 1);
    long type = 1;
    std::memcpy(buf.data(), &type, sizeof type);
    std::memcpy(buf.data() + sizeof type, text.c_str(), text.size() + 1);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        if (msgsnd(qid, buf.data(), text.size() + 1, IPC_NOWAIT) == 0) return EXIT_OK;
        if (errno != EAGAIN || std::chrono::steady_clock::now() > deadline) {
            std::fprintf(stderr, "kvtctl: msgsnd on %s: %s\n", keyfile.c_str(),
                         errno == EAGAIN ? "queue stays full (is the service running?)" : std::strerror(errno));
            return EXIT_FAIL;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// The command text of a named action; "" with *err set when the arguments
// do not fit.
std::string named_command(const std::vector<std::string>& a, std::string* err)
{
    const std::string& cmd = a[0];
    auto want = [&](size_t n) {
        if (a.size() != n) *err = cmd + ": wrong number of arguments";
        return a.size() == n;
    };
    if (cmd == "relay") {
        long n = 0, secs = 0;
        if (a.size() < 3 || !parse_int(a[1], 1, 8, &n)) {
            *err = "relay: N must be 1 to 8";
            return "";
        }
        if (a[2] == "toggle" && want(3)) return "3," + std::to_string(n + 7) + ",0,";
        if (a[2] == "pulse" && want(4)) {
            if (!parse_int(a[3], 1, 3600, &secs)) {
                *err = "relay pulse: SECONDS must be 1 to 3600";
                return "";
            }
            return "3," + std::to_string(n + 7) + "," + std::to_string(secs) + ",";
        }
        if (err->empty()) *err = "relay: toggle or pulse SECONDS";
        return "";
    }
    if (cmd == "clear-log" || cmd == "export-log") {
        if (!want(2)) return "";
        bool clear = cmd == "clear-log";
        if (a[1] == "all") return clear ? "31,3," : "31,1,";
        if (a[1] == "dio") return clear ? "31,4," : "31,2,";
        *err = cmd + ": all or dio";
        return "";
    }
    if (cmd == "restart") return want(1) ? "60,7," : "";
    if (cmd == "update") return want(1) ? "60,4," : "";
    if (cmd == "simulate") {
        if (!want(2)) return "";
        if (a[1] == "make") return "61,1,";
        if (a[1] == "load") return "61,2,";
        if (a[1] == "stop") return "61,3,";
        *err = "simulate: make, load or stop";
        return "";
    }
    if (cmd == "snmp-v1v2c") {
        if (!want(2)) return "";
        if (a[1] == "on") return "63,1,";
        if (a[1] == "off") return "63,0,";
        *err = "snmp-v1v2c: on or off";
        return "";
    }
    *err = "unknown command " + cmd;
    return "";
}

// Position of `name` in a list of protocol names, or -1.
int protocol_number(const std::string& name, std::initializer_list<std::initializer_list<const char*>> names)
{
    int n = 0;
    for (const auto& aliases : names) {
        for (const char* alias : aliases)
            if (name == alias) return n;
        ++n;
    }
    return -1;
}

// Command 62 from "snmp-user N NAME AUTH PRIV ro|rw on|off" and the
// passphrases on `in`; "" with *err set when something does not fit. The
// passphrases are never part of a message.
std::string user_command(const std::vector<std::string>& a, std::FILE* in, std::string* err)
{
    long n = 0;
    if (a.size() != 7) {
        *err = "snmp-user: N NAME AUTH PRIV ro|rw on|off";
        return "";
    }
    const int auth = protocol_number(a[3], {{"none"}, {"SHA", "SHA-1"}, {"SHA-224"}, {"SHA-256"}, {"SHA-384"}, {"SHA-512"}});
    const int priv = protocol_number(a[4], {{"none"}, {"AES", "AES-128"}, {"AES-192"}, {"AES-256"}});
    if (!parse_int(a[1], 1, 8, &n)) *err = "snmp-user: N must be 1 to 8";
    else if (a[2].empty() || a[2].size() > 32 || a[2].find(',') != std::string::npos)
        *err = "snmp-user: NAME must be 1 to 32 characters without a comma";
    else if (auth < 0) *err = "snmp-user: AUTH must be none, SHA, SHA-224, SHA-256, SHA-384 or SHA-512";
    else if (priv < 0) *err = "snmp-user: PRIV must be none, AES, AES-192 or AES-256";
    else if (auth == 0 && priv != 0) *err = "snmp-user: privacy needs authentication";
    else if (a[5] != "ro" && a[5] != "rw") *err = "snmp-user: access ro or rw";
    else if (a[6] != "on" && a[6] != "off") *err = "snmp-user: on or off";
    if (!err->empty()) return "";
    auto passphrase = [&](bool wanted, const char* what) {
        if (!wanted) return std::string();
        char line[256];
        std::string p;
        if (std::fgets(line, sizeof line, in)) p = line;
        while (!p.empty() && (p.back() == '\n' || p.back() == '\r')) p.pop_back();
        if (p.size() < 8 || p.size() > 64 || p.find(',') != std::string::npos)
            *err = std::string("snmp-user: the ") + what + " passphrase (standard input) must be 8 to 64 characters without a comma";
        return p;
    };
    const std::string auth_pass = passphrase(auth != 0, "authentication");
    const std::string priv_pass = err->empty() ? passphrase(priv != 0, "privacy") : "";
    if (!err->empty()) return "";
    return "62," + std::to_string(n) + "," + a[2] + "," + std::to_string(auth) + "," + auth_pass + "," +
           std::to_string(priv) + "," + priv_pass + "," + (a[5] == "rw" ? "1" : "0") + "," + (a[6] == "on" ? "1" : "0") +
           ",";
}

// Command 37 from "mqtt UNIT HOST PORT USER MODE [CAFILE [CERTFILE KEYFILE]]"
// and the password on `in`; "" with *err set when something does not fit.
std::string mqtt_command(const std::vector<std::string>& a, std::FILE* in, std::string* err)
{
    long unit = 0, port = 0;
    const int mode = a.size() > 5 ? protocol_number(a[5], {{"off"}, {"tls"}, {"tls-client"}}) : -1;
    const std::string user = a.size() > 4 && a[4] != "-" ? a[4] : "";
    bool commas = false, relative = false;
    for (size_t i = 1; i < a.size(); ++i) commas = commas || a[i].find(',') != std::string::npos;
    for (size_t i = 6; i < a.size(); ++i) relative = relative || a[i].empty() || a[i][0] != '/';
    if (a.size() < 6 || a.size() > 9 || a.size() == 8) *err = "mqtt: UNIT HOST PORT USER off|tls|tls-client [CAFILE [CERTFILE KEYFILE]]";
    else if (!parse_int(a[1], 0, 9999, &unit)) *err = "mqtt: UNIT must be 0 to 9999";
    else if (!parse_int(a[3], 1, 65535, &port)) *err = "mqtt: PORT must be 1 to 65535";
    else if (mode < 0) *err = "mqtt: off, tls or tls-client";
    else if (commas) *err = "mqtt: no value may hold a comma";
    else if (relative) *err = "mqtt: certificate and key files are absolute appliance paths";
    else if (mode == 0 && a.size() > 6) *err = "mqtt: off takes no files";
    else if (mode == 2 && a.size() != 9) *err = "mqtt: tls-client needs CAFILE CERTFILE KEYFILE";
    else if (mode == 1 && a.size() > 7) *err = "mqtt: tls takes only CAFILE";
    if (!err->empty()) return "";
    char line[256];
    std::string pwd;
    if (std::fgets(line, sizeof line, in)) pwd = line;
    while (!pwd.empty() && (pwd.back() == '\n' || pwd.back() == '\r')) pwd.pop_back();
    if (pwd.size() > 31 || pwd.find(',') != std::string::npos) {
        *err = "mqtt: the password (standard input) must be at most 31 characters without a comma";
        return "";
    }
    auto arg = [&](size_t i) { return i < a.size() ? a[i] : std::string(); };
    return "37,0," + std::to_string(unit) + "," + a[2] + "," + std::to_string(port) + "," + user + "," + pwd + "," +
           std::to_string(mode) + "," + arg(6) + "," + arg(7) + "," + arg(8) + ",";
}

// ---- The shared tables ----------------------------------------------------

template <typename T>
struct Mapped {
    T* p = nullptr;
    size_t len = 0;
    ~Mapped()
    {
        if (p) munmap(p, len);
    }
};

template <typename T>
bool map_table(const std::string& root, const char* name, bool writable, Mapped<T>& m)
{
    std::string path = (root.empty() ? std::string("/tmp/") : root + "/tmp/") + name;
    int fd = open(path.c_str(), writable ? O_RDWR : O_RDONLY);
    if (fd < 0) {
        std::fprintf(stderr, "kvtctl: open %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || static_cast<size_t>(st.st_size) < sizeof(T)) {
        std::fprintf(stderr, "kvtctl: %s is not a table of %zu bytes (is the service running?)\n", path.c_str(),
                     sizeof(T));
        close(fd);
        return false;
    }
    void* p = mmap(nullptr, sizeof(T), writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED) {
        std::fprintf(stderr, "kvtctl: mmap %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    m.p = static_cast<T*>(p);
    m.len = sizeof(T);
    return true;
}

// Names of the state codes, indexed by code.
const char* state_name(int s)
{
    static const char* const NAMES[] = {"none",          "normal",        "caution",     "alert",      "error",
                                        "upper-alert", "upper-caution", "lower-caution", "lower-alert"};
    return s >= STATE::NONE && s <= STATE::LOWER_ALERT ? NAMES[s] : "?";
}

void print_element(const char* kind, int port, const char* part, const MONITOR_TABLE::SensorElement& e, bool all)
{
    if (!all && e.value == SETTINGS_TABLE::VALUE_ERROR && e.status == STATE::NONE) return;
    char value[16];
    if (e.value == SETTINGS_TABLE::VALUE_ERROR) std::snprintf(value, sizeof value, "---");
    else std::snprintf(value, sizeof value, "%d", e.value);
    std::printf("%-6s %4d %-5s %10s  %d %s\n", kind, port, part, value, e.status, state_name(e.status));
}

const char* const KINDS[] = {"dio", "ai", "temp", "humid", "vlxa", "nx40"};

bool known_kind(const std::string& k)
{
    if (k == "all") return true;
    for (const char* n : KINDS)
        if (k == n) return true;
    return false;
}

void print_live(const MONITOR_TABLE::Sensor_condition& c, const std::string& kind, bool all)
{
    auto want = [&](const char* k) { return kind == "all" || kind == k; };
    std::printf("%-6s %4s %-5s %10s  %s\n", "kind", "port", "part", "value", "state");
    if (want("dio"))
        for (int i = 0; i < 16; ++i) print_element("dio", i + 1, i < 8 ? "in" : "relay", c.digitalio[i], true);
    if (want("ai"))
        for (int i = 0; i < 8; ++i) print_element("ai", i + 1, "", c.analog[i], all);
    if (want("temp"))
        for (int i = 0; i < 128; ++i) print_element("temp", i + 1, "", c.onewire_temperature[i], all);
    if (want("humid"))
        for (int i = 0; i < 16; ++i) print_element("humid", i + 1, "", c.onewire_humidity[i], all);
    if (want("vlxa"))
        for (int i = 0; i < 50; ++i) {
            print_element("vlxa", i + 1, "temp", c.veloxa[i].sensor_temperature, all);
            print_element("vlxa", i + 1, "humid", c.veloxa[i].sensor_humidity, all);
            print_element("vlxa", i + 1, "batt", c.veloxa[i].sensor_battery, all);
        }
    if (want("nx40"))
        for (int i = 0; i < 100; ++i) {
            print_element("nx40", i + 1, "temp", c.kvt_nx40[i].sensor_temperature, all);
            print_element("nx40", i + 1, "batt", c.kvt_nx40[i].sensor_battery, all);
        }
}

// Entries of a ring from r to w, as the web UI walks it; false when the
// indices do not belong to the ring.
bool ring_entries(const MONITOR_TABLE::StatusEntry* e, int cap, int r, int w,
                  std::vector<MONITOR_TABLE::StatusEntry>& out)
{
    if (r < 0 || r >= cap || w < 0 || w >= cap) return false;
    for (int i = r; i != w; i = (i + 1) % cap) out.push_back(e[i]);
    return true;
}

void print_entries(const std::vector<MONITOR_TABLE::StatusEntry>& v, size_t last)
{
    size_t from = last && v.size() > last ? v.size() - last : 0;
    for (size_t i = from; i < v.size(); ++i) {
        const auto& e = v[i];
        time_t t = e.time;
        struct tm lt;
        localtime_r(&t, &lt);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S", &lt);
        std::printf("%s  kind %d port %d  %d %-13s value %d\n", stamp, e.type, e.port, e.state, state_name(e.state),
                    e.value);
    }
}

int show_log(const MONITOR_TABLE::Status_Log& log, const std::string& which, size_t last)
{
    std::vector<MONITOR_TABLE::StatusEntry> v;
    bool ok = which == "dio" ? ring_entries(log.dio_status_log.dio, MONITOR_TABLE::DIO_LOG_NUM, log.dio_status_log.r,
                                            log.dio_status_log.w, v)
                             : ring_entries(log.all_status_log.all, MONITOR_TABLE::ALL_LOG_NUM, log.all_status_log.r,
                                            log.all_status_log.w, v);
    if (!ok) {
        std::fprintf(stderr, "kvtctl: %s status log indices out of range\n", which.c_str());
        return EXIT_FAIL;
    }
    print_entries(v, last);
    return EXIT_OK;
}

#define FLAG(n) {#n, offsetof(MONITOR_TABLE::RequestFlg, n)}
const struct {
    const char* name;
    size_t offset;
} FLAGS[] = {
    FLAG(digitalio_set_configuration), FLAG(analog_set_configuration), FLAG(onewire_temperature_set_configuration),
    FLAG(onewire_humidity_set_configuration), FLAG(veloxa_set_configuration), FLAG(kvt_nx40_set_configuration),
    FLAG(trend_set_configuration), FLAG(network_set_configuration), FLAG(snmp_set_configuration),
    FLAG(snmp_trap_set_configuration), FLAG(time_set_configuration), FLAG(mqtt_set_configuration),
    FLAG(mail_set_configuration), FLAG(mail_client_set_configuration), FLAG(mail_report_set_configuration),
    FLAG(syslog_configuration), FLAG(onewire_id_flg), FLAG(state_log_flg), FLAG(ai_connection), FLAG(is_7400),
    FLAG(ini_account),
};
#undef FLAG

int32_t* flag_at(MONITOR_TABLE::RequestFlg* f, size_t off)
{
    return reinterpret_cast<int32_t*>(reinterpret_cast<char*>(f) + off);
}

int flags_command(const std::string& root, const std::vector<std::string>& a)
{
    bool set = a.size() >= 2 && a[1] == "set";
    if (set && a.size() != 4) return usage_error("flags set NAME VALUE");
    if (!set && a.size() > 2) return usage_error("flags [NAME]");
    const std::string name = set ? a[2] : a.size() == 2 ? a[1] : "";
    long value = 0;
    if (set && !parse_int(a[3], -2147483648L, 2147483647L, &value)) return usage_error("flags set: VALUE is a number");
    int idx = -1;
    for (size_t i = 0; i < sizeof FLAGS / sizeof FLAGS[0]; ++i)
        if (name == FLAGS[i].name) idx = static_cast<int>(i);
    if (!name.empty() && idx < 0) return usage_error("no request flag named " + name);
    Mapped<MONITOR_TABLE::RequestFlg> m;
    if (!map_table(root, "mmapfile_flg", set, m)) return EXIT_FAIL;
    if (set) {
        *flag_at(m.p, FLAGS[idx].offset) = static_cast<int32_t>(value);
        return EXIT_OK;
    }
    if (idx >= 0) {
        std::printf("%d\n", *flag_at(m.p, FLAGS[idx].offset));
        return EXIT_OK;
    }
    for (const auto& f : FLAGS) std::printf("%-40s %d\n", f.name, *flag_at(m.p, f.offset));
    return EXIT_OK;
}

int watch_command(const std::string& root, double seconds, long count)
{
    Mapped<MONITOR_TABLE::Sensor_condition> live;
    Mapped<MONITOR_TABLE::RequestFlg> flg;
    Mapped<MONITOR_TABLE::Status_Log> log;
    if (!map_table(root, "mmapfile_monitor", false, live) || !map_table(root, "mmapfile_flg", false, flg) ||
        !map_table(root, "mmapfile_status", false, log))
        return EXIT_FAIL;
    bool tty = isatty(STDOUT_FILENO);
    for (long n = 0; count == 0 || n < count; ++n) {
        if (n > 0) std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<long>(seconds * 1000)));
        if (tty) std::printf("\033[H\033[2J");
        time_t now = time(nullptr);
        std::printf("kvtctl watch  %s", std::ctime(&now));
        std::printf("inputs ");
        for (int i = 0; i < 8; ++i) std::printf(" %d", live.p->digitalio[i].value);
        std::printf("   relays");
        for (int i = 8; i < 16; ++i) std::printf(" %d", live.p->digitalio[i].value);
        std::printf("\n");
        print_live(*live.p, "ai", false);
        std::printf("flags set:");
        for (const auto& f : FLAGS)
            if (*flag_at(flg.p, f.offset) != 0) std::printf(" %s=%d", f.name, *flag_at(flg.p, f.offset));
        std::printf("\nlatest status log:\n");
        show_log(*log.p, "all", 5);
        std::printf("----\n");
        std::fflush(stdout);
    }
    return EXIT_OK;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string root;
    if (const char* env = std::getenv("KVT_ROOT")) root = env;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (args.empty() && (a == "-h" || a == "--help")) {
            std::fputs(USAGE, stdout);
            return EXIT_OK;
        }
        if (args.empty() && a == "-r") {
            if (i + 1 >= argc) return usage_error("-r needs the sandbox root");
            root = argv[++i];
            continue;
        }
        args.push_back(a);
    }
    if (args.empty()) return usage_error("no command");
    const std::string& cmd = args[0];

    if (cmd == "send") {
        if (args.size() != 2) return usage_error("send TEXT");
        return send_text(root, args[1]);
    }
    if (cmd == "show") {
        std::string kind = "all";
        bool all = false;
        for (size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--all") all = true;
            else if (known_kind(args[i])) kind = args[i];
            else return usage_error("show: unknown kind " + args[i]);
        }
        Mapped<MONITOR_TABLE::Sensor_condition> m;
        if (!map_table(root, "mmapfile_monitor", false, m)) return EXIT_FAIL;
        print_live(*m.p, kind, all);
        return EXIT_OK;
    }
    if (cmd == "log") {
        std::string which = "all";
        long last = 0;
        for (size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "all" || args[i] == "dio") which = args[i];
            else if (args[i] == "--last" && i + 1 < args.size() && parse_int(args[i + 1], 1, 100000, &last)) ++i;
            else return usage_error("log [all|dio] [--last N]");
        }
        Mapped<MONITOR_TABLE::Status_Log> m;
        if (!map_table(root, "mmapfile_status", false, m)) return EXIT_FAIL;
        return show_log(*m.p, which, static_cast<size_t>(last));
    }
    if (cmd == "flags") return flags_command(root, args);
    if (cmd == "watch") {
        double seconds = 1;
        long count = 0;
        for (size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--count" && i + 1 < args.size() && parse_int(args[i + 1], 1, 1000000, &count)) {
                ++i;
                continue;
            }
            char* end = nullptr;
            seconds = std::strtod(args[i].c_str(), &end);
            if (*end != '\0' || !(seconds > 0 && seconds <= 3600)) return usage_error("watch [SECONDS] [--count N]");
        }
        return watch_command(root, seconds, count);
    }
    if (cmd == "config")
        return kvtctl_config::command(root, args, [&](const std::string& text) { return send_text(root, text); });
    if (cmd == "export-settings" || cmd == "import-settings" || cmd == "file-flag") {
        return kvtctl_file_command(root, args);
    }
    std::string err;
    std::string text = cmd == "snmp-user" ? user_command(args, stdin, &err)
                       : cmd == "mqtt"    ? mqtt_command(args, stdin, &err)
                                          : named_command(args, &err);
    if (text.empty()) return usage_error(err);
    return send_text(root, text);
}
