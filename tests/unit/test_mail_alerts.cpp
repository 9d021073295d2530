// Mail alerts: the body of every kind, the recipient split, the script's
// command line under a real shell, and one request handled from the queue
// text to the script runs, the application log and the test-mail flag.
#include <cstdio>

#include "event_fixture.h"
#include "mail.h"
#include "sim_shell.h"

namespace {

// Stands in for the mail script inside the sandbox: one line per run,
// "recipient|subject|body" with the body's newlines as "\n", and exit 3
// for the address of a server that is down.
const char* FAKE_SCRIPT =
    "import os, sys\n"
    "root = os.environ['KVT_ROOT']\n"
    "body = open(root + '/tmp/mail_message.txt', encoding='utf-8').read()\n"
    "with open(root + '/tmp/sent.txt', 'a', encoding='utf-8') as f:\n"
    "    f.write('|'.join([sys.argv[8], sys.argv[9], body.replace('\\n', '\\\\n')]) + '\\n')\n"
    "sys.exit(3 if sys.argv[8] == 'down@example.com' else 0)\n";

class MailAlertsTest : public EventsTest {
protected:
    void SetUp() override
    {
        EventsTest::SetUp();
        auto& s = sensor_settings;
        copy_text(s.digitalI[2].name, "Door");
        copy_text(s.digitalI[2].ontext, "ON");
        copy_text(s.digitalO[1].name, "Fan");
        copy_text(s.analog[0].name, "Room");
        copy_text(s.analog[0].unit, "V");
        copy_text(s.onewire_temperature[4].name, "Rack 5");
        copy_text(s.onewire_humidity[1].name, "Rack H2");
        copy_text(s.veloxa[0].name, "VLXA 1");
        copy_text(s.veloxa[0].t_name, "VLXA 1 T");
        copy_text(s.veloxa[0].h_name, "VLXA 1 H");
        copy_text(s.kvt_nx40[99].name, "NX 100");
        copy_text(s.kvt_nx40[0].name, "NX 1");
        auto& a = admin_settings;
        copy_text(a.mail.mail_smtp, "127.0.0.1");
        a.mail.mail_smtp_port = 2525;
        copy_text(a.mail.mail_mailaddr, "kvt@example.com");
        a.mail.mail_sendmail = true;
        copy_text(a.mail_client[0].mailclient_addr, "a@example.com;b@example.com;");
        copy_text(a.mail_client[0].mailclient_subject, "Alert");
        copy_text(a.mail_client[1].mailclient_addr, "c@example.com");
        copy_text(a.mail_client[1].mailclient_subject, "Test");
        copy_text(a.mail_client[2].mailclient_addr, "down@example.com;d@example.com");
        copy_text(a.mail_client[2].mailclient_subject, "Down");
        sb.write("/opt/kvt/sbin/mailsend.py", FAKE_SCRIPT);
    }

    std::vector<std::string> sent() { return lines_of(sb.read("/tmp/sent.txt")); }
    void clear_sent() { sb.write("/tmp/sent.txt", ""); }
    int32_t& flag() { return monitor->requestflg->mail_client_set_configuration; }
};

}  // namespace

