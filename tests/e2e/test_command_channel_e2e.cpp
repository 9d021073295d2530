// The command channel end to end: kvtctl talking to the simulated service
// through its message queue, the settings writer's rows in the sandbox's
// database, the simulation file and the update command.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <csignal>
#include <fstream>

#include "db_test_support.h"
#include "monitor_table.h"
#include "process.h"
#include "sandbox.h"

namespace {

int kvtctl(const TestSandbox& sb, const std::vector<std::string>& args) { return run_tool("kvtctl", sb.root(), args); }

int input1_level(const TestSandbox& sb)
{
    return sb.table<MONITOR_TABLE::Sensor_condition>("/tmp/mmapfile_monitor").digitalio[0].value;
}

}  // namespace

TEST(CommandChannelE2E, CommandsThroughKvtctlReachTheServiceAndItsDatabase)
{
    TestSandbox sb;
    QueueCleanup cleanup{sb.root()};
    dbtest::Conn db(sb.path("/opt/KVT7400/db.sqlite3"));
    auto cell = [&](const std::string& sql) { return db.scalar(sql, true); };
    SimProcess p(sb.root());
    ASSERT_TRUE(p.wait_started(20000)) << p.console();

    // A settings command reaches its row within a second.
    ASSERT_EQ(kvtctl(sb, {"send", "29,1,17,"}), 0);
    EXPECT_TRUE(wait_until([&] { return cell("SELECT cycle_minutes FROM webapp_smartmesh_cycle WHERE id=1") == "17"; }, 1000))
        << p.console();
    ASSERT_EQ(kvtctl(sb, {"send", "1,1,O'Brien,1,0,on,off,0,0,0,"}), 0);
    EXPECT_TRUE(wait_until([&] { return cell("SELECT name FROM webapp_di WHERE id=1") == "O'Brien"; }, 2000));

    // Malformed commands change nothing and the service keeps going.
    const std::string di2 = cell("SELECT name||enable||time FROM webapp_di WHERE id=2");
    for (const std::string& bad : {std::string("1,99,x,1,"), std::string("xyz"), std::string(""), std::string("1,2,"),
                                   std::string("1,2,") + std::string(4000, 'z') + ","})
        ASSERT_EQ(kvtctl(sb, {"send", bad}), 0);
    ASSERT_EQ(kvtctl(sb, {"send", "29,2,23,"}), 0);
    EXPECT_TRUE(wait_until([&] { return cell("SELECT cycle_minutes FROM webapp_smartmesh_cycle WHERE id=2") == "23"; }, 2000))
        << p.console();
    EXPECT_EQ(cell("SELECT name||enable||time FROM webapp_di WHERE id=2"), di2);
    EXPECT_TRUE(p.running());
    EXPECT_NE(sb.applog().find("refused a text of 2048 bytes or more, command 1\n"), std::string::npos);

    // Simulation: write the file, flip input 1, load it; the monitor takes it.
    ASSERT_EQ(kvtctl(sb, {"simulate", "make"}), 0);
    ASSERT_TRUE(wait_until([&] { return sb.exists("/tmp/KVT_7400_debug.csv"); }, 2000));
    std::string file = sb.read("/tmp/KVT_7400_debug.csv");
    size_t nl = file.find('\n');
    ASSERT_NE(nl, std::string::npos);
    int level = file[nl - 1] - '0';
    file[nl - 1] = static_cast<char>('0' + (1 - level));
    sb.write("/tmp/KVT_7400_debug.csv", file);
    ASSERT_EQ(kvtctl(sb, {"simulate", "load"}), 0);
    EXPECT_TRUE(wait_until([&] { return input1_level(sb) == 1 - level; }, 10000)) << p.console();
    EXPECT_FALSE(sb.exists("/tmp/KVT_7400_debug.csv"));

    // The update command ends the service quietly: no restart sequence.
    ASSERT_EQ(kvtctl(sb, {"update"}), 0);
    EXPECT_EQ(p.wait_exit(10000), 0) << p.console();
    EXPECT_NE(sb.applog().find("> システムのアップデートを行います\n"), std::string::npos);
    EXPECT_FALSE(sb.journal_has("timeout 60s systemctl stop kvt-uwsgi"));
    for (const auto& w : sb.fpga_writes()) EXPECT_EQ(w.rfind("0x51000004 ", 0), std::string::npos) << w;
}

// Settings commands still waiting in the queue when SIGTERM arrives are
// applied and saved before the service ends. Command 17 holds the command
// thread until both 1-Wire buses report a search, so the eight commands are
// still queued when the stop comes.
TEST(CommandChannelE2E, SettingsCommandsStillQueuedAtSigtermAllReachTheDatabase)
{
    TestSandbox sb;
    QueueCleanup cleanup{sb.root()};
    SimProcess p(sb.root());
    ASSERT_TRUE(p.wait_started(20000)) << p.console();

    ASSERT_EQ(kvtctl(sb, {"send", "17,"}), 0);
    ASSERT_TRUE(p.wait_console("17, \n", 2000)) << p.console();
    std::vector<std::string> want;
    for (int n = 1; n <= 8; ++n) {
        const std::string name = "queued" + std::to_string(n);
        want.push_back("'" + name + "'");
        ASSERT_EQ(kvtctl(sb, {"send", "1," + std::to_string(n) + "," + name + ",1,0,on,off,0,0,0,"}), 0);
    }
    // A restart among them is not carried out at the stop.
    ASSERT_EQ(kvtctl(sb, {"send", "60,7,"}), 0);
    p.signal(SIGTERM);
    ASSERT_EQ(p.wait_exit(10000), 0) << p.console();

    EXPECT_EQ(dbtest::Conn(sb.path("/opt/KVT7400/db.sqlite3")).column("SELECT name FROM webapp_di ORDER BY id"), want)
        << p.console();
    EXPECT_NE(sb.applog().find("Application update"), std::string::npos);
    EXPECT_FALSE(sb.journal_has("timeout 60s systemctl stop kvt-uwsgi"));
}

