// The real kvt7400sim on the simulated board: start-up, the quiet exit on
// SIGTERM, the power switch, model detection, board faults, the database in
// its various states, and sandboxes side by side.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "deadline.h"
#include "monitor_table.h"
#include "process.h"
#include "sandbox.h"

namespace {

const char* const BUZZER_ON = "echo 1 > /sys/class/pwm/pwmchip0/pwm0/enable";
const char* const BUZZER_OFF = "echo 0 > /sys/class/pwm/pwmchip0/pwm0/enable";

// The first command of `expected` that is not found in `journal` after the
// ones before it; "" when all appear in this order.
std::string missing_in_order(const std::vector<std::string>& journal, const std::vector<std::string>& expected)
{
    auto it = journal.begin();
    for (const auto& e : expected) {
        it = std::find(it, journal.end(), e);
        if (it == journal.end()) return e;
        ++it;
    }
    return "";
}

int32_t int_at(const std::string& bytes, size_t offset)
{
    int32_t v = INT32_MIN;
    if (bytes.size() >= offset + 4) std::memcpy(&v, bytes.data() + offset, 4);
    return v;
}

int kvtsim(const TestSandbox& sb, const std::vector<std::string>& args) { return run_tool("kvtsim", sb.root(), args); }

// "first" stands in the text, and before "second" when that is given.
bool in_order(const std::string& text, const std::string& first, const std::string& second = "")
{
    size_t a = text.find(first);
    return a != std::string::npos && (second.empty() || text.find(second, a) != std::string::npos);
}

}  // namespace

