// The stand-in mail script on its own, against aiosmtpd on loopback: a plain
// mail, STARTTLS with login, the connection test, and every failure with its
// exit status and its one line on standard error.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "process.h"
#include "record_text.h"
#include "sandbox.h"
#include "smtp_sink.h"

TEST(MailScriptE2E, MailsGoOutPlainOrOverStartTlsAndEveryFailureHasItsExitStatus)
{
    TestSandbox sb(false);
    const std::string dir = sb.root() + "/certs";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    std::string out;
    ASSERT_EQ(run_program({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                           "-subj", "/CN=localhost", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                           dir + "/key.pem", "-out", dir + "/cert.pem"},
                          &out), 0) << out;
    SmtpSink plain(sb.root() + "/plain");
    SmtpSink::Options o;
    o.cert = dir + "/cert.pem", o.key = dir + "/key.pem", o.user = "kvt", o.password = "s3cret";
    SmtpSink tls(sb.root() + "/tls", o);
    ASSERT_TRUE(plain.ready(10000)) << plain.log();
    ASSERT_TRUE(tls.ready(10000)) << tls.log();
    const std::string p = std::to_string(plain.port()), t = std::to_string(tls.port());
    const std::string subject = "温度警報 'rack' $HOME; `id`";
    sb.write("/tmp/mail_message.txt", "テストメール\n2行目\n");

    struct Case {
        std::vector<std::string> args;
        int status;
        std::string error;  // part of the one line on standard error; empty when it succeeds
    } cases[] = {
        {{"127.0.0.1", p, "", "", "kvt@example.com", "KVT", "0", "a@example.com", subject, "0"}, 0, ""},
        {{"127.0.0.1", t, "kvt", "s3cret", "kvt@example.com", "KVT", "1", "b@example.com", "TLS", "1"}, 0, ""},
        {{"127.0.0.1", t, "kvt", "wrong", "kvt@example.com", "KVT", "1", "b@example.com", "TLS", "1"}, 4,
         "login as 'kvt' on 127.0.0.1:" + t + " refused: 535"},
        {{"127.0.0.1", p, "", "", "kvt@example.com", "KVT", "1", "a@example.com", "x", "0"}, 3,
         "127.0.0.1:" + p + " does not offer STARTTLS"},
        {{"127.0.0.1", "1", "", "", "kvt@example.com", "KVT", "0", "a@example.com", "x", "0"}, 3,
         "cannot reach 127.0.0.1:1"},
        {{"smtp.example.com", "25", "", "", "kvt@example.com", "KVT", "0", "a@example.com", "x", "0"}, 3,
         "smtp.example.com: the simulated board sends mail to a loopback server only"},
        {{"127.0.0.1", p, "", "", "kvt@example.com", "KVT", "0", "", "x", "0"}, 1, "no recipient address"},
        {{"127.0.0.1", "smtp", "", "", "kvt@example.com", "KVT", "0", "a@example.com", "x", "0"}, 1,
         "port 'smtp' is not a port number"},
        {{"127.0.0.1", p, "a", "b", "c"}, 1, "expected 10 arguments (or 2 for a connection test), got 5"},
        {{"127.0.0.1", p}, 0, ""},
    };
    const std::vector<std::string> env = {"KVT_ROOT=" + sb.root(), "KVT_MAIL_CAFILE=" + dir + "/cert.pem"};
    for (const auto& c : cases) {
        std::vector<std::string> argv = {"/usr/bin/python3", KVT_MAIL_SCRIPT};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::string err;
        const int status = run_program_split(argv, &out, &err, env);
        EXPECT_EQ(status, c.status) << c.args[1] << " " << err;
        if (c.error.empty()) {
            EXPECT_EQ(err, "") << c.args.size();
        } else {
            EXPECT_EQ(lines_of(err).size(), 1u) << err;
            EXPECT_EQ(err.rfind("mailsend: ", 0), 0u) << err;
            EXPECT_NE(err.find(c.error), std::string::npos) << err;
        }
    }
    ASSERT_EQ(plain.mails().size(), 1u);
    ASSERT_EQ(tls.mails().size(), 1u);
    const ReceivedMail a = plain.mails()[0], b = tls.mails()[0];
    EXPECT_EQ(fields(a.rcpt_to, a.subject, a.body, a.tls, a.auth),
              fields("a@example.com", subject, "テストメール\n2行目\n", false, ""));
    EXPECT_EQ(fields(b.rcpt_to, b.from, b.tls, b.auth), fields("b@example.com", "KVT <kvt@example.com>", true, "kvt"));

    // Without its body file nothing is sent.
    unlink(sb.path("/tmp/mail_message.txt").c_str());
    std::string err;
    EXPECT_EQ(run_program_split({"/usr/bin/python3", KVT_MAIL_SCRIPT, "127.0.0.1", p, "", "", "kvt@example.com", "KVT",
                                 "0", "a@example.com", "x", "0"},
                                &out, &err, env),
              2);
    EXPECT_NE(err.find("cannot read " + sb.root() + "/tmp/mail_message.txt"), std::string::npos) << err;
    EXPECT_EQ(plain.mails().size(), 1u);
}
