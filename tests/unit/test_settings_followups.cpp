// The system actions reached through the settings writer and the command
// channel: clock, NTP and syslog after their sections are saved, the session
// policy before the restart of a settings upload.
#include <gtest/gtest.h>

#include "command.h"
#include "common.h"
#include "sandbox.h"

namespace {

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

TEST(SavedSettingsApplied, ClockThenNtpAndSyslogAfterTheirSave)
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

TEST(SettingsUpload, SessionPolicyMergedBeforeTheRestart)
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
