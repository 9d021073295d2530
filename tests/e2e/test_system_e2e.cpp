// The simulated service end to end, driven through kvtctl: the settings-file
// handshake and a network change.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/ipc.h>
#include <sys/msg.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fstream>

#include "monitor_table.h"
#include "process.h"
#include "sandbox.h"

namespace {

// Rows of a query as "a|b" texts, read with a connection of our own.
std::vector<std::string> query(const std::string& db_path, const std::string& sql)
{
    std::vector<std::string> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "sqlite3_open_v2 " << db_path;
        sqlite3_close(db);
        return rows;
    }
    sqlite3_busy_timeout(db, 5000);  // the service may be committing right now
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "sqlite3_prepare_v2 " << sql << ": " << sqlite3_errmsg(db);
    } else {
        while (sqlite3_step(st) == SQLITE_ROW) {
            std::string row;
            for (int c = 0; c < sqlite3_column_count(st); ++c) {
                const unsigned char* t = sqlite3_column_text(st, c);
                row += (c ? "|" : "") + std::string(t ? reinterpret_cast<const char*>(t) : "");
            }
            rows.push_back(row);
        }
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

MONITOR_TABLE::RequestFlg flags(const std::string& root)
{
    std::ifstream in(root + "/tmp/mmapfile_flg", std::ios::binary);
    MONITOR_TABLE::RequestFlg f{};
    in.read(reinterpret_cast<char*>(&f), sizeof f);
    return f;
}

int queue_of(const std::string& root)
{
    key_t key = ftok((root + "/msgq.key").c_str(), 'X');
    return key == -1 ? -1 : msgget(key, IPC_CREAT | 0666);
}

// kvtctl, the web UI's stand-in, on the sandbox; its exit code.
int kvtctl(const std::string& root, const std::vector<std::string>& args, std::string* out = nullptr)
{
    std::vector<std::string> argv = {std::string(KVT_BIN_DIR) + "/kvtctl", "-r", root};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string ignored;
    return run_program(argv, out ? out : &ignored);
}

}  // namespace

TEST(SysEndToEnd, SettingsFileExportEditImportThroughKvtctl)
{
    TestSandbox sb;
    const std::string db = sb.path("/opt/KVT7400/db.sqlite3");
    SimProcess p(sb.root());
    ASSERT_TRUE(p.wait_started(20000)) << p.console();

    // Export, edit one name, import: the service takes it and deletes the file.
    const std::string csv = sb.root() + "/wire-humid.csv";
    ASSERT_EQ(kvtctl(sb.root(), {"export-settings", "wire-humid", csv}), 0) << p.console();
    std::string text = sb.read("/wire-humid.csv");
    ASSERT_EQ(text.compare(0, 3, "\xEF\xBB\xBF"), 0);
    size_t row3 = text.find("\n3,");
    ASSERT_NE(row3, std::string::npos) << text;
    text.insert(row3 + 3, "edited");
    sb.write("/wire-humid.csv", text);
    ASSERT_EQ(kvtctl(sb.root(), {"import-settings", "wire-humid", csv}), 0) << p.console();
    EXPECT_FALSE(sb.exists("/tmp/1WireH_config.csv"));
    ASSERT_EQ(kvtctl(sb.root(), {"export-settings", "wire-humid", csv}), 0);
    EXPECT_NE(sb.read("/wire-humid.csv").find("\n3,edited"), std::string::npos);
    // The settings writer has stored the imported row.
    EXPECT_TRUE(wait_until(
        [&] {
            auto rows = query(db, "SELECT name FROM webapp_wire_humid WHERE id=3");
            return rows.size() == 1 && rows[0].rfind("edited", 0) == 0;
        },
        3000));

    p.signal(SIGTERM);
    EXPECT_EQ(p.wait_exit(10000), 0);
    EXPECT_TRUE(p.wait_console("end file thread", 1000));
    msgctl(queue_of(sb.root()), IPC_RMID, nullptr);
}

TEST(SysEndToEnd, NetworkChangeEndsInTheRestart)
{
    TestSandbox sb;
    SimProcess p(sb.root());
    ASSERT_TRUE(p.wait_started(20000)) << p.console();
    size_t journal_before = sb.journal().size();

    ASSERT_EQ(kvtctl(sb.root(), {"send",
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
    EXPECT_EQ(flags(sb.root()).network_set_configuration, 0);
    EXPECT_EQ(query(sb.path("/opt/KVT7400/db.sqlite3"), "SELECT net_host FROM webapp_network_config WHERE id=1"),
              std::vector<std::string>{"kvt-e2e"});

    // The files are in place before the restart stops the system services.
    std::vector<std::string> j = sb.journal();
    std::vector<std::string> tail(j.begin() + static_cast<long>(journal_before), j.end());
    const std::vector<std::string> expected = {
        "cp -f /tmp/resolv.conf /etc/resolv.conf",
        "timeout 60s systemctl stop syslog.socket",
        "timeout 60s systemctl stop busybox-syslog",
        "timeout 60s ps  | grep UpMgr7400.py | grep -v grep | awk '{print $1}' | xargs -r kill",
        "timeout 60s systemctl stop kvt-uwsgi",
        "timeout 60s systemctl stop nginx",
        "sync",
    };
    // Other threads may journal commands of their own in between.
    auto at = tail.begin();
    for (const auto& cmd : expected) {
        at = std::find(at, tail.end(), cmd);
        ASSERT_NE(at, tail.end()) << "in order: " << cmd << "\n" << testing::PrintToString(tail);
    }
    std::vector<std::string> fpga = sb.fpga_writes();
    ASSERT_GE(fpga.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(fpga.end() - 4, fpga.end()),
              (std::vector<std::string>{"0x51000004 1", "0x51000004 8", "0x51000004 1", "0x51000004 6"}));
    std::string applog = sb.read("/log/app_log/applog1.txt");
    EXPECT_NE(applog.find("> 再起動します\n"), std::string::npos);
    EXPECT_NE(applog.find("> Application restart\n"), std::string::npos);
    EXPECT_TRUE(p.wait_console("end network thread", 1000));
    msgctl(queue_of(sb.root()), IPC_RMID, nullptr);
}
