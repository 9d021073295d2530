// System actions: syslog, NTP, clock, versions, factory database, DIP-switch
// resets and the web session policy, checked on the sandbox's files and the
// command journal, alone and as the follow-ups of saved settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "command.h"
#include "common.h"
#include "db_test_support.h"
#include "sandbox.h"
#include "sysadmin.h"
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace SETTINGS_TABLE;

namespace {

SETTINGS_TABLE::Syslog syslog_of(int destination, const char* ip, int port)
{
    SETTINGS_TABLE::Syslog s{};
    s.destination = destination;
    copy_text(s.ipaddr, ip);
    s.port = port;
    return s;
}

SETTINGS_TABLE::Time time_with_servers(const char* a, const char* b, const char* c)
{
    SETTINGS_TABLE::Time t{};
    copy_text(t.ntp[0], a);
    copy_text(t.ntp[1], b);
    copy_text(t.ntp[2], c);
    return t;
}

struct WriterFixture {
    MONITOR_TABLE::RequestFlg flg{};
    MONITOR_TABLE_CLASS mon;
    WriterFixture()
    {
        reset_run_flags();
        mon.requestflg = &flg;
        monitor = &mon;
        db_save.clear();
    }
    ~WriterFixture()
    {
        close_db();
        monitor = nullptr;
        reset_run_flags();
    }
};

}  // namespace

