// Mail to a real SMTP server (aiosmtpd) on loopback: from the running
// simulator through the mail script every sandbox gets (a scenario alert,
// the web UI's test mail, sending off, a server down and back, the reports
// of one minute, an alert tried again until the server is back or given
// up), and the script alone over STARTTLS with a login.
#include <gtest/gtest.h>

#include <ctime>

#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "board_lines.h"
#include "db_test_support.h"
#include "mqtt_peer.h"
#include "process.h"
#include "record_text.h"
#include "sandbox.h"
#include "smtp_sink.h"

namespace {

// The service's clock starts `at` where libfaketime is installed.
std::vector<std::string> clock_at(const std::string& at)
{
    if (std::string(KVT_FAKETIME_LIB).empty()) return {};
    return {"LD_PRELOAD=" KVT_FAKETIME_LIB, "FAKETIME=@" + at, "FAKETIME_DONT_FAKE_MONOTONIC=1"};
}

std::string tool(const TestSandbox& sb, const std::string& name, const std::vector<std::string>& args)
{
    std::string out;
    run_tool(name, sb.root(), args, &out);
    return out;
}

// The web UI's test mail to destination 2, then its wait for the answer.
bool test_mail_answered(const TestSandbox& sb, const std::string& answer)
{
    tool(sb, "kvtctl", {"flags", "set", "mail_client_set_configuration", "4"});
    tool(sb, "kvtctl", {"send", "51,2,"});
    return wait_until([&] { return tool(sb, "kvtctl", {"flags", "mail_client_set_configuration"}) == answer; }, 10000);
}

bool logged(const TestSandbox& sb, const std::string& line)
{
    return wait_until([&] { return sb.applog().find(line) != std::string::npos; }, 10000);
}

}  // namespace

