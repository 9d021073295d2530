// The real kvt7400sim on the simulated board: start-up, the quiet exit on
// SIGTERM, the power switch, model detection, board faults, and sandboxes
// side by side.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

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

long size_of(const TestSandbox& sb, const char* p)
{
    struct stat st;
    return stat(sb.path(p).c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

int kvtsim(const TestSandbox& sb, const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {KVT_SIMTOOL_BIN, "-r", sb.root()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out;
    return run_program(argv, &out);
}

bool journal_has(const TestSandbox& sb, const std::string& cmd)
{
    auto j = sb.journal();
    return std::find(j.begin(), j.end(), cmd) != j.end();
}

size_t pos_in(const std::string& text, const std::string& what) { return text.find(what); }

}  // namespace

TEST(ServiceRun, StartsUpRestoresTheStatusLogAndExitsQuietlyOnSigterm)
{
    TestSandbox sb;
    sb.set_gpio(2, 67, 1);  // so that the start-up's own 0 can be seen
    // A status log saved by an earlier run.
    static MONITOR_TABLE::Status_Log saved;
    for (int i = 0; i < 3; ++i)
        MONITOR_TABLE::ring_append(saved.all_status_log.r, saved.all_status_log.w, saved.all_status_log.all,
                                   MONITOR_TABLE::ALL_LOG_NUM, {1700000000 + i, 3, 7, 5, 2800 + i});
    sb.write("/log/mmapfile_status", std::string(reinterpret_cast<const char*>(&saved), sizeof saved));

    SimProcess p(sb.root());
    ASSERT_TRUE(p.wait_console("Application Start\n", 10000)) << p.console();
    ASSERT_TRUE(wait_until([&] { return sb.gpio(2, 67) == 0; }, 10000)) << "run line never went to 0";
    EXPECT_FALSE(journal_has(sb, BUZZER_ON)) << "run line 0 must come before the start-up beep";
    ASSERT_TRUE(p.wait_started(30000)) << p.console();
    EXPECT_TRUE(wait_until([&] { return sb.gpio(2, 67) == 1; }, 1000));

    // The four tables, with their exact sizes.
    EXPECT_EQ(size_of(sb, "/tmp/mmapfile_flg"), 84);
    EXPECT_EQ(size_of(sb, "/tmp/mmapfile_monitor"), 4144);
    EXPECT_EQ(size_of(sb, "/tmp/mmapfile_status"), 240016);
    EXPECT_EQ(size_of(sb, "/tmp/mmapfile_trend"), 6040);
    EXPECT_EQ(int_at(sb.read("/tmp/mmapfile_flg"), 76), 1);         // is_7400: both straps 1
    EXPECT_EQ(int_at(sb.read("/tmp/mmapfile_monitor"), 192 + 127 * 8), 65535);  // last 1-Wire probe: no reading
    // The saved log is back; the running service may already have added
    // changes of its own after it.
    std::string status = sb.read("/tmp/mmapfile_status");
    EXPECT_EQ(int_at(status, 0), 0);   // r
    EXPECT_GE(int_at(status, 4), 3);   // w
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(int_at(status, 8 + i * 20), 1700000000 + i) << "entry " << i;
        EXPECT_EQ(int_at(status, 8 + i * 20 + 16), 2800 + i) << "entry " << i;
    }

    std::string log = sb.read("/log/app_log/applog1.txt");
    EXPECT_NE(log.find("> Application Start "), std::string::npos) << log;
    EXPECT_TRUE(p.wait_console("cpustate_thread tid  : ", 5000)) << p.console();

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
    EXPECT_EQ(missing_in_order(sb.journal(), startup), "");
    EXPECT_EQ(sb.read("/sys/class/pwm/pwmchip0/pwm0/period"), "1000000\n");

    p.signal(SIGTERM);
    // Every thread leaves its loop within its period; nothing waits longer.
    EXPECT_EQ(p.wait_exit(3000), 0) << p.console();
    std::string out = p.console();
    EXPECT_NE(out.find("end cpustate_thread\n"), std::string::npos) << out;
    log = sb.read("/log/app_log/applog1.txt");
    size_t sigterm = pos_in(log, "> SIGTERM received\n"), update = pos_in(log, "> Application update\n");
    ASSERT_NE(sigterm, std::string::npos) << log;
    ASSERT_NE(update, std::string::npos) << log;
    EXPECT_LT(sigterm, update);
    EXPECT_EQ(log.find("Application end"), std::string::npos);
    EXPECT_FALSE(journal_has(sb, "shutdown -h now"));
    for (const auto& w : sb.fpga_writes())  // no restart sequence
        EXPECT_EQ(w.rfind("0x51000004 ", 0), std::string::npos) << w;
    EXPECT_EQ(sb.gpio(2, 67), 1);           // a quiet exit leaves the run line alone
}

TEST(ServiceRun, PowerSwitchOnAKvt6100BoardPowersOff)
{
    TestSandbox sb;
    ASSERT_EQ(kvtsim(sb, {"straps", "1", "0"}), 0);
    SimProcess p(sb.root());
    ASSERT_TRUE(p.wait_started(30000)) << p.console();
    EXPECT_EQ(int_at(sb.read("/tmp/mmapfile_flg"), 76), 0);  // is_7400
    for (const auto& c : sb.journal()) EXPECT_EQ(c.find("python2.7"), std::string::npos) << c;

    ASSERT_EQ(kvtsim(sb, {"power-switch", "1"}), 0);
    EXPECT_EQ(p.wait_exit(3000), 0) << p.console();
    EXPECT_EQ(sb.gpio(2, 67), 0);
    std::string out = p.console();
    EXPECT_NE(out.find("シャットダウン\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nend\n"), std::string::npos) << out;
    std::string log = sb.read("/log/app_log/applog1.txt");
    size_t down = pos_in(log, "> シャットダウン\n"), end = pos_in(log, "> Application end\n");
    ASSERT_NE(down, std::string::npos) << log;
    ASSERT_NE(end, std::string::npos) << log;
    EXPECT_LT(down, end);
    EXPECT_EQ(log.find("Application update"), std::string::npos);
    auto j = sb.journal();
    ASSERT_FALSE(j.empty());
    EXPECT_EQ(j.back(), "shutdown -h now");  // journaled, never run
    EXPECT_EQ(std::count(j.begin(), j.end(), "shutdown -h now"), 1);
}

TEST(ServiceRun, TwoSandboxesRunSideBySideWithoutTouchingEachOther)
{
    TestSandbox a, b;
    SimProcess pa(a.root()), pb(b.root());
    ASSERT_TRUE(pa.wait_started(30000)) << pa.console();
    ASSERT_TRUE(pb.wait_started(30000)) << pb.console();
    // Each works inside its own sandbox (msgq.key and relative paths live there).
    for (auto [sb, pid] : {std::pair{&a, pa.pid()}, std::pair{&b, pb.pid()}}) {
        char cwd[PATH_MAX] = {0}, real[PATH_MAX] = {0};
        std::string link = "/proc/" + std::to_string(pid) + "/cwd";
        ASSERT_GT(readlink(link.c_str(), cwd, sizeof cwd - 1), 0);
        ASSERT_NE(realpath(sb->root().c_str(), real), nullptr);
        EXPECT_STREQ(cwd, real);
    }
    const size_t a_journal = a.journal().size();

    ASSERT_EQ(kvtsim(b, {"power-switch", "1"}), 0);
    EXPECT_EQ(pb.wait_exit(3000), 0) << pb.console();
    EXPECT_TRUE(journal_has(b, "shutdown -h now"));

    // A saw nothing of it.
    EXPECT_TRUE(pa.running());
    EXPECT_EQ(a.gpio(2, 67), 1);
    auto aj = a.journal();
    ASSERT_GE(aj.size(), a_journal);
    for (size_t i = a_journal; i < aj.size(); ++i) EXPECT_EQ(aj[i].find("shutdown"), std::string::npos) << aj[i];
    EXPECT_EQ(a.read("/log/app_log/applog1.txt").find("シャットダウン"), std::string::npos);

    pa.signal(SIGTERM);
    EXPECT_EQ(pa.wait_exit(3000), 0) << pa.console();
    EXPECT_FALSE(journal_has(a, "shutdown -h now"));
    EXPECT_EQ(b.read("/log/app_log/applog1.txt").find("SIGTERM"), std::string::npos);
}

TEST(ServiceRun, EveryBoardFaultStillStartsAndStopsCleanly)
{
    struct Case {
        const char* fault;
        const char* console;
    } cases[] = {
        {"gpio1", "ERROR get chip info ret="}, {"gpio2", "ERROR get chip info ret="},
        {"gpio3", "ERROR get chip info ret="}, {"mem-open", "/dev/mem error."},
        {"mem-map", "map error."},             {"line-io", "GPIO chip: gpiochip3"},
    };
    ASSERT_EQ(std::size(cases), std::size(simboard::FAULT_NAMES));
    std::vector<std::unique_ptr<TestSandbox>> sbs;
    std::vector<std::unique_ptr<SimProcess>> ps;
    // All at once: start-up is mostly waiting.
    for (const auto& c : cases) {
        sbs.push_back(std::make_unique<TestSandbox>());
        ASSERT_EQ(kvtsim(*sbs.back(), {"fault", c.fault, "on"}), 0) << c.fault;
        ps.push_back(std::make_unique<SimProcess>(sbs.back()->root()));
    }
    for (size_t i = 0; i < ps.size(); ++i) {
        SCOPED_TRACE(cases[i].fault);
        ASSERT_TRUE(ps[i]->wait_started(40000)) << ps[i]->console();
        EXPECT_NE(ps[i]->console().find(cases[i].console), std::string::npos) << ps[i]->console();
        EXPECT_TRUE(ps[i]->running());
    }
    for (auto& p : ps) p->signal(SIGTERM);
    for (size_t i = 0; i < ps.size(); ++i) {
        SCOPED_TRACE(cases[i].fault);
        EXPECT_EQ(ps[i]->wait_exit(5000), 0) << ps[i]->console();
        std::string log = sbs[i]->read("/log/app_log/applog1.txt");
        EXPECT_NE(log.find("> Application update\n"), std::string::npos) << log;
        // DIP switches that cannot be read are not switches that are set: no
        // account, network or full reset.
        EXPECT_EQ(log.find("初期化"), std::string::npos) << log;
        EXPECT_FALSE(journal_has(*sbs[i], "shutdown -h now"));
    }
}

TEST(ServiceRun, WithoutAUsableSandboxItRefusesToStart)
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
        int rc = run_program_split({KVT_SIM_BIN}, &out, &err, {c.env});
        EXPECT_NE(rc, 0) << c.env;
        EXPECT_NE(err.find(c.message), std::string::npos) << c.env << ": " << err;
        EXPECT_EQ(out.find("Application Start"), std::string::npos) << c.env;
    }
    EXPECT_TRUE(sb.journal().empty());
}