// A 31-byte label of 3-byte characters does not fit its 31-byte field with
// the NUL: the command channel and the settings-file import keep the whole
// characters that fit, and the database holds valid UTF-8.
TEST(CommandChannelE2E, TooLongMultibyteTextsAreCutAtAWholeCharacterByCommandAndSettingsFile)
{
    TestSandbox sb;
    QueueCleanup cleanup{sb.root()};
    SimProcess p(sb.root());
    ASSERT_TRUE(p.wait_started(20000)) << p.console();
    dbtest::Conn db(sb.path("/opt/KVT7400/db.sqlite3"));
    auto cell = [&](const std::string& sql) { return db.scalar(sql, true); };

    // a + 10 characters of 3 bytes = 31 bytes; the field keeps a + 9.
    ASSERT_EQ(kvtctl(sb, {"send", "1,2,in2,1,0,aあいうえおかきくけこ,off,0,0,0,"}), 0);
    EXPECT_TRUE(wait_until([&] { return cell("SELECT ontext FROM webapp_di WHERE id=2") == "aあいうえおかきくけ"; }, 2000))
        << cell("SELECT hex(ontext) FROM webapp_di WHERE id=2");

    // The same text as the off label of input 3 in an imported file.
    const std::string csv = sb.root() + "/dio.csv";
    ASSERT_EQ(kvtctl(sb, {"export-settings", "dio", csv}), 0) << p.console();
    std::string text = sb.read("/dio.csv");
    size_t row = text.find("\n3,");
    ASSERT_NE(row, std::string::npos) << text;
    // Row: number, name, enable, time, on label, off label, ...
    size_t at = row + 1;
    for (int k = 0; k < 5; ++k) at = text.find(',', at) + 1;
    text.replace(at, text.find(',', at) - at, "bあいうえおかきくけこ");
    sb.write("/dio.csv", text);
    ASSERT_EQ(kvtctl(sb, {"import-settings", "dio", csv}), 0) << p.console();
    EXPECT_TRUE(wait_until([&] { return cell("SELECT offtext FROM webapp_di WHERE id=3") == "bあいうえおかきくけ"; }, 3000))
        << cell("SELECT hex(offtext) FROM webapp_di WHERE id=3");
}

// SNMPv3 settings through the queue: rows in the database, passphrases on
// neither the console nor the application log, and the engine's boot count
// one higher at every start.
TEST(CommandChannelE2E, SnmpUserAndSwitchReachTheDatabaseAndBootsGrowsPerStart)
{
    TestSandbox sb;
    QueueCleanup cleanup{sb.root()};
    dbtest::Conn db(sb.path("/opt/KVT7400/db.sqlite3"));
    auto cell = [&](const std::string& sql) { return db.scalar(sql, true); };
    const std::string boots = "SELECT snmp_engine_boots FROM webapp_snmp_agent WHERE id=1";
    {
        SimProcess p(sb.root());
        ASSERT_TRUE(p.wait_started(20000)) << p.console();
        EXPECT_TRUE(wait_until([&] { return cell(boots) == "1"; }, 2000)) << cell(boots);
        ASSERT_EQ(kvtctl(sb, {"send", "62,2,ops,3,Auth-Phrase-2,3,Priv-Phrase-2,1,1,"}), 0);
        ASSERT_EQ(kvtctl(sb, {"snmp-v1v2c", "off"}), 0);
        EXPECT_TRUE(wait_until([&] { return cell("SELECT snmp_v1v2c_enable FROM webapp_snmp_agent") == "0"; }, 2000));
        EXPECT_EQ(cell("SELECT snmp_user_name||'|'||snmp_user_auth||'|'||snmp_user_auth_pass||'|'||snmp_user_priv||'|'||"
                       "snmp_user_priv_pass||'|'||snmp_user_access||'|'||snmp_user_enable FROM webapp_snmp_user WHERE id=2"),
                  "ops|3|Auth-Phrase-2|3|Priv-Phrase-2|1|1");
        p.signal(SIGTERM);
        EXPECT_EQ(p.wait_exit(10000), 0) << p.console();
        EXPECT_NE(p.console().find("62, 2, ops, 3, ***, 3, ***, 1, 1, "), std::string::npos) << p.console();
        EXPECT_EQ(p.console().find("Phrase-2"), std::string::npos);
        EXPECT_EQ(sb.applog().find("Phrase-2"), std::string::npos);
    }
    // The run line stays up from the first start, so the count itself is
    // what the second start is waited on by.
    SimProcess again(sb.root());
    EXPECT_TRUE(wait_until([&] { return cell(boots) == "2"; }, 20000)) << cell(boots) << again.console();
    EXPECT_EQ(cell("SELECT snmp_v1v2c_enable FROM webapp_snmp_agent"), "0") << "the switch survives the restart";
}