TEST(MailE2E, AlertAndTestMailsToListsEndingInSemicolonReachTheServerAndFailuresAreLogged)
{
    TestSandbox sb;
    QueueCleanup queue{sb.root()};
    auto sink = std::make_unique<SmtpSink>(sb.root() + "/smtp");
    ASSERT_TRUE(sink->ready(10000)) << sink->log();
    const std::string port = std::to_string(sink->port());
    // Destination 1 gets every analog alert; both lists end in ";", as the
    // web UI lets them.
    dbtest::Conn db(sb.path("/opt/KVT7400/db.sqlite3"));
    db.exec("UPDATE webapp_mailconfig SET mail_smtp='127.0.0.1', mail_smtp_port=" + port +
                ", mail_mailaddr='kvt@example.com', mail_sender='KVT Room 3', mail_sendmail=1;"
                "UPDATE webapp_mail_client SET mailclient_addr='a@example.com;b@example.com;',"
                " mailclient_subject='Room 3: \"alert\" & $HOME `id` ''x'' ; 温度' WHERE id=1;"
                "UPDATE webapp_mail_client SET mailclient_addr='o''brien@example.com;c@example.com;' WHERE id=2;"
                "UPDATE webapp_mail_client_scenario SET sensortype=2, sensor=1, state=8, enable=1 WHERE id=1;"
                "UPDATE webapp_ai SET name='Room 3 air', unit='V', enable=1, alert_max_val=3000,"
                " alert_max_clear=2900, err_sampling=1, trend_id=0 WHERE id=1;");
    SimProcess p(sb.root(), clock_at("2026-01-05 10:00:52"));
    ASSERT_TRUE(p.wait_started(30000)) << p.console();

    // The analog board's source: 7.2 mA reads 20.00, 9.6 mA 35.00; a second
    // beyond the level lets the smoothed value settle before it is judged.
    tool(sb, "kvtsim", {"ai", "1", "7.2mA"});
    ASSERT_TRUE(p.wait_console("NX40B_sensor_state_thread tid", 75000)) << p.console();
    ASSERT_TRUE(wait_until([&] { return tool(sb, "kvtsim", {"value", "ai", "1"}) == "2000 1\n"; }, 3000));
    tool(sb, "kvtsim", {"ai", "1", "9.6mA"});
    ASSERT_TRUE(sink->wait_count(2, 10000)) << sink->log() << p.console();
    const std::vector<ReceivedMail> mails = sink->mails();
    ASSERT_EQ(mails.size(), 2u);
    for (size_t i = 0; i < 2; ++i)
        EXPECT_EQ(fields(mails[i].rcpt_to, mails[i].from, mails[i].subject, mails[i].body),
                  fields(i == 0 ? "a@example.com" : "b@example.com", "KVT Room 3 <kvt@example.com>",
                         "Room 3: \"alert\" & $HOME `id` 'x' ; 温度",
                         "センサータイプ:アナログ入力\nチャネル:1\n名称:Room 3 air\n状態:警報上限\n値:35.00 V\n"));

    // The empty place after the last ";" is nobody: the test mail counts as sent.
    ASSERT_TRUE(test_mail_answered(sb, "1\n")) << sb.applog();
    ASSERT_TRUE(sink->wait_count(4, 5000));
    EXPECT_EQ(fields(sink->mails()[2].rcpt_to, sink->mails()[2].body, sink->mails()[3].rcpt_to),
              "o'brien@example.com|テストメール\n|c@example.com");
    EXPECT_EQ(sb.applog().find("to '' not sent"), std::string::npos) << sb.applog();

    // Sending switched off by the web UI, then on again with the server down.
    const std::string server = "39,1,127.0.0.1," + port + ",,,kvt@example.com,KVT Room 3,0,0,";
    tool(sb, "kvtctl", {"send", server + "0,"});
    ASSERT_TRUE(test_mail_answered(sb, "0\n"));
    EXPECT_TRUE(logged(sb, "メール送信が無効のため、送信されませんでした"));
    tool(sb, "kvtctl", {"send", server + "1,"});
    sink.reset();
    ASSERT_TRUE(test_mail_answered(sb, "0\n"));
    EXPECT_TRUE(logged(sb, "mailsend.py exit 3: id:2 test to 'o'brien@example.com' not sent")) << sb.applog();

    // The server back on its port: the next mail goes out.
    SmtpSink again(sb.root() + "/smtp-again", std::stoi(port));
    ASSERT_TRUE(again.ready(10000)) << again.log();
    ASSERT_TRUE(test_mail_answered(sb, "1\n"));
    EXPECT_EQ(again.mails().size(), 2u);

    p.signal(SIGTERM);
    EXPECT_EQ(p.wait_exit(10000), 0) << p.console();
    EXPECT_NE(p.console().find("end mail thread\n"), std::string::npos);
}