// A KVT-7400 started from a status log saved by an earlier run beside a
// KVT-6100 that sees nothing of it: each works inside its own sandbox, the
// 6100 powers off by its switch, the 7400 exits quietly on SIGTERM.
TEST(StartupE2E, TwoBoardsStartSideBySideAndOnlyTheSwitchedOnePowersOff)
{
    TestSandbox a, b;
    a.set_gpio(2, 67, 1);  // so that the start-up's own 0 can be seen
    static MONITOR_TABLE::Status_Log saved;
    for (int i = 0; i < 3; ++i)
        MONITOR_TABLE::ring_append(saved.all_status_log.r, saved.all_status_log.w, saved.all_status_log.all,
                                   MONITOR_TABLE::ALL_LOG_NUM, {1700000000 + i, 3, 7, 5, 2800 + i});
    a.write("/log/mmapfile_status", std::string(reinterpret_cast<const char*>(&saved), sizeof saved));
    ASSERT_EQ(kvtsim(b, {"straps", "1", "0"}), 0);

    SimProcess pa(a.root()), pb(b.root());
    ASSERT_TRUE(pa.wait_console("Application Start\n", 10000)) << pa.console();
    ASSERT_TRUE(wait_until([&] { return a.gpio(2, 67) == 0; }, 10000)) << "run line never went to 0";
    EXPECT_FALSE(a.journal_has(BUZZER_ON)) << "run line 0 must come before the start-up beep";
    ASSERT_TRUE(pa.wait_started(30000)) << pa.console();
    ASSERT_TRUE(pb.wait_started(30000)) << pb.console();
    EXPECT_TRUE(wait_until([&] { return a.gpio(2, 67) == 1; }, 1000));
    for (auto [sb, pid] : {std::pair{&a, pa.pid()}, std::pair{&b, pb.pid()}}) {
        char cwd[PATH_MAX] = {0}, real[PATH_MAX] = {0};
        ASSERT_GT(readlink(("/proc/" + std::to_string(pid) + "/cwd").c_str(), cwd, sizeof cwd - 1), 0);
        ASSERT_NE(realpath(sb->root().c_str(), real), nullptr);
        EXPECT_STREQ(cwd, real);  // msgq.key and relative paths live there
    }
    // Named threads: each activity under its own name, the simulated
    // board's own threads under "sim-".
    auto thread_names = [task = "/proc/" + std::to_string(pa.pid()) + "/task"] {
        std::string names = " ";
        if (DIR* d = opendir(task.c_str())) {
            for (std::string name; dirent* e = readdir(d);)
                if (std::ifstream comm(task + "/" + e->d_name + "/comm"); e->d_name[0] != '.' && std::getline(comm, name))
                    names += name + " ";
            closedir(d);
        }
        return names;
    };
    const char* const named[] = {" dbsave ",      " snmp-trap ", " mail ",         " network ",     " wireT1-log ",
                                 " dio-monitor ", " onewire1 ",  " sim-ds2480-1 ", " sim-ds2480-2 "};
    EXPECT_TRUE(wait_until(
        [&] {
            const std::string names = thread_names();
            return std::all_of(std::begin(named), std::end(named), [&](const char* n) { return names.find(n) != std::string::npos; });
        },
        deadline_ms(5000)))
        << "threads:" << thread_names();

    EXPECT_EQ(int_at(a.read("/tmp/mmapfile_flg"), 76), 1);                     // is_7400: both straps 1
    EXPECT_EQ(int_at(b.read("/tmp/mmapfile_flg"), 76), 0);
    EXPECT_EQ(int_at(a.read("/tmp/mmapfile_monitor"), 192 + 127 * 8), 65535);  // last 1-Wire probe: no reading
    // The saved log is back; the running service may already have added
    // changes of its own after it.
    std::string status = a.read("/tmp/mmapfile_status");
    EXPECT_EQ(int_at(status, 0), 0);  // r
    EXPECT_GE(int_at(status, 4), 3);  // w
    for (int i = 0; i < 3; ++i) EXPECT_EQ(int_at(status, 8 + i * 20 + 16), 2800 + i) << "entry " << i;
    EXPECT_NE(a.applog().find("> Application Start "), std::string::npos) << a.applog();
    const std::vector<std::string> startup = {
        "sed -e 's/force_local_data_ssl=YES/force_local_data_ssl=NO/g' /etc/vsftpd.conf > /tmp/vsftpd.conf",
        "/etc/init.d/vsftpd start",
        "systemctl mask systemd-tmpfiles-clean.timer",
        "systemctl mask systemd-timesyncd",
        "mkdir /log/tmp",
        "mount --bind /tmp/filter_log /log/tmp/filter_log",
        "rm -f /tmp/kvt7400sys_aarch64.ipk",
        "python2.7 /opt/kvt/sbin/UpMgr7400.py &",
        "python2.7 /opt/kvt/sbin/vlxa_status.py",
        "echo 0 > /sys/class/pwm/pwmchip0/export",
        "echo 1000000 > /sys/class/pwm/pwmchip0/pwm0/period",
        "echo 500000 > /sys/class/pwm/pwmchip0/pwm0/duty_cycle",
        BUZZER_ON, BUZZER_OFF, BUZZER_ON, BUZZER_OFF,
    };
    EXPECT_EQ(missing_in_order(a.journal(), startup), "");
    for (const auto& c : b.journal()) EXPECT_EQ(c.find("python2.7"), std::string::npos) << c;

    ASSERT_EQ(kvtsim(b, {"power-switch", "1"}), 0);
    EXPECT_EQ(pb.wait_exit(3000), 0) << pb.console();
    EXPECT_EQ(b.gpio(2, 67), 0);
    EXPECT_TRUE(in_order(pb.console(), "シャットダウン\n", "\nend\n")) << pb.console();
    std::string log = b.applog();
    EXPECT_TRUE(in_order(log, "> シャットダウン\n", "> Application end\n")) << log;
    EXPECT_EQ(log.find("Application update"), std::string::npos);
    auto j = b.journal();
    ASSERT_FALSE(j.empty());
    EXPECT_EQ(j.back(), "shutdown -h now");  // journaled, never run
    EXPECT_EQ(std::count(j.begin(), j.end(), "shutdown -h now"), 1);
    EXPECT_TRUE(pa.running());
    EXPECT_EQ(a.gpio(2, 67), 1);

    pa.signal(SIGTERM);
    // Every thread leaves its loop within its period; nothing waits longer.
    EXPECT_EQ(pa.wait_exit(3000), 0) << pa.console();
    EXPECT_NE(pa.console().find("end cpustate_thread\n"), std::string::npos) << pa.console();
    log = a.applog();
    EXPECT_TRUE(in_order(log, "> SIGTERM received\n", "> Application update\n")) << log;
    EXPECT_EQ(log.find("Application end"), std::string::npos);
    EXPECT_EQ(log.find("シャットダウン"), std::string::npos);
    EXPECT_FALSE(a.journal_has("shutdown -h now"));
    for (const auto& w : a.fpga_writes())  // no restart sequence
        EXPECT_EQ(w.rfind("0x51000004 ", 0), std::string::npos) << w;
    EXPECT_EQ(a.gpio(2, 67), 1);  // a quiet exit leaves the run line alone
}