TEST(SystemActionTest, SyslogOptionsAndNtpServerLinesFollowTheirSettings)
{
    auto syslog = [](int destination, const char* ip, int port) {
        return [=](const std::string& text) { return SYSADMIN::syslog_rewrite(text, syslog_of(destination, ip, port)); };
    };
    auto ntp = [](const char* a, const char* b, const char* c) {
        return [=](const std::string& text) { return SYSADMIN::ntp_rewrite(text, time_with_servers(a, b, c)); };
    };
    const std::string two_servers = "# ntp\ndriftfile /x\nserver a.example\nfudge 1\nserver b.example iburst\nrestrict\n";
    struct Case {
        const char* what;
        std::function<std::string(const std::string&)> rewrite;
        std::string old_text, expected;
    };
    const Case cases[] = {
        {"syslog remote", syslog(1, "192.0.2.5", 514),
         "# busybox\nOPTIONS=\"-O /opt/syslog/messages -s 200 -b 7\"\nOTHER=1\n",
         "# busybox\nOPTIONS=\"-R 192.0.2.5:514\"\nOTHER=1\n"},
        {"syslog local", syslog(0, "10.0.0.1", 514), "OPTIONS=\"-R 10.0.0.1:514\"\n",
         "OPTIONS=\"-O /opt/syslog/messages -s 200 -b 7\"\n"},
        {"syslog commented only: unchanged, nothing added", syslog(1, "192.0.2.5", 514),
         "#OPTIONS=\"-R 1.2.3.4:1\"\nA=b\n", "#OPTIONS=\"-R 1.2.3.4:1\"\nA=b\n"},
        {"syslog: every OPTIONS line replaced, last without newline", syslog(1, "h", 1), "OPTIONS=a\nX\nOPTIONS_B=c",
         "OPTIONS=\"-R h:1\"\nX\nOPTIONS=\"-R h:1\"\n"},
        {"ntp slots 1 and 3 where the first server stood", ntp("ntp1.example", "", "ntp3.example"), two_servers,
         "# ntp\ndriftfile /x\nserver ntp1.example\nserver ntp3.example\nfudge 1\nrestrict\n"},
        {"ntp all slots empty: local clock once", ntp("", "", ""), two_servers,
         "# ntp\ndriftfile /x\nserver 127.127.1.0\nfudge 1\nrestrict\n"},
        {"ntp commented server kept", ntp("", "s2", ""), "#server old\nserver x\n", "#server old\nserver s2\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.rewrite(c.old_text), c.expected) << c.what;
}

// The happy paths run through the settings writer's follow-ups; here the
// files are missing: syslog is left alone, NTP is started again.
TEST(SystemActionTest, WithoutTheirFileSyslogIsLeftAloneAndNtpRestarted)
{
    TestSandbox sb;
    admin_settings.syslog = syslog_of(1, "192.0.2.5", 514);
    admin_settings.time = time_with_servers("", "", "ntp.example");
    std::remove(sb.path("/etc/default/busybox-syslog").c_str());
    std::remove(sb.path("/etc/ntp.conf").c_str());
    EXPECT_EQ(syslog_sh(), -1);
    EXPECT_EQ(ntp_sh(), -1);
    EXPECT_EQ(sb.journal(), (std::vector<std::string>{"systemctl stop ntpd", "systemctl start ntpd"}));
}

TEST(SystemActionTest, VersionReadsBoardPackageAndUpdateTime)
{
    EXPECT_EQ(SYSADMIN::version_from_package_line("kvt7400sys - 2.0.10\n"), "2.0.10");  // no release: the remainder
    EXPECT_EQ(SYSADMIN::version_from_package_line("kvt7400sys - 1.2-r3\nkvt7400sys-dbg - 9-r1\n"), "1.2");
    EXPECT_EQ(SYSADMIN::version_from_package_line("kvt7400sys"), "");
    EXPECT_EQ(SYSADMIN::updatetime_from_line("no period\n"), "no period");
    EXPECT_EQ(SYSADMIN::revision_text(0xABCD), "0xABCD");
    TestSandbox sb;
    ASSERT_EQ(fpga_open(), 0);
    std::memset(software_ver, 0, sizeof software_ver);
    ASSERT_EQ(version_sh(), 0);
    EXPECT_STREQ(hardware_ver, "0x0102");
    EXPECT_EQ(sb.read("/tmp/version.txt"), "0x0102\n");
    EXPECT_STREQ(software_ver, "1.1.1");
    EXPECT_EQ(sb.journal(), std::vector<std::string>{"opkg list |grep kvt7400sys > /tmp/sysver.txt"});
    // The updater never ran: the file is made and the time is unknown.
    EXPECT_EQ(sb.read("/log/uptime.txt"), "---.");
    EXPECT_STREQ(updatetime, "---");

    // Texts too long for the 15 characters are cut.
    sb.write("/sim/answers/opkg", "kvt7400sys - 1.2.3.4.5.6.7.8.9.10-r0\nother - 1-r0\n");
    sb.write("/log/uptime.txt", "2026-11-30T10:00:00+09:00.123\n");
    ASSERT_EQ(version_sh(), 0);
    EXPECT_STREQ(software_ver, "1.2.3.4.5.6.7.8");
    EXPECT_STREQ(updatetime, "2026-11-30T10:0");
    sb.write("/log/uptime.txt", "");  // empty counts as missing
    ASSERT_EQ(version_sh(), 0);
    EXPECT_STREQ(updatetime, "---");
}

TEST(SystemActionTest, FactoryDatabaseCopiedOnlyWhenMissingOrEmpty)
{
    TestSandbox sb;
    ASSERT_EQ(db_copy(), 0);
    EXPECT_TRUE(sb.journal().empty());
    EXPECT_NE(sb.applog().find("> exist DB\n"), std::string::npos);

    sb.write("/opt/KVT7400/db.sqlite3", "");
    ASSERT_EQ(db_copy(), 0);
    EXPECT_EQ(sb.journal(), std::vector<std::string>{"cp -f /opt/KVT7400/ini_files/db.sqlite3 /opt/KVT7400/db.sqlite3"});
    EXPECT_NE(sb.applog().find("> copy DB\n"), std::string::npos);
    EXPECT_EQ(sb.read("/opt/KVT7400/db.sqlite3"), sb.read("/opt/KVT7400/ini_files/db.sqlite3"));
}

TEST(SystemActionTest, EachDipSwitchRunsItsResetInOrder)
{
    const std::vector<std::string> network_cmds = {
        "cp -f /opt/KVT7400/ini_files/hostname /etc/hostname",
        "cp -f /opt/KVT7400/ini_files/10-eth.network /etc/systemd/network/10-eth.network",
        "cp -f /opt/KVT7400/ini_files/resolv.conf /etc/resolv.conf",
        "systemctl restart systemd-networkd",
        "systemctl restart busybox-syslog",
    };
    std::vector<std::string> full_cmds = {"cp -f /opt/KVT7400/ini_files/db.sqlite3 /opt/KVT7400/db.sqlite3"};
    full_cmds.insert(full_cmds.end(), network_cmds.begin(), network_cmds.end() - 1);
    for (const char* c : {"cp -f /opt/KVT7400/ini_files/ntp.conf /etc/ntp.conf", "systemctl start ntpd",
                          "cp -f /opt/KVT7400/ini_files/busybox-syslog /etc/default/busybox-syslog",
                          "systemctl restart busybox-syslog"})
        full_cmds.push_back(c);
    struct Case {
        std::vector<int> set;
        std::vector<std::string> commands;
        std::vector<std::string> logged;  // in this order
        int users;                        // rows of webapp_user afterwards
        int ini_account;
    };
    const Case cases[] = {
        {{}, {}, {}, 1, 0},
        {{52}, {}, {}, 1, 0},
        {{49}, {}, {"アカウント設定初期化"}, 0, 1},
        {{50}, network_cmds, {"ネットワーク設定初期化"}, 1, 0},
        {{51}, full_cmds, {"全設定初期化"}, 1, 0},
        // The account reset empties the table, then the full reset brings the
        // factory database back: the factory account is what remains.
        {{49, 51}, full_cmds, {"アカウント設定初期化", "全設定初期化"}, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.set));
        TestSandbox sb;
        WriterFixture fx;
        ASSERT_GE(gpio2_open(), 0);
        ASSERT_EQ(open_db(), 0);
        for (int line : c.set) sb.set_gpio(2, line, 0);

        ASSERT_EQ(read_DIP_SW(), 0);
        EXPECT_EQ(sb.journal(), c.commands);
        std::string log = sb.applog();
        size_t at = 0;
        for (const auto& m : c.logged) {
            size_t p = log.find("> " + m + "\n", at);
            EXPECT_NE(p, std::string::npos) << m << " in order in\n" << log;
            at = p == std::string::npos ? at : p;
        }
        EXPECT_EQ(dbtest::Conn(sb.path("/opt/KVT7400/db.sqlite3")).scalar("SELECT count(*) FROM webapp_user"),
                  std::to_string(c.users));
        EXPECT_EQ(fx.flg.ini_account, c.ini_account);
        // The service can still use its database afterwards.
        EXPECT_NE(select_db("SELECT count(*) FROM webapp_user"), "");
        gpio2_close();
    }
}

TEST(SystemActionTest, SessionMergeKeepsTheNextLineAndNeedsASessionText)
{
    // A session text without its last newline does not swallow the next line.
    EXPECT_EQ(SYSADMIN::session_merge("SESSION_EXPIRE_AT_BROWSER_CLOSE=True\nB=2\n", "X=1"), "X=1\nB=2\n");

    TestSandbox sb;
    std::string before = sb.read("/opt/KVT7400/KVT7400/settings.py");
    EXPECT_EQ(session_conf(), -1);  // no session text yet: nothing touched
    EXPECT_EQ(sb.read("/opt/KVT7400/KVT7400/settings.py"), before);
}

TEST(SystemActionTest, ClockThenNtpAndSyslogAfterTheirSave)
{
    struct Case {
        int kind;
        std::vector<std::string> commands;
        const char* file;
        const char* written;
    };
    const Case cases[] = {
        {36,
         {"date 110709152026.30", "hwclock -w --utc", "systemctl stop ntpd", "systemctl start ntpd"},
         "/etc/ntp.conf",
         "server ntp.example.jp\n"},
        {55, {"systemctl restart busybox-syslog"}, "/etc/default/busybox-syslog", "OPTIONS=\"-R 192.0.2.9:1514\"\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        TestSandbox sb;
        WriterFixture fx;
        ASSERT_EQ(open_db(), 0);
        auto& t = admin_settings.time;
        t = {};
        t.year = 2026, t.month = 11, t.day = 7, t.hour = 9, t.minute = 15, t.second = 30;
        copy_text(t.ntp[0], "ntp.example.jp");
        admin_settings.syslog.destination = 1;
        copy_text(admin_settings.syslog.ipaddr, "192.0.2.9");
        admin_settings.syslog.port = 1514;
        fx.flg.time_set_configuration = 9;
        fx.flg.syslog_configuration = 9;

        db_save.push_n(c.kind, 999);
        ASSERT_EQ(dbsave_batch(), 1);
        EXPECT_EQ(sb.journal(), c.commands);
        EXPECT_NE(sb.read(c.file).find(c.written), std::string::npos) << sb.read(c.file);
        EXPECT_EQ(c.kind == 36 ? fx.flg.time_set_configuration : fx.flg.syslog_configuration, 0);
    }
}

TEST(SystemActionTest, SettingsUploadMergesTheSessionPolicyBeforeTheRestart)
{
    TestSandbox sb;
    WriterFixture fx;
    sb.write("/opt/kvt/sbin/session.txt",
             "SESSION_EXPIRE_AT_BROWSER_CLOSE=False\nSESSION_COOKIE_AGE=300\nSESSION_SAVE_EVERY_REQUEST=False\n");
    dispatch_command({"60", "2"});
    std::string py = sb.read("/opt/KVT7400/KVT7400/settings.py");
    EXPECT_NE(py.find("SESSION_COOKIE_AGE=300\n"), std::string::npos) << py;
    EXPECT_EQ(py.find("SESSION_COOKIE_AGE=1800"), std::string::npos) << py;
    EXPECT_EQ(control.load(), 0);
    EXPECT_EQ(rebootflg.load(), 1);
}

namespace {

std::vector<std::string> split(const std::string& s) { return split_fields(s.data(), s.size()); }

// A disk that takes only `bytes` more of any file this process writes.
class FullDisk {
public:
    explicit FullDisk(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, SIG_IGN);
        rlimit r = saved_;
        r.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &r);
    }
    ~FullDisk() { setrlimit(RLIMIT_FSIZE, &saved_); }

private:
    rlimit saved_{};
};

}  // namespace

