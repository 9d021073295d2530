// kvtsim: prepares sandboxes for the simulated board and drives a running
// simulator through its board file, the way a person at the appliance would
// flip an input, a DIP switch or the power switch.
//
// Exit codes: 0 done (a read prints the value alone on a line), 1 the sandbox
// or board could not be used, 2 the command line was wrong.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "../service/mesh_report.h"
#include "kvtsim_ai.h"
#include "kvtsim_demo.h"
#include "kvtsim_ow.h"
#include "kvtsim_value.h"
#include "sim_board.h"

#ifndef KVT_FACTORY_DB
#define KVT_FACTORY_DB ""
#endif

namespace {

const char* USAGE =
    "usage: kvtsim init [--demo] DIR\n"
    "       kvtsim [-r DIR] COMMAND [ARGS]\n"
    "\n"
    "DIR is a sandbox root; without -r, $KVT_ROOT is used.\n"
    "\n"
    "commands (a value argument sets, none reads and prints):\n"
    "  init DIR               make a sandbox: appliance directories, system files,\n"
    "                         factory database, the mail script (sends to a\n"
    "                         loopback SMTP server) and a board with both model\n"
    "                         straps at 1, DIP switches off and the power switch at 0\n"
    "  init --demo DIR        the same, then set up to show every kind of channel:\n"
    "                         analog inputs 1-3 (4-20 mA, 12 mA sources), digital\n"
    "                         inputs and relays 1-4 announced, 1-Wire probes Temp1\n"
    "                         and Humid1 on bus 0, NX40 0a:1b:2c and VLXA\n"
    "                         00170d00003eab12 reporting, SNMP and trap receiver 1\n"
    "                         on 127.0.0.1 (community public), MQTT broker\n"
    "                         127.0.0.1:1883 and mail server 127.0.0.1:2525\n"
    "                         ($KVT_MQTT_PORT, $KVT_SMTP_PORT name other ports)\n"
    "  gpio CHIP LINE [0|1]   a line of GPIO chip 1, 2 or 3\n"
    "  fpga ADDR [BYTE]       an FPGA register (offset 0x004 or address 0x51000004);\n"
    "                         a read prints the byte in hex (0x34)\n"
    "  fpga-log               FPGA register writes made by the service, oldest first\n"
    "  di N [0|1]             digital input N (1-8)\n"
    "  relay N                relay output N (1-8), as the service drives it\n"
    "  power-switch [0|1]     the power switch; 1 asks the service to shut down and\n"
    "                         stays on, so a later start shuts down at once: turn\n"
    "                         it off with power-switch 0 before the next start\n"
    "  press                  press the power switch and let go once the service\n"
    "                         is shutting down (its run indication went to 0)\n"
    "  run                    the run indication line (1 once start-up is complete)\n"
    "  dip N [0|1]            DIP switch N (1-4); 1 = set (the line reads 0)\n"
    "  straps [A B]           the two model straps (1 1 = KVT-7400)\n"
    "  fault [NAME on|off]    list or switch a board fault: gpio1 gpio2 gpio3\n"
    "                         mem-open mem-map line-io shell (every shell command\n"
    "                         journaled and failed, none carried out)\n"
    "  ai                     the analog board: plugged in or not, then per channel\n"
    "                         \"CH SWITCH SOURCE CODE COUNT\" (CODE: the range code\n"
    "                         the service loaded; COUNT: the conversion result)\n"
    "  ai plug|unplug         plug the analog board in, or pull it\n"
    "  ai CH [SOURCE]         analog channel CH (1-8); SOURCE connects a current\n"
    "                         (12mA), a voltage (3.3V, -2.5V) or nothing (open)\n"
    "  ai CH switch [current|voltage]\n"
    "                         the channel's current/voltage switch\n"
    "  ai CH cal [GV OV GI OI]\n"
    "                         the channel's calibration block: gain and offset of\n"
    "                         the voltage ranges, then of the current range\n"
    "  journal                shell commands the service ran, oldest first\n"
    "  value KIND PORT [V]    live value of any channel of a running service (exit\n"
    "                         1 when no service publishes the live table); a\n"
    "                         read prints \"value status\" (KIND 1-9 or a name:\n"
    "                         dio ai wire-temp wire-humid vlxa-temp vlxa-humid\n"
    "                         vlxa-bat nx40-temp nx40-bat)\n"
    "  ow ...                 1-Wire probes and adapters: add, remove, list, set,\n"
    "                         mute, corrupt, unplug, plug, timing, stats\n"
    "                         (kvtsim ow help)\n"
    "  mesh nx40|vlxa ID [AGE VALUES...]\n"
    "                         report file of a wireless sensor with identifier ID:\n"
    "                         AGE seconds old (or @EPOCH for a report time), then\n"
    "                         temperature and battery (nx40) or temperature,\n"
    "                         humidity and battery (vlxa), in hundredths; without\n"
    "                         values prints the report's first line\n"
    "\n"
    "A read prints the value alone on a line. Exit status: 0 done, 1 the sandbox\n"
    "or its board file cannot be used, 2 the command line is wrong.\n";

int usage_error(const char* why)
{
    std::fprintf(stderr, "kvtsim: %s\n%s", why, USAGE);
    return 2;
}

// base 0 takes 0x... for registers; line and port numbers are decimal so
// that "08" means eight.
bool parse_int(const char* s, long lo, long hi, long& out, int base = 10)
{
    if (!s || !*s) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s, &end, base);
    if (errno == ERANGE) return false;
    if (*end != '\0' || v < lo || v > hi) return false;
    out = v;
    return true;
}

