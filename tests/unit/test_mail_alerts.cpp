// Mail alerts: the body of every kind, the script's command line under a
// real shell, and the requests the end-to-end run does not make: a report
// without its file, an alert during a pending test mail, refused requests.
#include <cstdio>

#include "event_fixture.h"
#include "mail.h"

class MailAlertsTest : public EventsTest {};

TEST_F(MailAlertsTest, AlertBodyOfEveryKindNamesChannelStateValueAndUnit)
{
    auto& s = sensor_settings;
    copy_text(s.digitalO[1].name, "Fan");
    copy_text(s.analog[0].name, "Room");
    copy_text(s.analog[0].unit, "V");
    copy_text(s.onewire_temperature[4].name, "Rack 5");
    copy_text(s.veloxa[0].name, "VX");
    copy_text(s.veloxa[0].t_name, "VX T");
    copy_text(s.veloxa[0].h_name, "VX H");
    copy_text(s.kvt_nx40[99].name, "NX 100");
    const std::string head = "センサータイプ:";
    struct Case {
        const char *request, *body;
    } cases[] = {
        {"1,1,1,10,1,closed,", "デジタル入出力\nチャネル:10\n名称:Fan\n状態:正常\n値:closed \n"},
        {"2,1,2,1,5,35.00,", "アナログ入力\nチャネル:1\n名称:Room\n状態:警報上限\n値:35.00 V\n"},
        {"2,1,2,1,4,ERROR,", "アナログ入力\nチャネル:1\n名称:Room\n状態:異常\n値:ERROR\n"},
        {"1,1,3,5,6,23.50,", "1-Wire温度\nチャネル:5\n名称:Rack 5\n状態:注意上限\n値:23.50 ℃\n"},
        {"1,1,4,2,7,40.00,", "1-Wire湿度\nチャネル:2\n名称:\n状態:注意下限\n値:40.00 %\n"},
        {"1,1,5,1,8,4.00,", "メッシュ無線温湿度(温度)\nチャネル:1\n名称:VX T\n状態:警報下限\n値:4.00 ℃\n"},
        {"1,1,6,1,2,80.00,", "メッシュ無線温湿度(湿度)\nチャネル:1\n名称:VX H\n状態:注意\n値:80.00 %\n"},
        {"1,1,7,1,3,3.10,", "メッシュ無線温湿度電池電圧\nチャネル:1\n名称:VX\n状態:警報\n値:3.10 V\n"},
        {"1,1,9,100,0,2.90,", "メッシュ無線温度電池電圧\nチャネル:100\n名称:NX 100\n状態:無効\n値:2.90 V\n"},
        // A port beyond its kind has no name; a state outside the table is shown as received.
        {"1,1,3,129,12,1.00,", "1-Wire温度\nチャネル:129\n名称:\n状態:12\n値:1.00 ℃\n"},
    };
    for (const auto& c : cases) {
        const MailJob job = mail_job(parse_mail_request(c.request), sensor_settings, admin_settings, "");
        EXPECT_EQ(fields(job.body, job.error), fields(head + c.body, "")) << c.request;
    }
}

TEST_F(MailAlertsTest, EveryValueReachesTheScriptAsOneArgumentUnderARealShell)
{
    auto& m = admin_settings.mail;
    copy_text(m.mail_smtp, "smtp.example.com; touch /tmp/x");
    m.mail_smtp_port = 587;
    copy_text(m.mail_password, "p'a\"s$s`id`");
    copy_text(m.mail_sender, "Room 3 & $HOME");
    m.mail_encode = true;
    const std::vector<std::string> args = {"smtp.example.com; touch /tmp/x", "587", "", "p'a\"s$s`id`", "",
                                           "Room 3 & $HOME", "1", "o'brien@x", "Alert: > 30 | $(id) \\ ;", "0"};
    const std::string line = mailsend_command(m, args[7], args[8]);
    const std::string prefix = std::string("python3 ") + MAIL::SCRIPT;
    ASSERT_EQ(line.rfind(prefix, 0), 0u);
    // /bin/sh prints each argument it is given on a line of its own.
    FILE* sh = popen(("printf '%s\\n'" + line.substr(prefix.size())).c_str(), "r");
    ASSERT_NE(sh, nullptr);
    std::string out;
    for (char buf[256]; std::fgets(buf, sizeof buf, sh);) out += buf;
    pclose(sh);
    EXPECT_EQ(lines_of(out), args);
    EXPECT_NE(mailsend_command(m, "a", "b", true).find(" '****' "), std::string::npos) << "the console's copy";
}