TEST(MailE2E, DailyWeeklyAndMonthlyReportsOfTheMinuteGoOutInReportOrder)
{
    TestSandbox sb;
    QueueCleanup queue{sb.root()};
    SmtpSink sink(sb.root() + "/smtp");
    ASSERT_TRUE(sink.ready(10000)) << sink.log();
    // 2026-01-05 is a Monday. Due at 08:30: report 1 daily, 2 weekly on
    // Mondays (to destination 2), 3 monthly on the 5th; not due: 4 weekly on
    // Tuesdays, 5 monthly on the 6th.
    dbtest::Conn db(sb.path("/opt/KVT7400/db.sqlite3"));
    db.exec("UPDATE webapp_mailconfig SET mail_smtp='127.0.0.1', mail_smtp_port=" + std::to_string(sink.port()) +
                ", mail_mailaddr='kvt@example.com', mail_sendmail=1;"
                "UPDATE webapp_mail_client SET mailclient_addr='a@example.com' WHERE id=1;"
                "UPDATE webapp_mail_client SET mailclient_addr='c@example.com' WHERE id=2;"
                "UPDATE webapp_mailreport SET mailreport_hour=8, mailreport_minute=30, mailreport_addr=1,"
                " mailreport_subject='R' || id, mailreport_week=1, mailreport_day=5;"
                "UPDATE webapp_mailreport SET mailreport_enable=1 WHERE id=1;"
                "UPDATE webapp_mailreport SET mailreport_enable=2, mailreport_addr=2 WHERE id=2;"
                "UPDATE webapp_mailreport SET mailreport_enable=4 WHERE id=3;"
                "UPDATE webapp_mailreport SET mailreport_enable=2, mailreport_week=2 WHERE id=4;"
                "UPDATE webapp_mailreport SET mailreport_enable=4, mailreport_day=6 WHERE id=5;"
                "UPDATE webapp_di SET name='Door', ontext='open', enable=1, time=0 WHERE id=1;"
                "UPDATE webapp_vlxa SET enable=1, t_name='VT1', h_name='VH1', device_ID='00170d0000000001'"
                " WHERE id=1;"
                "UPDATE webapp_nx40 SET enable=1, name='NX5' WHERE id=5;");
    // The VLXA sensor's report, made at the service's start time; NX5 never
    // reports. Readings are in before the statistics start at the next
    // whole minute.
    const char* start = "2026-01-05 08:28:45";
    struct tm t {};
    strptime(start, "%Y-%m-%d %H:%M:%S", &t);
    t.tm_isdst = -1;
    const std::string at = "@" + std::to_string(static_cast<long long>(mktime(&t)));
    tool(sb, "kvtsim", {"mesh", "vlxa", "00170d0000000001", at, "2350", "5000", "300"});
    SimProcess p(sb.root(), clock_at(start));
    ASSERT_TRUE(p.wait_started(30000)) << p.console();
    tool(sb, "kvtsim", {"di", "1", "1"});
    ASSERT_TRUE(sink.wait_count(3, 150000)) << sink.log() << p.console();
    p.signal(SIGTERM);
    ASSERT_EQ(p.wait_exit(10000), 0) << p.console();

    const std::vector<ReceivedMail> mails = sink.mails();
    ASSERT_EQ(mails.size(), 3u) << "reports 4 and 5 are not due";
    EXPECT_EQ(fields(mails[0].subject, mails[0].rcpt_to, mails[1].subject, mails[1].rcpt_to, mails[2].subject),
              "R1|a@example.com|R2|c@example.com|R3");
    // The report's layout is the unit tests'; here the readings of the running sources.
    for (const char* line : {" Door\n        open\n", " VT1\n          2350     2350     2350     2350\n",
                             " NX5\n      ERROR ERROR ERROR ERROR\n"})
        EXPECT_NE(mails[2].body.find(line), std::string::npos) << mails[2].body;
}

TEST(MailE2E, ScriptSendsOverStartTlsWithItsLoginAndNamesARefusedOne)
{
    TestSandbox sb(false);
    const std::string cert = sb.root() + "/cert.pem", key = sb.root() + "/key.pem";
    std::string out, err;
    ASSERT_EQ(run_program({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                           "/CN=localhost", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert},
                          &out), 0) << out;
    SmtpSink tls(sb.root() + "/smtp", 0, {cert, key, "kvt", "s3cret"});
    ASSERT_TRUE(tls.ready(10000)) << tls.log();
    sb.write("/tmp/mail_message.txt", "テストメール\n");
    const std::string t = std::to_string(tls.port());
    auto run = [&](const std::string& password) {
        return run_program_split({"/usr/bin/python3", KVT_MAIL_SCRIPT, "127.0.0.1", t, "kvt", password,
                                  "kvt@example.com", "KVT", "1", "b@example.com", "TLS", "1"},
                                 &out, &err, {"KVT_ROOT=" + sb.root(), "KVT_MAIL_CAFILE=" + cert});
    };
    EXPECT_EQ(run("s3cret"), 0) << err;
    ASSERT_EQ(tls.mails().size(), 1u);
    EXPECT_EQ(fields(tls.mails()[0].tls, tls.mails()[0].auth, tls.mails()[0].body), "1|kvt|テストメール\n");
    EXPECT_EQ(run("wrong"), 4);
    EXPECT_EQ(err, "mailsend: login as 'kvt' on 127.0.0.1:" + t + " refused: 535 5.7.8 Authentication credentials invalid\n");
    EXPECT_EQ(tls.mails().size(), 1u);
}

