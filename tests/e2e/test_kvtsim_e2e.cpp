// kvtsim as a script uses it: exit codes, what a read prints, and that a set
// lands on the line of the board or the live table the service reads.
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "common.h"
#include "deadline.h"
#include "process.h"
#include "sandbox.h"

namespace {

struct ToolRun {
    int rc;
    std::string out, err;
};

ToolRun kvtsim(const std::vector<std::string>& args, const std::vector<std::string>& env = {})
{
    std::vector<std::string> argv = {KVT_SIMTOOL_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    ToolRun r;
    r.rc = run_program_split(argv, &r.out, &r.err, env);
    return r;
}

std::string fresh_dir()
{
    char tmpl[] = "/tmp/kvt-kvtsim-XXXXXX";
    if (!mkdtemp(tmpl)) return "";
    rmdir(tmpl);  // init makes it
    return tmpl;
}

struct Step {
    std::vector<std::string> args;
    int rc;
    const char* out;  // exact standard output
};

void expect_steps(const std::string& root, const std::vector<Step>& steps)
{
    for (const auto& s : steps) {
        std::vector<std::string> args = {"-r", root};
        args.insert(args.end(), s.args.begin(), s.args.end());
        ToolRun r = kvtsim(args);
        std::string what = testing::PrintToString(s.args);
        EXPECT_EQ(r.rc, s.rc) << what << ": " << r.err;
        EXPECT_EQ(r.out, s.out) << what;
        if (s.rc == 0) {
            EXPECT_EQ(r.err, "") << what;
        } else {
            EXPECT_NE(r.err.find("kvtsim: "), std::string::npos) << what;
        }
    }
}

}  // namespace

TEST(KvtsimE2E, InitMakesASandboxTheServiceCanUse)
{
    std::string dir = fresh_dir();
    ASSERT_FALSE(dir.empty());
    ToolRun r = kvtsim({"init", dir});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, "sandbox ready: " + dir + "\n");
    for (const char* p : {"/opt/KVT7400/ini_files", "/opt/kvt/sbin", "/log/app_log", "/tmp", "/etc/hostname",
                          "/etc/vsftpd.conf", "/etc/systemd/network/10-eth.network", "/sim/board",
                          "/sim/answers/ifconfig", "/sim/answers/opkg", "/sim/commands.log"})
        EXPECT_EQ(access((dir + p).c_str(), F_OK), 0) << p;
    // Both model straps at 1, DIP switches off, power switch 0.
    EXPECT_EQ(kvtsim({"-r", dir, "straps"}).out, "1 1\n");
    for (const char* n : {"1", "2", "3", "4"}) EXPECT_EQ(kvtsim({"-r", dir, "dip", n}).out, "0\n") << "dip " << n;
    EXPECT_EQ(kvtsim({"-r", dir, "power-switch"}).out, "0\n");
    EXPECT_EQ(kvtsim({"-r", dir, "journal"}).out, "");

    // A second init would lay the factory database over the one in use.
    ToolRun again = kvtsim({"init", dir});
    EXPECT_EQ(again.rc, 1);
    EXPECT_NE(again.err.find("already a sandbox"), std::string::npos) << again.err;
    std::string rm = "rm -rf " + dir;
    ASSERT_EQ(std::system(rm.c_str()), 0);
}

