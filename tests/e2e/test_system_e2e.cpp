// The simulated service end to end, driven through kvtctl: the settings-file
// handshake and a network change.
#include <gtest/gtest.h>

#include <sys/ipc.h>
#include <sys/msg.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fstream>

#include "db_test_support.h"
#include "monitor_table.h"
#include "process.h"
#include "sandbox.h"

namespace {

int kvtctl(const TestSandbox& sb, const std::vector<std::string>& args) { return run_tool("kvtctl", sb.root(), args); }

}  // namespace

TEST(SystemE2E, SettingsFileExportEditImportThroughKvtctl)
{
    TestSandbox sb;
    QueueCleanup cleanup{sb.root()};
    SimProcess p(sb.root());
    ASSERT_TRUE(p.wait_started(20000)) << p.console();

    // Export, edit one name, import: the service takes it and deletes the file.
    const std::string csv = sb.root() + "/wire-humid.csv";
    ASSERT_EQ(kvtctl(sb, {"export-settings", "wire-humid", csv}), 0) << p.console();
    std::string text = sb.read("/wire-humid.csv");
    ASSERT_EQ(text.compare(0, 3, "\xEF\xBB\xBF"), 0);
    size_t row3 = text.find("\n3,");
    ASSERT_NE(row3, std::string::npos) << text;
    text.insert(row3 + 3, "edited");
    sb.write("/wire-humid.csv", text);
    ASSERT_EQ(kvtctl(sb, {"import-settings", "wire-humid", csv}), 0) << p.console();
    EXPECT_FALSE(sb.exists("/tmp/1WireH_config.csv"));
    ASSERT_EQ(kvtctl(sb, {"export-settings", "wire-humid", csv}), 0);
    EXPECT_NE(sb.read("/wire-humid.csv").find("\n3,edited"), std::string::npos);
    // The settings writer has stored the imported row.
    dbtest::Conn db(sb.path("/opt/KVT7400/db.sqlite3"));
    EXPECT_TRUE(wait_until([&] { return db.scalar("SELECT name FROM webapp_wire_humid WHERE id=3", true).rfind("edited", 0) == 0; }, 3000));

    p.signal(SIGTERM);
    EXPECT_EQ(p.wait_exit(10000), 0);
    EXPECT_TRUE(p.wait_console("end file thread", 1000));
}

TEST(SystemE2E, NetworkChangeEndsInTheRestart)
{
    TestSandbox sb;
    QueueCleanup cleanup{sb.root()};
    SimProcess p(sb.root());
    ASSERT_TRUE(p.wait_started(20000)) << p.console();

    ASSERT_EQ(kvtctl(sb, {"send",
                                 "32,1,kvt-e2e,0,192.168.10.20,255.255.255.0,192.168.10.255,192.168.10.1,192.168.10.1,,"
                                 "8.8.4.4"}),
              0);
    ASSERT_EQ(p.wait_exit(20000), 0) << p.console();

    EXPECT_EQ(sb.read("/etc/hostname"), "kvt-e2e\n");
    EXPECT_EQ(sb.read("/etc/systemd/network/10-eth.network"),
              "[Match]\nName=eth0\n\n[Network]\nAddress=192.168.10.20/24\nGateway=192.168.10.1\n");
    const std::string resolv = "nameserver 192.168.10.1\nnameserver \nnameserver 8.8.4.4\n";
    EXPECT_EQ(sb.read("/tmp/resolv.conf"), resolv);
    EXPECT_EQ(sb.read("/etc/resolv.conf"), resolv);
    EXPECT_EQ(sb.table<MONITOR_TABLE::RequestFlg>("/tmp/mmapfile_flg").network_set_configuration, 0);
    EXPECT_EQ(dbtest::Conn(sb.path("/opt/KVT7400/db.sqlite3")).scalar("SELECT net_host FROM webapp_network_config WHERE id=1", true),
              "kvt-e2e");

    // The files are in place before the restart; every thread has ended
    // before it begins, so its commands are the last ones journaled.
    std::vector<std::string> j = sb.journal();
    ASSERT_GE(j.size(), 6u);
    EXPECT_NE(std::find(j.begin(), j.end() - 6, "cp -f /tmp/resolv.conf /etc/resolv.conf"), j.end() - 6);
    EXPECT_EQ(std::vector<std::string>(j.end() - 6, j.end()),
              (std::vector<std::string>{
                  "timeout 60s systemctl stop syslog.socket",
                  "timeout 60s systemctl stop busybox-syslog",
                  "timeout 60s ps  | grep UpMgr7400.py | grep -v grep | awk '{print $1}' | xargs -r kill",
                  "timeout 60s systemctl stop kvt-uwsgi",
                  "timeout 60s systemctl stop nginx",
                  "sync",
              }));
    EXPECT_FALSE(sb.journal_has("shutdown -h now"));
    std::vector<std::string> fpga = sb.fpga_writes();
    ASSERT_GE(fpga.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(fpga.end() - 4, fpga.end()),
              (std::vector<std::string>{"0x51000004 1", "0x51000004 8", "0x51000004 1", "0x51000004 6"}));
    EXPECT_NE(sb.applog().find("> 再起動します\n"), std::string::npos);
    EXPECT_NE(sb.applog().find("> Application restart\n"), std::string::npos);
    EXPECT_EQ(sb.applog().find("Application update"), std::string::npos);
    EXPECT_TRUE(p.wait_console("end network thread", 1000));
}