TEST(SystemActionTest, SystemFilesAreReplacedWholeOrNotAtAll)
{
    TestSandbox sb(false);
    const std::string path = "/etc/ntp.conf";
    const std::string old_text = sb.read(path);
    // Another name for the old file keeps the old text: the new one is a new file.
    const std::string link = sb.path("/etc/ntp.conf.old");
    ASSERT_EQ(::link(sb.path(path).c_str(), link.c_str()), 0);
    EXPECT_TRUE(write_text_file(path, "server a\n"));
    EXPECT_EQ(sb.read(path), "server a\n");
    EXPECT_EQ(sb.read("/etc/ntp.conf.old"), old_text);

    std::string big(4096, 'x');
    {
        FullDisk disk(1024);
        EXPECT_FALSE(write_text_file(path, big));
    }
    EXPECT_EQ(sb.read(path), "server a\n");
    EXPECT_FALSE(sb.exists(path + ".new"));
    EXPECT_NE(sb.applog().find("write_text_file: write /etc/ntp.conf: File too large"), std::string::npos);
}

TEST(SystemActionTest, FullDiskLeavesSessionNtpAndNetworkAsTheyWere)
{
    TestSandbox sb(false);
    reset_run_flags();
    // Settings file: no session file, no restart of the web UI.
    const std::string py = sb.read("/opt/KVT7400/KVT7400/settings.py");
    {
        FullDisk disk(16);
        dispatch_command(split("59,False,300,False,"));
    }
    EXPECT_EQ(sb.read("/opt/KVT7400/KVT7400/settings.py"), py);
    EXPECT_FALSE(sb.exists("/opt/kvt/sbin/session.txt"));
    EXPECT_FALSE(sb.journal_has("systemctl restart kvt-uwsgi"));

    // NTP: the daemon is started again all the same (the journal's two lines
    // still fit, the new configuration does not).
    copy_text(admin_settings.time.ntp[0], "ntp.example");
    {
        FullDisk disk(64);
        EXPECT_EQ(ntp_sh(), -1);
    }
    EXPECT_TRUE(sb.journal_has("systemctl start ntpd"));

    // Network: no restart on a damaged unit, the change stays pending.
    copy_text(admin_settings.network.host, "kvt7400-new");
    copy_text(admin_settings.network.ipaddr, "10.0.0.2");
    copy_text(admin_settings.network.netmask, "255.0.0.0");
    const std::string unit = sb.read("/etc/systemd/network/10-eth.network");
    {
        FullDisk disk(4);
        EXPECT_FALSE(SYSADMIN::network_apply());
    }
    EXPECT_EQ(sb.read("/etc/systemd/network/10-eth.network"), unit);
    EXPECT_EQ(sb.read("/etc/hostname"), "kvt7400\n");
    EXPECT_EQ(rebootflg.load(), 0);
}
