// Mail alerts: every mail of the appliance leaves here. A request from
// mail_send becomes the body file and one run of the mail script per
// recipient; the web UI's test mail is answered through its request flag.
// An alert or a report that the script could not send waits and is tried
// again, in the order raised, with growing waits.
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "command.h"
#include "common.h"
#include "mail.h"
#include "platform.h"

namespace {

// Number of a request field, -1 unless it is plain decimal digits.
int field_number(const std::string& f)
{
    if (f.empty() || f.size() > 9 || f.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::atoi(f.c_str());
}

struct KindLine {
    const char* line;
    const char* unit;  // nullptr: the unit of the analog input's record
};

const KindLine* kind_line(int kind)
{
    static const KindLine KINDS[] = {
        {"デジタル入出力\n", ""},
        {"アナログ入力\n", nullptr},
        {"1-Wire温度\n", "℃"},
        {"1-Wire湿度\n", "%"},
        {"メッシュ無線温湿度(温度)\n", "℃"},
        {"メッシュ無線温湿度(湿度)\n", "%"},
        {"メッシュ無線温湿度電池電圧\n", "V"},
        {"メッシュ無線温度\n", "℃"},
        {"メッシュ無線温度電池電圧\n", "V"},
    };
    return kind >= KIND::FIRST && kind <= KIND::LAST ? &KINDS[kind - KIND::FIRST] : nullptr;
}

// Name and unit of port `port` of `kind`; both empty for a port that does
// not exist.
void channel_name(const SETTINGS_TABLE::Sensor_settings& s, int kind, int port, std::string& name,
                  std::string& unit)
{
    const int i = port - 1;
    auto in = [i](int n) { return i >= 0 && i < n; };
    name.clear();
    switch (kind) {
    case KIND::DIO:
        if (port >= 1 && port <= SETTINGS_TABLE::DI_NUM) name = s.digitalI[i].name;
        else if (port > SETTINGS_TABLE::DI_NUM && port <= SETTINGS_TABLE::DI_NUM + SETTINGS_TABLE::DO_NUM)
            name = s.digitalO[port - SETTINGS_TABLE::DI_NUM - 1].name;
        break;
    case KIND::AI:
        if (in(SETTINGS_TABLE::AI_NUM)) {
            name = s.analog[i].name;
            unit = s.analog[i].unit;
        }
        break;
    case KIND::WIRE_T: if (in(SETTINGS_TABLE::WIRE_T_NUM)) name = s.onewire_temperature[i].name; break;
    case KIND::WIRE_H: if (in(SETTINGS_TABLE::WIRE_H_NUM)) name = s.onewire_humidity[i].name; break;
    case KIND::VLXA_T: if (in(SETTINGS_TABLE::VLXA_NUM)) name = s.veloxa[i].t_name; break;
    case KIND::VLXA_H: if (in(SETTINGS_TABLE::VLXA_NUM)) name = s.veloxa[i].h_name; break;
    case KIND::VLXA_BAT: if (in(SETTINGS_TABLE::VLXA_NUM)) name = s.veloxa[i].name; break;
    case KIND::NX40_T: case KIND::NX40_BAT: if (in(SETTINGS_TABLE::NX40_NUM)) name = s.kvt_nx40[i].name; break;
    default: break;
    }
}

std::string exit_text(int status)
{
    if (status == -1) return "could not be started";
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

MONITOR_TABLE::RequestFlg* request_flags() { return monitor ? monitor->requestflg : nullptr; }

}  // namespace

int MailRequest::destination() const { return field_number(field[0]); }
int MailRequest::type() const { return field_number(field[1]); }

MailRequest parse_mail_request(const std::string& text)
{
    MailRequest r;
    const std::string t = text.substr(0, MAIL::REQUEST_MAX);
    size_t pos = 0;
    while (r.count < 6 && pos < t.size()) {
        size_t comma = t.find(',', pos);
        std::string f = t.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        r.field[r.count++] = f.substr(0, MAIL::FIELD_MAX);
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    return r;
}

const char* mail_state_text(int state)
{
    static const char* const TEXTS[] = {"無効", "正常", "注意", "警報", "異常", "警報上限", "注意上限", "注意下限", "警報下限"};
    return state >= STATE::NONE && state <= STATE::LOWER_ALERT ? TEXTS[state] : "";
}

std::string mail_alert_body(const MailRequest& r, const SETTINGS_TABLE::Sensor_settings& s)
{
    const int kind = field_number(r.field[2]);
    const int port = field_number(r.field[3]);
    const int state = field_number(r.field[4]);
    const std::string& value = r.field[5];
    const KindLine* k = kind_line(kind);
    std::string name, unit;
    channel_name(s, kind, port, name, unit);
    if (k && k->unit) unit = k->unit;
    // A state outside the table is shown as received rather than dropped.
    const std::string state_text = state >= STATE::NONE && state <= STATE::LOWER_ALERT ? mail_state_text(state) : r.field[4];
    std::string body = "センサータイプ:";
    body += k ? k->line : r.field[2] + "\n";
    body += "チャネル:" + r.field[3] + "\n";
    body += "名称:" + name + "\n";
    body += "状態:" + state_text + "\n";
    body += "値:" + value;
    if (value != "ERROR") body += " " + unit;
    body += "\n";
    return body;
}

std::vector<std::string> split_recipients(const std::string& list)
{
    std::vector<std::string> out;
    // An empty place (a list ending in ";", or ";;") names nobody: the web
    // UI lets a list end with its separator.
    auto add = [&out](const std::string& to) {
        if (to.find_first_not_of(" \t") != std::string::npos) out.push_back(to);
    };
    std::string rest = list;
    for (size_t semi; (semi = rest.find(';')) != std::string::npos;) {
        add(rest.substr(0, semi));
        rest = rest.substr(semi + 1);
    }
    add(rest);
    return out;
}

std::string mailsend_command(const SETTINGS_TABLE::Mail& m, const std::string& recipient,
                             const std::string& subject, bool mask_password)
{
    std::string line = std::string("python3 ") + MAIL::SCRIPT;
    for (const std::string& v : {std::string(m.mail_smtp), std::to_string(m.mail_smtp_port),
                                 std::string(m.mail_account),
                                 mask_password ? std::string("****") : std::string(m.mail_password),
                                 std::string(m.mail_mailaddr), std::string(m.mail_sender),
                                 std::string(m.mail_encode ? "1" : "0"), recipient, subject,
                                 std::string(m.mail_smtp_auth ? "1" : "0")})
        line += " " + shell_quote(v);
    return line;
}

MailJob mail_job(const MailRequest& r, const SETTINGS_TABLE::Sensor_settings& s,
                 const SETTINGS_TABLE::Admin_settings& a, const std::string& report_text)
{
    MailJob job;
    const int type = r.type();
    const int d = r.destination();
    auto client = [&](int n, const std::string& what) {
        if (n < 1 || n > SETTINGS_TABLE::MAIL_CLIENT_NUM) {
            job.error = what + " is not a mail destination 1-5";
            return;
        }
        job.recipients = a.mail_client[n - 1].mailclient_addr;
        job.subject = a.mail_client[n - 1].mailclient_subject;
    };
    switch (type) {
    case MAIL::ALERT:
        job.log_kind = "client";
        client(d, "destination '" + r.field[0] + "'");
        job.body = mail_alert_body(r, s);
        break;
    case MAIL::TEST:
        job.log_kind = "test";
        client(d, "destination '" + r.field[0] + "'");
        job.body = "テストメール\n";
        break;
    case MAIL::REPORT:
        job.log_kind = "report";
        if (d < 1 || d > SETTINGS_TABLE::MAIL_REPORT_NUM) {
            job.error = "report '" + r.field[0] + "' is not a mail report 1-5";
            break;
        }
        client(a.mail_report[d - 1].mailreport_addr,
               "its recipient list " + std::to_string(a.mail_report[d - 1].mailreport_addr));
        job.subject = a.mail_report[d - 1].mailreport_subject;
        job.body = report_text;
        break;
    default:
        job.error = "type '" + r.field[1] + "' is not a mail request type 0-2";
        break;
    }
    return job;
}

int mail_retry_wait(int failures)
{
    if (failures < 1) return 0;
    int w = MAIL::RETRY_FIRST_S;
    for (int i = 1; i < failures; ++i) {
        if (w >= MAIL::RETRY_LAST_S) return 0;
        w = std::min(w * 2, MAIL::RETRY_LAST_S);
    }
    return w;
}

bool MailRetryQueue::add(const MailWaiting& w, MailWaiting* dropped)
{
    waiting_.push_back(w);
    if (waiting_.size() <= MAIL::RETRY_MAX) return false;
    *dropped = waiting_.front();
    waiting_.pop_front();
    return true;
}

MailWaiting* MailRetryQueue::due(long long now_ms, bool early)
{
    if (waiting_.empty() || (!early && waiting_.front().due_ms > now_ms)) return nullptr;
    return &waiting_.front();
}

bool MailRetryQueue::failed(long long now_ms, bool early, int divisor, MailWaiting* given_up)
{
    MailWaiting& w = waiting_.front();
    if (early && w.failures > 0) return true;  // keeps its own schedule
    const int wait = mail_retry_wait(++w.failures);
    if (wait == 0) {
        *given_up = w;
        waiting_.pop_front();
        return false;
    }
    w.due_ms = now_ms + static_cast<long long>(wait) * 1000 / (divisor > 0 ? divisor : 1);
    return true;
}

namespace {

long long now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One run of the script per recipient of w with the settings now in force;
// the recipients it could not serve stay in w. True when none is left.
bool try_send(MailWaiting& w, const SETTINGS_TABLE::Mail& m)
{
    if (!write_text_file(MAIL::BODY_FILE, w.job.body)) return false;
    std::string failed;
    for (const std::string& to : split_recipients(w.job.recipients)) {
        std::printf("%s\n", mailsend_command(m, to, w.job.subject, true).c_str());
        const int status = kvt_system(mailsend_command(m, to, w.job.subject));
        if (status == 0) continue;
        failed += (failed.empty() ? "" : ";") + to;
        report("mailsend.py " + exit_text(status) + ": id:" + w.id + " " + w.job.log_kind + " to '" + to +
               "' not sent");
    }
    w.job.recipients = failed;
    return failed.empty();
}

std::string mail_name(const MailWaiting& w) { return "mail id:" + w.id + " " + w.job.log_kind; }

void queue_for_retry(MailRetryQueue& q, const MailWaiting& w)
{
    MailWaiting dropped;
    if (q.add(w, &dropped))
        report(mail_name(dropped) + " to '" + dropped.job.recipients + "' dropped: more than " +
               std::to_string(MAIL::RETRY_MAX) + " mails wait for another try");
}

}  // namespace

void mail_retry_pass(MailRetryQueue& q, bool early)
{
    while (MailWaiting* w = q.due(now_ms(), early)) {
        const SETTINGS_TABLE::Mail m = settings_copy(admin_settings.mail);
        if (!m.mail_sendmail) {
            report(mail_name(*w) + " given up: mail sending is switched off");
            q.sent();
            continue;
        }
        const int before = w->failures;
        if (try_send(*w, m)) {
            if (before > 0) applog(mail_name(*w) + " sent after " + std::to_string(before + 1) + " tries");
            q.sent();
            early = false;
            continue;
        }
        MailWaiting given_up;
        if (!q.failed(now_ms(), early, platform_mail_retry_divisor(), &given_up)) {
            report(mail_name(given_up) + " to '" + given_up.job.recipients + "' given up after " +
                   std::to_string(given_up.failures) + " tries");
            continue;
        }
        break;
    }
}

bool mail_handle(const std::string& text, MailRetryQueue& retries)

{
    std::printf("%s\n", text.c_str());
    const MailRequest r = parse_mail_request(text);
    const bool test = r.type() == MAIL::TEST;
    MONITOR_TABLE::RequestFlg* flg = request_flags();
    // Only a test mail answers the web UI's pending test: an alert or a
    // report handled meanwhile must not report it as sent.
    auto answer = [&](bool sent) {
        if (!flg) return;
        int32_t& f = flg->mail_client_set_configuration;
        if (test) f = (sent && f == MAIL::TEST_PENDING) ? MAIL::TEST_SENT : MAIL::TEST_NOT_SENT;
        else if (f != MAIL::TEST_PENDING) f = MAIL::TEST_NOT_SENT;
    };
    const SETTINGS_TABLE::Mail m = settings_copy(admin_settings.mail);
    if (!m.mail_sendmail) {
        applog("メール送信が無効のため、送信されませんでした");
        if (test && flg) flg->mail_client_set_configuration = MAIL::TEST_NOT_SENT;
        return false;
    }
    std::string report_source;
    if (r.type() == MAIL::REPORT) {
        const std::string path = "/tmp/report_message" + r.field[0] + ".txt";
        // A missing report still goes out, with an empty body.
        if (r.destination() >= 1 && read_text_file(path, report_source)) {
            std::istringstream lines(report_source);
            for (std::string line; std::getline(lines, line);) std::printf("%s\n", line.c_str());
        }
    }
    const MailJob job = mail_job(r, sensor_settings, admin_settings, report_source);
    if (!job.error.empty()) {
        report("mail request " + text + " refused: " + job.error);
        answer(false);
        return false;
    }
    if (split_recipients(job.recipients).empty()) {
        report("mail request id:" + r.field[0] + " " + job.log_kind + " not sent: no recipient");
        answer(false);
        return false;
    }
    applog("mail request id:" + r.field[0] + " " + job.log_kind);
    MailWaiting w{job, r.field[0], 0, now_ms()};
    // The test mail answers the web UI at once and is not tried again.
    if (test) {
        answer(try_send(w, m));
        return false;
    }
    answer(true);
    // Behind mails already waiting: they go first.
    if (!retries.empty()) {
        queue_for_retry(retries, w);
        return true;
    }
    if (try_send(w, m)) return false;
    w.failures = 1;
    w.due_ms = now_ms() + static_cast<long long>(mail_retry_wait(1)) * 1000 / std::max(1, platform_mail_retry_divisor());
    queue_for_retry(retries, w);
    return false;
}

/*
 * mail_thread: the one sender of mail.
 * Owns mail_send's consumer side, the body file, the mails waiting for
 * another try and the test-mail answer in mail_client_set_configuration.
 * Waits up to 50 ms for a request; handles them one at a time in arrival
 * order, each recipient's script run to its end before the next; then the
 * waiting mails whose time has come, oldest first. Stopped by `control`.
 */
void* mail_thread(void*)
{
    std::printf("mail_thread tid  : %ld\n", thread_tid());
    MailRetryQueue retries;
    while (control) {
        bool arrived = false;
        while (!mail_send.empty()) {
            arrived = mail_handle(mail_send.front(), retries) || arrived;
            mail_send.pop();
        }
        mail_retry_pass(retries, arrived);
        // With mails waiting for another try the retry pass runs every 50 ms;
        // otherwise only a new request (or the stop) has work for it.
        mail_send.wait_for(std::chrono::milliseconds(retries.empty() ? 1000 : 50), [] { return control == 0; });
    }
    if (!retries.empty())
        report(std::to_string(retries.size()) + " mails waiting for another try are not sent: the service stops");
    std::printf("end mail thread\n");
    return nullptr;
}