bool parse_level(const char* s, int& out)
{
    long v;
    if (!parse_int(s, 0, 1, v)) return false;
    out = static_cast<int>(v);
    return true;
}

int print_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return 0;  // nothing journaled yet
    std::fputs(std::string(std::istreambuf_iterator<char>(in), {}).c_str(), stdout);
    return 0;
}

struct Board {
    simboard::Mapping m;
    ~Board() { simboard::board_unmap(m); }
};

// Reads or sets one line; `invert` turns the printed/taken level around
// (DIP switches read 0 when set).
int line_cmd(simboard::Header* b, BOARD::Line l, const char* value, bool invert = false)
{
    const int chip = l.chip, line = l.line;
    if (value) {
        int v;
        if (!parse_level(value, v)) return usage_error("level must be 0 or 1");
        b->gpio[chip][line] = static_cast<uint8_t>(invert ? !v : v);
        return 0;
    }
    int v = b->gpio[chip][line] ? 1 : 0;
    std::printf("%d\n", invert ? !v : v);
    return 0;
}

// Writes (or prints) the report file of one wireless sensor, the way the
// mesh collectors keep them. The new report replaces the old one whole.
int mesh_cmd(const std::string& root, const std::vector<const char*>& args)
{
    const char* how = "mesh nx40|vlxa ID [AGE|@EPOCH TEMP BATTERY | AGE|@EPOCH TEMP HUMID BATTERY]";
    if (args.size() < 3) return usage_error(how);
    const bool vlxa = !std::strcmp(args[1], "vlxa");
    if (!vlxa && std::strcmp(args[1], "nx40") != 0) return usage_error(how);
    const std::string rel = MESH::report_path(vlxa ? MESH::VLXA_KIND : MESH::NX40_KIND, args[2]);
    if (rel.empty()) return usage_error("mesh: ID must be a plain identifier (no '/' or '..')");
    const std::string path = root + rel;
    if (args.size() == 3) {
        std::ifstream in(path);
        std::string line;
        if (!std::getline(in, line)) {
            std::fprintf(stderr, "kvtsim: no report at %s\n", path.c_str());
            return 1;
        }
        std::printf("%s\n", line.c_str());
        return 0;
    }
    if (args.size() != (vlxa ? 7u : 6u)) return usage_error(how);
    MESH::Report r;
    long v;
    const char* age = args[3];
    if (age[0] == '@') {
        if (!parse_int(age + 1, 0, 0x7FFFFFFFL, v)) return usage_error("mesh: @EPOCH must be seconds since 1970");
        r.time = v;
    } else {
        if (!parse_int(age, -86400L * 366, 86400L * 366 * 50, v)) return usage_error("mesh: AGE must be seconds");
        r.time = static_cast<long long>(std::time(nullptr)) - v;
    }
    // NX40 reports carry an unused third field before the battery.
    const int slots[] = {0, vlxa ? 1 : 2, 2};
    for (size_t k = 4; k < args.size(); ++k) {
        if (!parse_int(args[k], -2147483647L - 1, 2147483647L, v)) return usage_error("mesh: values are integers");
        r.v[slots[k - 4]] = static_cast<int>(v);
    }
    const std::string dir = path.substr(0, path.find_last_of('/'));
    const std::string parent = dir.substr(0, dir.find_last_of('/'));
    mkdir(parent.c_str(), 0777);
    mkdir(dir.c_str(), 0777);
    const std::string partial = path + ".part";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << MESH::report_line(r);
        if (!out) {
            std::fprintf(stderr, "kvtsim: write %s: %s\n", partial.c_str(), std::strerror(errno));
            return 1;
        }
    }
    if (std::rename(partial.c_str(), path.c_str()) != 0) {
        std::fprintf(stderr, "kvtsim: rename %s: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    return 0;
}

// A momentary press of the power switch: held until the service drops its
// run indication on the way down, then let go, so the next start runs.
int press(simboard::Header* b)
{
    if (!simboard::line_level(b, BOARD::RUN)) {
        std::fprintf(stderr, "kvtsim: press: the service is not running (run indication 0); nothing pressed\n");
        return 1;
    }
    simboard::line_level(b, BOARD::POWER_SWITCH) = 1;
    const struct timespec tick{0, 20 * 1000 * 1000};
    for (int i = 0; i < 500 && simboard::line_level(b, BOARD::RUN); ++i) nanosleep(&tick, nullptr);
    simboard::line_level(b, BOARD::POWER_SWITCH) = 0;
    if (simboard::line_level(b, BOARD::RUN)) {
        std::fprintf(stderr, "kvtsim: press: the service did not take the press within 10 s\n");
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<const char*> args(argv + 1, argv + argc);
    if (args.empty()) return usage_error("no command");
    if (!std::strcmp(args[0], "--help") || !std::strcmp(args[0], "-h") || !std::strcmp(args[0], "help")) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    if (!std::strcmp(args[0], "init")) {
        const bool demo = args.size() == 3 && !std::strcmp(args[1], "--demo");
        const char* dir = args.back();
        if ((args.size() != 2 && !demo) || dir[0] == '-')
            return usage_error("init takes one directory (init --demo DIR for the demo)");
        // Making a sandbox over an existing one would put the factory
        // database over the one in use.
        if (access(simboard::board_path(dir).c_str(), F_OK) == 0) {
            std::fprintf(stderr, "kvtsim: init %s: already a sandbox (remove it first to start afresh)\n", dir);
            return 1;
        }
        std::string err;
        std::string db = access(KVT_FACTORY_DB, R_OK) == 0 ? KVT_FACTORY_DB : "";
        if (db.empty()) {
            std::fprintf(stderr, "kvtsim: no factory database at %s; sandbox made without one\n", KVT_FACTORY_DB);
            if (demo) return 1;
        }
        if (!simboard::sandbox_init(dir, db, err) || (demo && !kvtsim_demo::make_demo(dir, err))) {
            std::fprintf(stderr, "kvtsim: init %s: %s\n", dir, err.c_str());
            return 1;
        }
        std::printf("%s ready: %s\n", demo ? "demo sandbox" : "sandbox", dir);
        return 0;
    }
    // The 1-Wire commands' help needs no sandbox.
    if (!std::strcmp(args[0], "ow") && args.size() == 2 && (!std::strcmp(args[1], "help") || !std::strcmp(args[1], "--help")))
        return kvtsim_ow("", 2, args.data());

    std::string root;
    if (!std::strcmp(args[0], "-r")) {
        if (args.size() < 2) return usage_error("-r needs a directory");
        root = args[1];
        args.erase(args.begin(), args.begin() + 2);
    } else if (const char* env = std::getenv("KVT_ROOT")) {
        root = env;
    }
    if (root.empty()) return usage_error("no sandbox: give -r DIR or set KVT_ROOT");
    if (args.empty()) return usage_error("no command");

    std::string cmd = args[0];
    const char* a1 = args.size() > 1 ? args[1] : nullptr;
    const char* a2 = args.size() > 2 ? args[2] : nullptr;
    const char* a3 = args.size() > 3 ? args[3] : nullptr;

    if (cmd == "value") return kvtsim_value(root, static_cast<int>(args.size()), args.data());
    if (cmd == "ow") return kvtsim_ow(root, static_cast<int>(args.size()), args.data());
    if (cmd == "mesh") return mesh_cmd(root, args);

    Board board;
    std::string err;
    if (!simboard::board_map(root, board.m, err)) {
        std::fprintf(stderr, "kvtsim: %s\n", err.c_str());
        return 1;
    }
    if (cmd == "journal" || cmd == "fpga-log") {
        if (args.size() > 1) return usage_error((cmd + " takes no arguments").c_str());
        return print_file(root + (cmd == "journal" ? "/sim/commands.log" : "/sim/fpga.log"));
    }
    simboard::Header* b = board.m.hdr;
    long n;

    if (cmd == "gpio") {
        long chip, line;
        if (!parse_int(a1, 1, 3, chip) || !parse_int(a2, 0, simboard::LINES - 1, line))
            return usage_error("gpio CHIP(1-3) LINE(0-127) [0|1]");
        if (args.size() > 4) return usage_error("too many arguments");
        return line_cmd(b, {static_cast<int>(chip), static_cast<int>(line)}, a3);
    }
    if (cmd == "fpga") {
        long addr;
        if (!parse_int(a1, 0, 0xFFFFFFFFL, addr, 0) || args.size() > 3) return usage_error("fpga ADDR [BYTE]");
        if (addr >= static_cast<long>(BOARD::FPGA_BASE)) addr -= BOARD::FPGA_BASE;
        if (addr < 0 || addr >= static_cast<long>(simboard::FPGA_SIZE))
            return usage_error("register outside the FPGA window");
        if (a2) {
            long v;
            if (!parse_int(a2, 0, 255, v, 0)) return usage_error("BYTE must be 0-255");
            board.m.fpga[addr] = static_cast<uint8_t>(v);
            simboard::ai_register_written(b->analog, board.m.fpga, static_cast<unsigned>(addr));
            return 0;
        }
        std::printf("0x%02x\n", board.m.fpga[addr]);
        return 0;
    }
    if (cmd == "ai") return kvtsim_ai(board.m, args, usage_error);
    if (cmd == "di") {
        if (!parse_int(a1, 1, 8, n) || args.size() > 3) return usage_error("di N(1-8) [0|1]");
        return line_cmd(b, BOARD::DI[n - 1], a2);
    }
    if (cmd == "relay") {
        if (!parse_int(a1, 1, 8, n) || a2) return usage_error("relay N(1-8)");
        return line_cmd(b, BOARD::RELAY[n - 1], nullptr);
    }
    if (cmd == "power-switch") {
        if (args.size() > 2) return usage_error("power-switch [0|1]");
        return line_cmd(b, BOARD::POWER_SWITCH, a1);
    }
    if (cmd == "press") {
        if (args.size() > 1) return usage_error("press takes no arguments");
        return press(b);
    }
    if (cmd == "run") {
        if (args.size() > 1) return usage_error("run takes no value (the service drives it)");
        return line_cmd(b, BOARD::RUN, nullptr);
    }
    if (cmd == "dip") {
        if (!parse_int(a1, 1, 4, n) || args.size() > 3) return usage_error("dip N(1-4) [0|1]");
        return line_cmd(b, BOARD::DIP[n - 1], a2, true);
    }
    if (cmd == "straps") {
        if (!a1) {
            std::printf("%d %d\n", simboard::line_level(b, BOARD::STRAP_A), simboard::line_level(b, BOARD::STRAP_B));
            return 0;
        }
        int sa, sb;
        if (!parse_level(a1, sa) || !parse_level(a2, sb) || args.size() > 3)
            return usage_error("straps A B (each 0 or 1)");
        simboard::line_level(b, BOARD::STRAP_A) = static_cast<uint8_t>(sa);
        simboard::line_level(b, BOARD::STRAP_B) = static_cast<uint8_t>(sb);
        return 0;
    }
    if (cmd == "fault") {
        if (args.size() > 3) return usage_error("fault [NAME on|off]");
        if (!a1) {
            for (const auto& f : simboard::FAULT_NAMES)
                std::printf("%s %s\n", f.name, (b->faults & f.bit) ? "on" : "off");
            return 0;
        }
        for (const auto& f : simboard::FAULT_NAMES) {
            if (std::strcmp(f.name, a1) != 0) continue;
            if (a2 && !std::strcmp(a2, "on")) b->faults = b->faults | f.bit;
            else if (a2 && !std::strcmp(a2, "off")) b->faults = b->faults & ~f.bit;
            else return usage_error("fault NAME on|off");
            return 0;
        }
        return usage_error("unknown fault");
    }
    return usage_error(("unknown command: " + cmd).c_str());
}