TEST(KvtsimE2E, SetsLandOnTheBoardLinesAndReadsPrintTheValueAlone)
{
    TestSandbox sb(false);
    const std::string R = sb.root();
    expect_steps(R, {
        {{"gpio", "2", "45", "1"}, 0, ""},
        {{"gpio", "2", "45"}, 0, "1\n"},
        {{"relay", "1"}, 0, "1\n"},  // relay 1 is chip 2 line 45
        {{"relay", "2"}, 0, "0\n"},
        {{"di", "2", "1"}, 0, ""},   // digital input 2 is chip 3 line 68 ...
        {{"gpio", "3", "68"}, 0, "1\n"},
        {{"gpio", "2", "68"}, 0, "0\n"},  // ... not the power switch
        {{"di", "2"}, 0, "1\n"},
        {{"power-switch", "1"}, 0, ""},
        {{"gpio", "2", "68"}, 0, "1\n"},
        {{"dip", "3", "1"}, 0, ""},
        {{"gpio", "2", "51"}, 0, "0\n"},  // a set switch reads 0
        {{"dip", "3"}, 0, "1\n"},
        {{"straps", "1", "0"}, 0, ""},
        {{"straps"}, 0, "1 0\n"},
        {{"gpio", "2", "08"}, 0, "0\n"},  // decimal, not octal
        {{"fpga", "0x700", "0x34"}, 0, ""},
        {{"fpga", "0x51000701", "18"}, 0, ""},
        {{"fpga", "0x51000700"}, 0, "0x34\n"},  // read back in hex, as registers are written
        {{"fpga", "0x701"}, 0, "0x12\n"},
        {{"fpga", "0x7FFE", "255"}, 0, ""},
        {{"run"}, 0, "0\n"},
        {{"fault", "line-io", "on"}, 0, ""},
        {{"fault"}, 0, "gpio1 off\ngpio2 off\ngpio3 off\nmem-open off\nmem-map off\nline-io on\nshell off\n"},
        {{"fault", "line-io", "off"}, 0, ""},
    });
    // What the tool set is what the service sees.
    EXPECT_EQ(sb.gpio(2, 45), 1);
    EXPECT_EQ(sb.fpga(0x701), 0x12);
    EXPECT_EQ(sb.fpga(0x7FFE), 0xFF);

    // The journal prints what the service ran, as it was written.
    sb.write("/sim/commands.log", "sync\nshutdown -h now\n");
    EXPECT_EQ(kvtsim({"-r", R, "journal"}).out, "sync\nshutdown -h now\n");
    sb.write("/sim/fpga.log", "0x51000004 1\n0x51000004 8\n");
    EXPECT_EQ(kvtsim({"-r", R, "fpga-log"}).out, "0x51000004 1\n0x51000004 8\n");
    // Without -r the sandbox comes from KVT_ROOT.
    EXPECT_EQ(kvtsim({"relay", "1"}, {"KVT_ROOT=" + R}).out, "1\n");
}