TEST(StartupE2E, EveryBoardFaultAndUnusableDatabaseStillStartsAndStopsCleanly)
{
    struct Case {
        const char* fault;    // a board fault, or "" for a database case
        const char* db;       // "old", "missing", "garbage" or ""
        const char* console;  // what start-up prints
        const char* logged;   // in the application log
    } cases[] = {
        {"gpio1", "", "ERROR get chip info ret=", ""}, {"gpio2", "", "ERROR get chip info ret=", ""},
        {"gpio3", "", "ERROR get chip info ret=", ""}, {"mem-open", "", "/dev/mem error.", ""},
        {"mem-map", "", "map error.", ""},             {"line-io", "", "GPIO chip: gpiochip3", ""},
        // Without a usable database the service reports it and runs on.
        {"", "missing", "", "ERROR1("},                {"", "garbage", "", "ERROR1("},
        // An old database is migrated before the settings are loaded.
        {"", "old", "", "DB version update 1.0.14->1.1.1"},
        // The agent's port taken by another program: the service runs on without it.
        {"snmp-port", "", "", "RecvUdp: bind() UDP port "},
    };
    // Held open through the test, so that the agent cannot have the port.
    const int held = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in taken{};
    taken.sin_family = AF_INET;
    taken.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t taken_len = sizeof taken;
    ASSERT_EQ(bind(held, reinterpret_cast<sockaddr*>(&taken), sizeof taken), 0);
    ASSERT_EQ(getsockname(held, reinterpret_cast<sockaddr*>(&taken), &taken_len), 0);
    std::vector<std::unique_ptr<TestSandbox>> sbs;
    std::vector<std::unique_ptr<SimProcess>> ps;
    // All at once: start-up is mostly waiting.
    for (const auto& c : cases) {
        sbs.push_back(std::make_unique<TestSandbox>());
        TestSandbox& sb = *sbs.back();
        std::vector<std::string> env;
        if (std::string(c.fault) == "snmp-port") {
            env.push_back("KVT_SNMP_PORT=" + std::to_string(ntohs(taken.sin_port)));
        } else if (*c.fault) {
            ASSERT_EQ(kvtsim(sb, {"fault", c.fault, "on"}), 0) << c.fault;
        } else if (std::string(c.db) == "old") {
            std::ifstream in(built_db("db-1.0.13.sqlite3"), std::ios::binary);
            std::ofstream(sb.path("/opt/KVT7400/db.sqlite3"), std::ios::binary | std::ios::trunc) << in.rdbuf();
        } else {
            // The factory copy goes too, so nothing can restore the file.
            for (const char* path : {"/opt/KVT7400/db.sqlite3", "/opt/KVT7400/ini_files/db.sqlite3"})
                std::remove(sb.path(path).c_str());
            if (std::string(c.db) == "garbage") sb.write("/opt/KVT7400/db.sqlite3", std::string(8192, '\x5a'));
        }
        ps.push_back(std::make_unique<SimProcess>(sb.root(), env));
    }
    for (size_t i = 0; i < ps.size(); ++i) {
        const Case& c = cases[i];
        TestSandbox& sb = *sbs[i];
        SCOPED_TRACE(std::string(c.fault) + c.db);
        ASSERT_TRUE(ps[i]->wait_started(40000)) << ps[i]->console();
        EXPECT_NE(ps[i]->console().find(c.console), std::string::npos) << ps[i]->console();
        EXPECT_TRUE(wait_until([&] { return sb.applog().find(c.logged) != std::string::npos; }, 5000)) << sb.applog();
        EXPECT_TRUE(ps[i]->running());
        if (std::string(c.db) == "old") {
            EXPECT_TRUE(in_order(sb.applog(), "DB version update 1.0.13->1.0.14", "Struct initialized")) << sb.applog();
            EXPECT_EQ(sb.applog().find("DB version OK"), std::string::npos);
        }
        if (*c.db && std::string(c.db) != "old") {
            EXPECT_TRUE(sb.journal_has("echo 670 > /sys/class/leds/STATUS_LED/delay_on"));  // slow blink
        }
    }
    for (auto& p : ps) p->signal(SIGTERM);
    for (size_t i = 0; i < ps.size(); ++i) {
        SCOPED_TRACE(std::string(cases[i].fault) + cases[i].db);
        EXPECT_EQ(ps[i]->wait_exit(15000), 0) << ps[i]->console();
        std::string log = sbs[i]->applog();
        EXPECT_NE(log.find("> Application update\n"), std::string::npos) << log;
        // DIP switches that cannot be read are not switches that are set: no
        // account, network or full reset.
        EXPECT_EQ(log.find("初期化"), std::string::npos) << log;
        EXPECT_FALSE(sbs[i]->journal_has("shutdown -h now"));
    }
    close(held);
}

TEST(StartupE2E, WithoutAUsableSandboxItRefusesToStart)
{
    TestSandbox sb(false);
    struct Case {
        std::string env;
        const char* message;
    } cases[] = {
        {"KVT_ROOT", "KVT_ROOT is not set"},
        {"KVT_ROOT=", "KVT_ROOT is not set"},
        {"KVT_ROOT=" + sb.root() + "/nowhere", "/nowhere"},
        {"KVT_ROOT=" + sb.root() + "/tmp", "kvtsim init"},  // a directory without a board
    };
    for (const auto& c : cases) {
        std::string out, err;
        EXPECT_NE(run_program_split({KVT_SIM_BIN}, &out, &err, {c.env}), 0) << c.env;
        EXPECT_NE(err.find(c.message), std::string::npos) << c.env << ": " << err;
        EXPECT_EQ(out.find("Application Start"), std::string::npos) << c.env;
    }
    EXPECT_TRUE(sb.journal().empty());
}