TEST_F(MailAlertsTest, AlertBodyOfEveryKindNamesChannelStateValueAndUnit)
{
    struct Case {
        const char* request;
        const char* body;
    } cases[] = {
        {"1,1,1,3,3,ON,", "センサータイプ:デジタル入出力\nチャネル:3\n名称:Door\n状態:警報\n値:ON \n"},
        {"1,1,1,10,1,closed,", "センサータイプ:デジタル入出力\nチャネル:10\n名称:Fan\n状態:正常\n値:closed \n"},
        {"2,1,2,1,5,35.00,", "センサータイプ:アナログ入力\nチャネル:1\n名称:Room\n状態:警報上限\n値:35.00 V\n"},
        {"2,1,2,1,4,ERROR,", "センサータイプ:アナログ入力\nチャネル:1\n名称:Room\n状態:異常\n値:ERROR\n"},
        {"1,1,3,5,6,23.50,", "センサータイプ:1-Wire温度\nチャネル:5\n名称:Rack 5\n状態:注意上限\n値:23.50 ℃\n"},
        {"1,1,4,2,7,40.00,", "センサータイプ:1-Wire湿度\nチャネル:2\n名称:Rack H2\n状態:注意下限\n値:40.00 %\n"},
        {"1,1,5,1,8,4.00,", "センサータイプ:メッシュ無線温湿度(温度)\nチャネル:1\n名称:VLXA 1 T\n状態:警報下限\n値:4.00 ℃\n"},
        {"1,1,6,1,2,80.00,", "センサータイプ:メッシュ無線温湿度(湿度)\nチャネル:1\n名称:VLXA 1 H\n状態:注意\n値:80.00 %\n"},
        {"1,1,7,1,1,3.10,", "センサータイプ:メッシュ無線温湿度電池電圧\nチャネル:1\n名称:VLXA 1\n状態:正常\n値:3.10 V\n"},
        {"1,1,8,100,0,20.00,", "センサータイプ:メッシュ無線温度\nチャネル:100\n名称:NX 100\n状態:無効\n値:20.00 ℃\n"},
        {"1,1,9,1,1,2.90,", "センサータイプ:メッシュ無線温度電池電圧\nチャネル:1\n名称:NX 1\n状態:正常\n値:2.90 V\n"},
        // A port beyond its kind has no name; a state outside the table is shown as received.
        {"1,1,3,129,12,1.00,", "センサータイプ:1-Wire温度\nチャネル:129\n名称:\n状態:12\n値:1.00 ℃\n"},
    };
    for (const auto& c : cases) {
        const MailJob job = mail_job(parse_mail_request(c.request), sensor_settings, admin_settings, "");
        EXPECT_EQ(job.body, c.body) << c.request;
        EXPECT_EQ(fields(job.error, job.log_kind), "|client") << c.request;
    }
}

TEST_F(MailAlertsTest, RecipientListsSplitAtEverySemicolonInOrder)
{
    struct Case {
        const char* list;
        std::vector<std::string> to;
    } cases[] = {
        {"a;b;c", {"a", "b", "c"}},
        {"a", {"a"}},
        {"a;b;", {"a", "b", ""}},
        {"", {""}},
        {";a", {"", "a"}},
    };
    for (const auto& c : cases) EXPECT_EQ(split_recipients(c.list), c.to) << c.list;
}

TEST_F(MailAlertsTest, EveryValueReachesTheScriptAsOneArgumentUnderARealShell)
{
    auto& m = admin_settings.mail;
    copy_text(m.mail_smtp, "smtp.example.com; touch /tmp/x");
    m.mail_smtp_port = 587;
    copy_text(m.mail_account, "kvt user");
    copy_text(m.mail_password, "p'a\"s$s`id`");
    copy_text(m.mail_mailaddr, "kvt@example.com");
    copy_text(m.mail_sender, "Room 3 & $HOME");
    m.mail_encode = true;
    m.mail_smtp_auth = false;
    const std::string to = "o'brien@example.com", subject = "Alert: 'rack' > 30 | $(id) \\ ;";
    const std::string line = mailsend_command(m, to, subject);
    const std::vector<std::string> args = {"smtp.example.com; touch /tmp/x", "587", "kvt user", "p'a\"s$s`id`",
                                           "kvt@example.com", "Room 3 & $HOME", "1", to, subject, "0"};
    std::vector<std::string> words = {"python3", "/opt/kvt/sbin/mailsend.py"};
    words.insert(words.end(), args.begin(), args.end());
    EXPECT_EQ(sim_shell_words(line), words);

    // /bin/sh prints each argument it was given on a line of its own.
    const std::string prefix = std::string("python3 ") + MAIL::SCRIPT;
    ASSERT_EQ(line.rfind(prefix, 0), 0u);
    FILE* sh = popen(("printf '%s\\n'" + line.substr(prefix.size())).c_str(), "r");
    ASSERT_NE(sh, nullptr);
    std::string out;
    char buf[256];
    while (std::fgets(buf, sizeof buf, sh)) out += buf;
    pclose(sh);
    EXPECT_EQ(lines_of(out), args);
    EXPECT_NE(mailsend_command(m, to, subject, true).find(" '****' "), std::string::npos) << "console echo";
}