TEST(KvtsimE2E, WrongCommandLinesExitTwoAndUnusableSandboxesOne)
{
    TestSandbox sb(false);
    const std::string R = sb.root();
    struct Case {
        std::vector<std::string> args;
        int rc;
    } cases[] = {
        {{}, 2},
        {{"-r"}, 2},
        {{"-r", R}, 2},
        {{"-r", R, "bogus"}, 2},
        {{"-r", R, "gpio", "4", "1"}, 2},
        {{"-r", R, "gpio", "2", "128"}, 2},
        {{"-r", R, "gpio", "2", "45", "2"}, 2},
        {{"-r", R, "gpio", "2", "4x"}, 2},
        {{"-r", R, "di", "0", "1"}, 2},
        {{"-r", R, "di", "1", "on"}, 2},
        {{"-r", R, "relay", "1", "1"}, 2},  // relays are the service's to drive
        {{"-r", R, "power-switch", "2"}, 2},
        {{"-r", R, "dip", "5", "1"}, 2},
        {{"-r", R, "straps", "1", "2"}, 2},
        {{"-r", R, "fpga", "0x7FFF"}, 2},  // one past the window
        {{"-r", R, "fpga", "0x51008000", "1"}, 2},
        {{"-r", R, "fpga", "0x10", "256"}, 2},
        {{"-r", R, "fault", "bogus", "on"}, 2},
        {{"-r", R, "run", "1"}, 2},
        {{"-r", R, "press", "1"}, 2},
        {{"init"}, 2},
        {{"init", "--demo"}, 2},
        {{"-r", R, "press"}, 1},  // no service running: nothing pressed
        {{"-r", R + "/missing", "relay", "1"}, 1},
        {{"-r", R + "/tmp", "straps"}, 1},  // a directory that is no sandbox
    };
    for (const auto& c : cases) {
        ToolRun r = kvtsim(c.args, {"KVT_ROOT"});
        std::string what = testing::PrintToString(c.args);
        EXPECT_EQ(r.rc, c.rc) << what;
        EXPECT_EQ(r.out, "") << what;                     // nothing a script could mistake for a value
        EXPECT_NE(r.err.find("kvtsim: "), std::string::npos) << what;  // and a reason
    }
    // Nothing on the board changed.
    EXPECT_EQ(sb.gpio(2, 45), 0);
    EXPECT_EQ(sb.gpio(2, 68), 0);
    EXPECT_EQ(sb.fpga(0x10), 0);

    ToolRun help = kvtsim({"--help"});
    EXPECT_EQ(help.rc, 0);
    EXPECT_EQ(help.out.rfind("usage: kvtsim init [--demo] DIR\n", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("Exit status: 0 done, 1"), std::string::npos);
    EXPECT_EQ(kvtsim({"straps"}, {"KVT_ROOT"}).rc, 2);  // no -r and no KVT_ROOT
    ToolRun ow_help = kvtsim({"ow", "help"}, {"KVT_ROOT"});  // needs no sandbox
    EXPECT_EQ(ow_help.rc, 0) << ow_help.err;
    EXPECT_NE(ow_help.out.find("ow add BUS"), std::string::npos) << ow_help.out;
}

TEST(KvtsimE2E, ValueReadsAndSetsTheLiveTableOfARunningService)
{
    TestSandbox sb(false);
    const std::string R = sb.root();
    EXPECT_EQ(kvtsim({"-r", R, "value", "ai", "1"}).rc, 1) << "no live table before the service made it";
    // A table a stopped service left behind holds stale values.
    sb.write("/tmp/mmapfile_monitor", std::string(sizeof(MONITOR_TABLE::Sensor_condition), '\0'));
    ToolRun stale = kvtsim({"-r", R, "value", "ai", "1"});
    EXPECT_EQ(stale.rc, 1);
    EXPECT_EQ(stale.out, "");
    EXPECT_NE(stale.err.find("no service publishes"), std::string::npos) << stale.err;
    monitor = new MONITOR_TABLE_CLASS();
    ASSERT_EQ(mmap_open(), 0);
    monitor->initializeData();
    monitor->setDummyData();
    EXPECT_EQ(kvtsim({"-r", R, "value", "ai", "1"}).out, "65535 0\n");
    EXPECT_EQ(kvtsim({"-r", R, "value", "wire-temp", "128", "-1250"}).rc, 0);
    EXPECT_EQ(kvtsim({"-r", R, "value", "3", "128"}).out, "-1250 0\n");
    EXPECT_EQ(kvtsim({"-r", R, "value", "nx40-bat", "100", "300"}).rc, 0);
    EXPECT_EQ(monitor->sensor_condition->kvt_nx40[99].sensor_battery.value, 300);
    for (auto bad : std::vector<std::vector<std::string>>{
             {"value", "rain", "1"}, {"value", "dio", "17"}, {"value", "ai", "0"}, {"value", "10", "1"},
             {"value", "ai", "1", "12x"}, {"value", "ai", "1", "4294967296"}, {"value"}}) {
        bad.insert(bad.begin(), {"-r", R});
        EXPECT_EQ(kvtsim(bad).rc, 2) << testing::PrintToString(bad);
    }
    EXPECT_EQ(monitor->sensor_condition->analog[0].value, 65535);
    mmap_close();
}

// The analog board as a person handles it: sources turn into counts only
// once the range codes are latched by a start, and follow every later change.
TEST(KvtsimE2E, AnalogBoardPlugsSwitchesAndConvertsSources)
{
    TestSandbox sb(false);
    const std::string R = sb.root();
    expect_steps(R, {
        {{"ai", "3"}, 0, "current open 0 0\n"},
        {{"ai", "3", "12mA"}, 0, ""},
        {{"ai", "3"}, 0, "current 12mA 0 0\n"},  // not started: no result
        {{"fpga", "0x601", "0x33"}, 0, ""},
        {{"fpga", "0x300", "128"}, 0, ""},        // the start latches codes 3 and 3
        {{"ai", "3"}, 0, "current 12mA 3 32000\n"},
        {{"ai", "3", "16mA"}, 0, ""},
        {{"fpga", "0x704"}, 0, "0xaa\n"},          // 42666 = 0xA6AA: the low byte
        {{"ai", "3", "cal", "1.0012345", "-0.012345", "0.999", "0.02"}, 0, ""},
        {{"ai", "3", "cal"}, 0, "1.0012345 -0.012345 0.9990000 0.020000\n"},
        {{"ai", "3"}, 0, "current 16mA 3 42655\n"},
        {{"ai", "4", "switch", "voltage"}, 0, ""},
        {{"ai", "4", "-2.5V"}, 0, ""},
        {{"ai", "4"}, 0, "voltage -2.5V 3 0\n"},   // code 3 is 0-6.144 V: below it
        {{"ai", "unplug"}, 0, ""},
        {{"ai", "3"}, 0, "current 16mA 0 0\n"},    // a pulled board forgets its codes
        {{"fpga", "0x300", "128"}, 0, ""},
        {{"ai", "3"}, 0, "current 16mA 0 0\n"},    // and a start reaches nothing
        {{"ai", "plug"}, 0, ""},
        {{"ai", "9"}, 2, ""},
        {{"ai", "1", "12"}, 2, ""},
        {{"ai", "1", "150V"}, 2, ""},
        {{"ai", "1", "cal", "1.7", "0", "1", "0"}, 2, ""},
        {{"ai"}, 0,
         "plugged in\n1 current open 0 0\n2 current open 0 0\n3 current 16mA 0 0\n4 voltage -2.5V 0 0\n"
         "5 current open 0 0\n6 current open 0 0\n7 current open 0 0\n8 current open 0 0\n"},
    });
}

// A demo sandbox shows a reading of every kind soon after the start, and a
// broker that is not there is told on the console once, not at every retry.
TEST(KvtsimE2E, InitDemoGivesReadingsOnEveryKindWithinAMinute)
{
    std::string dir = fresh_dir();
    ASSERT_FALSE(dir.empty());
    const std::vector<std::string> ports = {"KVT_MQTT_PORT=1", "KVT_SMTP_PORT=1"};  // nobody listens there
    ToolRun r = kvtsim({"init", "--demo", dir}, ports);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, "demo sandbox ready: " + dir + "\n");
    QueueCleanup queue{dir};
    {
        SimProcess sim(dir);
        ASSERT_TRUE(sim.wait_started(deadline_ms(20000))) << sim.console();
        const char* kinds[] = {"ai",        "wire-temp", "wire-humid", "vlxa-temp", "vlxa-humid",
                               "vlxa-bat",  "nx40-temp", "nx40-bat"};
        std::string last;
        // Every kind read (not 65535), then judged normal (state 1) once the
        // state threads run from the next whole minute.
        auto every = [&](bool judged) {
            for (const char* k : kinds) {
                last = kvtsim({"-r", dir, "value", k, "1"}).out;
                if (last.empty() || last.rfind("65535 ", 0) == 0 || (judged && last.substr(last.size() - 3) != " 1\n")) {
                    last = std::string(k) + ": " + last;
                    return false;
                }
            }
            return true;
        };
        EXPECT_TRUE(wait_until([&] { return every(false); }, deadline_ms(60000))) << last;
        EXPECT_TRUE(wait_until([&] { return every(true); }, deadline_ms(75000))) << last;
        EXPECT_EQ(kvtsim({"-r", dir, "value", "ai", "1"}).out, "1200 1\n");  // 12 mA shown in mA
        EXPECT_EQ(kvtsim({"-r", dir, "value", "nx40-bat", "1"}).out, "360 1\n");
        const std::string console = sim.console();
        EXPECT_LE(count_of(console, "MQTT broker 127.0.0.1:1: "), 1) << console;
        EXPECT_EQ(count_of(console, "Unable to connect"), 0);
        sim.signal(SIGTERM);
        EXPECT_EQ(sim.wait_exit(deadline_ms(20000)), 0);
    }
    // Plain init stays the factory state.
    const std::string plain = dir + "-plain";
    ASSERT_EQ(kvtsim({"init", plain}).rc, 0);
    EXPECT_EQ(kvtsim({"-r", plain, "ow", "list"}).out, "");
    EXPECT_EQ(kvtsim({"-r", plain, "ai", "1"}).out, "current open 0 0\n");
    ASSERT_EQ(std::system(("rm -rf " + dir + " " + plain).c_str()), 0);
}
