// Mail from the running simulator to a real SMTP server (aiosmtpd) on
// loopback, through the mail script that every sandbox gets: a scenario
// alert, the web UI's test mail with its handshake, sending switched off, a
// server that is down and back, and the reports of one minute.
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "process.h"
#include "record_text.h"
#include "sandbox.h"
#include "sandbox_sql.h"
#include "smtp_sink.h"

namespace {

// The service's clock starts `at`, a little before a whole minute, where
// libfaketime is installed; otherwise the tests wait for the real minute.
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

std::string test_flag(const TestSandbox& sb) { return tool(sb, "kvtctl", {"flags", "mail_client_set_configuration"}); }

void test_mail(const TestSandbox& sb)
{
    tool(sb, "kvtctl", {"flags", "set", "mail_client_set_configuration", "4"});
    tool(sb, "kvtctl", {"send", "51,2,"});
}

}  // namespace

TEST(MailE2E, AlertAndTestMailsReachTheServerAndFailuresAreLoggedWithoutHanging)
{
    TestSandbox sb;
    QueueCleanup queue{sb.root()};
    auto sink = std::make_unique<SmtpSink>(sb.root() + "/smtp");
    ASSERT_TRUE(sink->ready(10000)) << sink->log();
    const std::string port = std::to_string(sink->port());
    const std::string subject = "Room 3: \"alert\" & $HOME `id` 'x' ; 温度";
    sandbox_sql(sb, "UPDATE webapp_mailconfig SET mail_smtp='127.0.0.1', mail_smtp_port=" + port +
                        ", mail_mailaddr='kvt@example.com', mail_sender='KVT Room 3', mail_sendmail=1;"
                        "UPDATE webapp_mail_client SET mailclient_addr='a@example.com;b@example.com;',"
                        " mailclient_subject='" + std::string("Room 3: \"alert\" & $HOME `id` ''x'' ; 温度") +
                        "' WHERE id=1;"
                        "UPDATE webapp_mail_client SET mailclient_addr='o''brien@example.com',"
                        " mailclient_subject='Test & check' WHERE id=2;"
                        "UPDATE webapp_mail_client_scenario SET sensortype=2, sensor=1, state=8, enable=1 WHERE id=1;"
                        "UPDATE webapp_ai SET name='Room 3 air', unit='V', enable=1, alert_max_val=3000,"
                        " alert_max_clear=2900, err_sampling=0, trend_id=0 WHERE id=1;");
    SimProcess p(sb.root(), clock_at("2026-01-05 10:00:52"));
    ASSERT_TRUE(p.wait_started(30000)) << p.console();
    ASSERT_TRUE(p.wait_console("mail_thread tid  : ", 5000)) << p.console();

    // Analog input 1 normal, then in upper alert once the state threads judge.
    tool(sb, "kvtsim", {"value", "ai", "1", "2000"});
    ASSERT_TRUE(p.wait_console("NX40B_sensor_state_thread tid", 75000)) << p.console();
    ASSERT_TRUE(wait_until([&] { return tool(sb, "kvtsim", {"value", "ai", "1"}) == "2000 1\n"; }, 3000));
    tool(sb, "kvtsim", {"value", "ai", "1", "3500"});
    ASSERT_TRUE(sink->wait_count(2, 10000)) << sink->log() << p.console();
    // The list's trailing ";" runs the script once more with no recipient,
    // which the script refuses.
    ASSERT_TRUE(wait_until([&] { return sb.applog().find("mailsend.py exit 1: id:1 client to '' not sent") !=
                                        std::string::npos; }, 5000)) << sb.applog() << p.console();
    std::vector<ReceivedMail> mails = sink->mails();
    ASSERT_EQ(mails.size(), 2u);
    const std::string body = "センサータイプ:アナログ入力\nチャネル:1\n名称:Room 3 air\n状態:警報上限\n値:35.00 V\n";
    for (size_t i = 0; i < 2; ++i) {
        const std::string to = i == 0 ? "a@example.com" : "b@example.com";
        EXPECT_EQ(fields(mails[i].rcpt_to, mails[i].to, mails[i].mail_from, mails[i].from, mails[i].subject),
                  fields(to, to, "kvt@example.com", "KVT Room 3 <kvt@example.com>", subject));
        EXPECT_EQ(mails[i].body, body);
    }
    EXPECT_EQ(count_of(sb.applog(), "> mail request id:1 client\n"), 1);

    // The web UI's test mail: sent, the handshake flag goes from 4 to 1.
    test_mail(sb);
    ASSERT_TRUE(sink->wait_count(3, 10000)) << sink->log();
    mails = sink->mails();
    EXPECT_EQ(fields(mails[2].rcpt_to, mails[2].subject, mails[2].body), fields("o'brien@example.com", "Test & check",
                                                                                 "テストメール\n"));
    EXPECT_TRUE(wait_until([&] { return test_flag(sb) == "1\n"; }, 3000)) << test_flag(sb);

    // Sending switched off by the web UI: logged, flag 0, nothing sent.
    const std::string server = "39,1,127.0.0.1," + port + ",,,kvt@example.com,KVT Room 3,0,0,";
    tool(sb, "kvtctl", {"send", server + "0,"});
    test_mail(sb);
    ASSERT_TRUE(wait_until([&] { return sb.applog().find("メール送信が無効のため、送信されませんでした") !=
                                        std::string::npos; }, 5000)) << sb.applog();
    EXPECT_TRUE(wait_until([&] { return test_flag(sb) == "0\n"; }, 3000)) << test_flag(sb);

    // Switched on again with the server down: logged, flag 0, the thread
    // goes on.
    tool(sb, "kvtctl", {"send", server + "1,"});
    sink.reset();
    test_mail(sb);
    ASSERT_TRUE(wait_until([&] { return sb.applog().find("mailsend.py exit 3: id:2 test to 'o'brien@example.com'") !=
                                        std::string::npos; }, 10000)) << sb.applog() << p.console();
    EXPECT_TRUE(wait_until([&] { return test_flag(sb) == "0\n"; }, 3000)) << test_flag(sb);

    // The server back on its port: the next mail goes out.
    SmtpSink::Options back;
    back.port = std::stoi(port);
    SmtpSink again(sb.root() + "/smtp-again", back);
    ASSERT_TRUE(again.ready(10000)) << again.log();
    test_mail(sb);
    ASSERT_TRUE(again.wait_count(1, 10000)) << again.log() << sb.applog();
    EXPECT_EQ(again.mails()[0].rcpt_to, "o'brien@example.com");
    EXPECT_TRUE(wait_until([&] { return test_flag(sb) == "1\n"; }, 3000)) << test_flag(sb);
    EXPECT_EQ(count_of(sb.applog(), "> mail request id:2 test\n"), 3) << "the mail while sending was off is not one";

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
    // 2026-01-05 is a Monday. Reports 1-3 are due at 08:30 (daily, weekly
    // on Mondays, monthly on the 5th); report 4 is weekly on Tuesdays and
    // report 5 monthly on the 6th.
    sandbox_sql(sb, "UPDATE webapp_mailconfig SET mail_smtp='127.0.0.1', mail_smtp_port=" +
                        std::to_string(sink.port()) + ", mail_mailaddr='kvt@example.com', mail_sendmail=1;"
                        "UPDATE webapp_mail_client SET mailclient_addr='a@example.com' WHERE id=1;"
                        "UPDATE webapp_mail_client SET mailclient_addr='c@example.com' WHERE id=2;"
                        "UPDATE webapp_mailreport SET mailreport_hour=8, mailreport_minute=30, mailreport_addr=1;"
                        "UPDATE webapp_mailreport SET mailreport_enable=1, mailreport_subject='Daily' WHERE id=1;"
                        "UPDATE webapp_mailreport SET mailreport_enable=2, mailreport_week=1,"
                        " mailreport_subject='Weekly', mailreport_addr=2 WHERE id=2;"
                        "UPDATE webapp_mailreport SET mailreport_enable=4, mailreport_day=5,"
                        " mailreport_subject='Monthly' WHERE id=3;"
                        "UPDATE webapp_mailreport SET mailreport_enable=2, mailreport_week=2 WHERE id=4;"
                        "UPDATE webapp_mailreport SET mailreport_enable=4, mailreport_day=6 WHERE id=5;"
                        "UPDATE webapp_di SET name='Door', ontext='open', enable=1, time=0 WHERE id=1;"
                        "UPDATE webapp_vlxa SET enable=1, t_name='VT1', h_name='VH1' WHERE id=1;"
                        "UPDATE webapp_nx40 SET enable=1, name='NX5' WHERE id=5;");
    SimProcess p(sb.root(), clock_at("2026-01-05 08:28:45"));
    ASSERT_TRUE(p.wait_started(30000)) << p.console();
    // Readings before the statistics start on the next whole minute; NX5
    // stays without one.
    tool(sb, "kvtsim", {"value", "vlxa-temp", "1", "2350"});
    tool(sb, "kvtsim", {"value", "vlxa-humid", "1", "5000"});
    tool(sb, "kvtsim", {"di", "1", "1"});
    ASSERT_TRUE(p.wait_console("mailreport_data_save tid  : ", 75000)) << p.console();
    ASSERT_TRUE(sink.wait_count(3, 75000)) << sink.log() << p.console();

    p.signal(SIGTERM);
    ASSERT_EQ(p.wait_exit(10000), 0) << p.console();
    const std::vector<ReceivedMail> mails = sink.mails();
    ASSERT_EQ(mails.size(), 3u) << "reports 4 and 5 are not due";
    EXPECT_EQ(fields(mails[0].subject, mails[0].rcpt_to, mails[1].subject, mails[1].rcpt_to, mails[2].subject,
                     mails[2].rcpt_to),
              "Daily|a@example.com|Weekly|c@example.com|Monthly|a@example.com");
    for (const auto& m : mails) {
        EXPECT_EQ(m.body.rfind(" 名称   瞬時値   平均値   最大値   最小値 \n------", 0), 0u) << m.body;
        EXPECT_NE(m.body.find(" Door\n        open\n"), std::string::npos) << m.body;
        EXPECT_NE(m.body.find(" VT1\n          2350     2350     2350     2350\n"), std::string::npos) << m.body;
        EXPECT_NE(m.body.find(" VH1\n          5000     5000     5000     5000\n"), std::string::npos) << m.body;
        EXPECT_NE(m.body.find(" NX5\n      ERROR ERROR ERROR ERROR\n"), std::string::npos) << m.body;
    }
    const std::string log = sb.applog();
    EXPECT_LT(log.find("mail request id:1 report"), log.find("mail request id:2 report"));
    EXPECT_LT(log.find("mail request id:2 report"), log.find("mail request id:3 report"));
    EXPECT_EQ(count_of(log, " report\n"), 3);
}