TEST_F(MailAlertsTest, RequestsRunTheScriptPerRecipientAndAnswerTheTestMail)
{
    // A scenario alert: every recipient in list order, the trailing ";" a
    // last empty one.
    mail_handle("1,1,2,1,5,35.00,");
    const std::string alert_body = "センサータイプ:アナログ入力\\nチャネル:1\\n名称:Room\\n状態:警報上限\\n値:35.00 V\\n";
    EXPECT_EQ(sent(), (std::vector<std::string>{"a@example.com|Alert|" + alert_body,
                                                "b@example.com|Alert|" + alert_body, "|Alert|" + alert_body}));
    EXPECT_EQ(count_of(sb.applog(), "> mail request id:1 client\n"), 1);

    // A test mail with the web UI waiting: sent, flag 1.
    clear_sent();
    flag() = MAIL::TEST_PENDING;
    mail_handle("2,0,");
    EXPECT_EQ(sent(), (std::vector<std::string>{"c@example.com|Test|テストメール\\n"}));
    EXPECT_EQ(flag(), MAIL::TEST_SENT);
    EXPECT_EQ(count_of(sb.applog(), "> mail request id:2 test\n"), 1);

    // One recipient's server down: the others still get it, the failure is
    // logged and the web UI hears "not sent".
    clear_sent();
    flag() = MAIL::TEST_PENDING;
    mail_handle("3,0,");
    EXPECT_EQ(sent(), (std::vector<std::string>{"down@example.com|Down|テストメール\\n", "d@example.com|Down|テストメール\\n"}));
    EXPECT_EQ(flag(), MAIL::TEST_NOT_SENT);
    EXPECT_EQ(count_of(sb.applog(), "> mailsend.py exit 3: id:3 test to 'down@example.com' not sent\n"), 1);

    // An alert while a test mail is pending leaves the web UI waiting.
    clear_sent();
    flag() = MAIL::TEST_PENDING;
    mail_handle("2,1,1,3,3,ON,");
    EXPECT_EQ(sent().size(), 1u);
    EXPECT_EQ(flag(), MAIL::TEST_PENDING);

    // Sending switched off: logged, flag 0, nothing run.
    clear_sent();
    admin_settings.mail.mail_sendmail = false;
    mail_handle("2,0,");
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(flag(), MAIL::TEST_NOT_SENT);
    EXPECT_EQ(count_of(sb.applog(), "> メール送信が無効のため、送信されませんでした\n"), 1);
}

TEST_F(MailAlertsTest, ReportsGoToTheirListWithTheirSubjectAndFileAndBadRequestsAreRefused)
{
    auto& a = admin_settings;
    a.mail_report[2].mailreport_addr = 2;
    copy_text(a.mail_report[2].mailreport_subject, "Weekly");
    a.mail_report[3].mailreport_addr = 1;
    copy_text(a.mail_report[3].mailreport_subject, "Monthly");
    sb.write("/tmp/report_message3.txt", " 名称\n Room\n");
    mail_handle("3,2,");
    mail_handle("4,2,");  // no report file: sent with an empty body
    EXPECT_EQ(sent(), (std::vector<std::string>{"c@example.com|Weekly| 名称\\n Room\\n", "a@example.com|Monthly|",
                                                "b@example.com|Monthly|", "|Monthly|"}));
    EXPECT_EQ(count_of(sb.applog(), " report\n"), 2);

    // Nothing this system produces, but none of it may send or crash.
    clear_sent();
    flag() = MAIL::TEST_PENDING;
    for (const char* bad : {"5,2,", "6,2,", "0,1,2,1,5,1.00,", "9,0,", "1,7,", "x,0,", ""}) mail_handle(bad);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(flag(), MAIL::TEST_NOT_SENT) << "the refused test mail 9,0, answers the web UI";
    EXPECT_EQ(count_of(sb.applog(), " refused: "), 7);
}