// Digital input 3 alerts destination 1 on every change; the retries' waits
// shortened by `divisor` (30 s is 1.5 s at 20, 30 ms at 1000).
void alert_on_input3(dbtest::Conn& db, int port)
{
    db.exec("UPDATE webapp_mailconfig SET mail_smtp='127.0.0.1', mail_smtp_port=" + std::to_string(port) +
            ", mail_mailaddr='kvt@example.com', mail_sendmail=1;"
            "UPDATE webapp_mail_client SET mailclient_addr='a@example.com', mailclient_subject='Door' WHERE id=1;"
            "UPDATE webapp_mail_client_scenario SET sensortype=1, sensor=4, state=3, enable=1 WHERE id=1;"
            "UPDATE webapp_di SET time=0, enable=1, errortext_id=1 WHERE id=3;");
}

// A sandbox whose service alerts by mail when input 3 rises, with the
// retries' waits shortened by `divisor`; the input rises once the monitor
// has taken its resting level.
struct AlertBox {
    TestSandbox sb;
    QueueCleanup queue{sb.root()};
    int port = mqtt_peer::free_tcp_port();
    std::unique_ptr<SimProcess> p;

    explicit AlertBox(int divisor)
    {
        dbtest::Conn db(sb.path("/opt/KVT7400/db.sqlite3"));
        alert_on_input3(db, port);
        sb.set_gpio(BOARD::DI[2].chip, BOARD::DI[2].line, 0);
        p = std::make_unique<SimProcess>(sb.root(), std::vector<std::string>{"KVT_MAIL_RETRY_DIVISOR=" + std::to_string(divisor)});
    }
    bool raise()
    {
        if (!p->wait_started(30000) || !p->wait_console("dio_sensor_monitor_thread tid", 10000)) return false;
        sb.set_gpio(BOARD::DI[2].chip, BOARD::DI[2].line, 1);
        return true;
    }
    int stop()
    {
        p->signal(SIGTERM);
        return p->wait_exit(10000);
    }
};

TEST(MailE2E, RetriesAnAlertRaisedWhileTheServerIsDownSendsItOnceBackAndGivesUpOnOneThatNeverReturns)
{
    {
        // Down when the alert is raised, up 10 s later: the mail arrives.
        AlertBox box(20);
        ASSERT_TRUE(box.raise()) << box.p->console();
        ASSERT_TRUE(logged(box.sb, "mailsend.py exit 3: id:1 client to 'a@example.com' not sent")) << box.sb.applog();
        std::this_thread::sleep_for(std::chrono::seconds(10));
        SmtpSink sink(box.sb.root() + "/smtp", box.port);
        ASSERT_TRUE(sink.ready(10000)) << sink.log();
        ASSERT_TRUE(sink.wait_count(1, 20000)) << box.sb.applog();
        EXPECT_EQ(fields(sink.mails()[0].rcpt_to, sink.mails()[0].subject), "a@example.com|Door");
        EXPECT_TRUE(logged(box.sb, "mail id:1 client sent after "));
        EXPECT_EQ(box.stop(), 0) << box.p->console();
        EXPECT_EQ(sink.mails().size(), 1u) << "sent once";
    }
    // A server that never returns: seven tries over the shortened waits,
    // then one line.
    AlertBox box(1000);
    ASSERT_TRUE(box.raise()) << box.p->console();
    EXPECT_TRUE(logged(box.sb, "mail id:1 client to 'a@example.com' given up after 7 tries")) << box.sb.applog();
    EXPECT_EQ(count_of(box.sb.applog(), "given up"), 1);
    EXPECT_EQ(count_of(box.sb.applog(), "mailsend.py exit 3"), 7);
    EXPECT_EQ(box.stop(), 0) << box.p->console();
}