// A recipient list may end in ";": the empty place after it is nobody.
TEST(MailRecipients, EmptyPlacesOfTheListAreSkippedNotSentTo)
{
    struct Case {
        const char* list;
        std::vector<std::string> to;
    } cases[] = {
        {"a@x;b@x;c@x", {"a@x", "b@x", "c@x"}},
        {"a@x", {"a@x"}},
        {"a@x;b@x;", {"a@x", "b@x"}},
        {";;a@x;;", {"a@x"}},
        {"a@x; ;b@x", {"a@x", "b@x"}},
        {";", {}},
        {"", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(split_recipients(c.list), c.to) << c.list;
}

TEST_F(MailAlertsTest, ReportWithoutFileGoesOutEmptyPendingTestsWaitAndBadRequestsAreRefused)
{
    // The script inside the sandbox notes recipient, subject and body.
    sb.write("/opt/kvt/sbin/mailsend.py",
             "import os, sys\nr = os.environ['KVT_ROOT']\n"
             "b = open(r + '/tmp/mail_message.txt', encoding='utf-8').read().replace('\\n', '/')\n"
             "open(r + '/tmp/sent', 'a', encoding='utf-8').write('|'.join([sys.argv[8], sys.argv[9], b]) + '\\n')\n");
    auto& a = admin_settings;
    a.mail.mail_sendmail = true;
    copy_text(a.mail_client[0].mailclient_addr, "a@x;b@x");
    copy_text(a.mail_client[1].mailclient_addr, "c@x");
    a.mail_report[3].mailreport_addr = 1;
    copy_text(a.mail_report[3].mailreport_subject, "Monthly");
    int32_t& flag = monitor->requestflg->mail_client_set_configuration;
    flag = MAIL::TEST_PENDING;
    MailRetryQueue retries;
    mail_handle("4,2,", retries);  // no report file: an empty body
    mail_handle("2,1,2,1,5,35.00,", retries);
    const std::vector<std::string> sent = lines_of(sb.read("/tmp/sent"));
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(fields(sent[0], sent[1]), "a@x|Monthly||b@x|Monthly|");
    EXPECT_EQ(flag, MAIL::TEST_PENDING) << "only the test mail answers the web UI";
    // A list of nobody sends nothing and answers the test as not sent.
    copy_text(a.mail_client[2].mailclient_addr, ";");
    mail_handle("3,0,", retries);
    EXPECT_EQ(flag, MAIL::TEST_NOT_SENT);
    EXPECT_NE(sb.applog().find("mail request id:3 test not sent: no recipient"), std::string::npos);
    flag = MAIL::TEST_PENDING;

    for (const char* bad : {"5,2,", "6,2,", "0,1,2,1,5,1.00,", "x,0,", "1,7,", ""}) mail_handle(bad, retries);
    EXPECT_EQ(lines_of(sb.read("/tmp/sent")).size(), 3u);
    EXPECT_EQ(count_of(sb.applog(), " refused: "), 6);
    EXPECT_EQ(flag, MAIL::TEST_NOT_SENT) << "the refused test mail x,0, answers it";
}

TEST(MailRetries, WaitsDoubleFromHalfAMinuteToFifteenMinutesThenTheMailIsGivenUp)
{
    const int waits[][2] = {{0, 0}, {1, 30}, {2, 60}, {3, 120}, {4, 240}, {5, 480}, {6, 900}, {7, 0}, {40, 0}};
    for (const auto& w : waits) EXPECT_EQ(mail_retry_wait(w[0]), w[1]) << "after " << w[0] << " failures";
}

TEST(MailRetries, OnlyTheHeadIsTriedAnEarlyTryKeepsItsScheduleAndBeyond100TheOldestGoes)
{
    MailRetryQueue q;
    MailWaiting dropped;
    for (int i = 1; i <= 100; ++i) EXPECT_FALSE(q.add({{}, std::to_string(i), 1, 30000}, &dropped));
    ASSERT_TRUE(q.add({{}, "101", 0, 0}, &dropped));
    EXPECT_EQ(fields(dropped.id, q.size()), "1|100");
    EXPECT_EQ(q.due(29999, false), nullptr) << "mail 101 is due but waits behind the head";
    ASSERT_NE(q.due(29999, true), nullptr);
    EXPECT_EQ(q.due(29999, true)->id, "2");
    MailWaiting given_up;
    EXPECT_TRUE(q.failed(29999, true, 1, &given_up));
    EXPECT_EQ(fields(q.due(30000, false)->failures, q.due(30000, false)->due_ms), "1|30000");
    // Counted tries: 60 s after the second failure, shortened by the divisor.
    EXPECT_TRUE(q.failed(30000, false, 1, &given_up));
    EXPECT_EQ(q.due(0, true)->due_ms, 90000);
    EXPECT_TRUE(q.failed(90000, false, 1000, &given_up));
    EXPECT_EQ(q.due(0, true)->due_ms, 90120);
    for (int f = 4; f <= 6; ++f) EXPECT_TRUE(q.failed(0, false, 1, &given_up));
    EXPECT_FALSE(q.failed(0, false, 1, &given_up)) << "the try after the 15-minute wait was the last";
    EXPECT_EQ(fields(given_up.id, given_up.failures, q.due(0, true)->id), "2|7|3");
}
