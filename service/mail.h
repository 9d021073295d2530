// Mail alerts and mail reports: the rules that turn a mail request into a
// body, recipients and script command lines, the report statistics, texts
// and schedules, and the threads that drive them.
#pragma once

#include <time.h>

#include <deque>
#include <string>
#include <vector>

#include "codes.h"
#include "monitor_table.h"
#include "settings_table.h"

// ---- Mail alerts ------------------------------------------------------------

namespace MAIL {

constexpr const char* BODY_FILE = "/tmp/mail_message.txt";
constexpr const char* SCRIPT = "/opt/kvt/sbin/mailsend.py";
constexpr size_t FIELD_MAX = 63;    // characters kept of one request field
constexpr size_t REQUEST_MAX = 319;  // characters kept of one request

// Request types (field 1).
constexpr int TEST = 0;
constexpr int ALERT = 1;
constexpr int REPORT = 2;

// The value the web UI writes into mail_client_set_configuration for a
// pending test mail; the mail thread answers with 1 (sent) or 0 (not sent).
constexpr int32_t TEST_PENDING = 4;
constexpr int32_t TEST_SENT = REQ::DONE;
constexpr int32_t TEST_NOT_SENT = REQ::FAILED;

// An alert or report mail whose script run failed is tried again after
// these waits (seconds), doubling up to the last; at most RETRY_MAX wait.
constexpr int RETRY_FIRST_S = 30;
constexpr int RETRY_LAST_S = 900;
constexpr size_t RETRY_MAX = 100;

}  // namespace MAIL

// One request of mail_send split at its commas: at most six fields of at
// most MAIL::FIELD_MAX characters each.
struct MailRequest {
    std::string field[6];
    int count = 0;
    int destination() const;  // field 0 as a number, -1 when it is not one
    int type() const;         // field 1 as a number, -1 when it is not one
};
MailRequest parse_mail_request(const std::string& text);

// What one request sends: the body, the recipient list and the subject;
// `error` is set instead when the request cannot be sent.
struct MailJob {
    std::string body;
    std::string recipients;  // addresses joined by ";"
    std::string subject;
    std::string log_kind;    // "client", "report" or "test"
    std::string error;
};
// `report_text` is the report source file's text (type 2 only; empty when
// it is missing).
MailJob mail_job(const MailRequest& r, const SETTINGS_TABLE::Sensor_settings& s,
                 const SETTINGS_TABLE::Admin_settings& a, const std::string& report_text);

// The body of a scenario alert: kind line, channel, name, state and value.
std::string mail_alert_body(const MailRequest& r, const SETTINGS_TABLE::Sensor_settings& s);
// The state text of a state code ("" for codes outside 0-8).
const char* mail_state_text(int state);

// Recipients in list order; empty places (a list ending in ";", ";;",
// blanks only) are skipped.
std::vector<std::string> split_recipients(const std::string& list);

// The script's command line for one recipient, every value one shell-quoted
// argument. `mask_password` shows the password as "****" (console echo).
std::string mailsend_command(const SETTINGS_TABLE::Mail& m, const std::string& recipient,
                             const std::string& subject, bool mask_password = false);

// Wait in seconds before the next try of a mail that has failed `failures`
// times: 30, 60, 120, 240, 480, 900; 0 once the try after the longest wait
// has failed too (the mail is given up).
int mail_retry_wait(int failures);

// A mail that waits for another try: what it sends, to the recipients not
// yet served, and when (milliseconds on the monotonic clock).
struct MailWaiting {
    MailJob job;
    std::string id;      // field 0 of the request, for the log
    int failures = 0;    // failed tries so far (0: not tried yet)
    long long due_ms = 0;
};

// Mails waiting for a try, in the order raised. Only the head is tried:
// the later ones follow it, so mails keep their order.
class MailRetryQueue {
public:
    bool empty() const { return waiting_.empty(); }
    size_t size() const { return waiting_.size(); }
    // Appends w; beyond MAIL::RETRY_MAX the oldest goes: true with it in
    // *dropped.
    bool add(const MailWaiting& w, MailWaiting* dropped);
    // The head when its time has come at now_ms (or `early`: try it now
    // anyway), else nullptr.
    MailWaiting* due(long long now_ms, bool early);
    // The head went: removed.
    void sent() { waiting_.pop_front(); }
    // The head's try at now_ms failed (an early try not counted): its next
    // try scheduled with the waits divided by `divisor`; false, with the
    // head removed into *given_up, when that was its last.
    bool failed(long long now_ms, bool early, int divisor, MailWaiting* given_up);

private:
    std::deque<MailWaiting> waiting_;
};

// Handles one request of mail_send: body file, application log, one script
// run per recipient, the test-mail handshake flag. An alert or report that
// cannot go now, or while others wait, joins `retries`; true when it joined
// behind mails already waiting (their server may be back: worth a try).
bool mail_handle(const std::string& text, MailRetryQueue& retries);
// Tries the mails of `retries` whose time has come, in order; `early`
// tries the head at once (a new mail arrived: the server may be back).
void mail_retry_pass(MailRetryQueue& retries, bool early);

void* mail_thread(void*);

// ---- Mail reports -------------------------------------------------------------

// Adds one value to one statistics element (65535 is not a reading).
void report_add(REPORT_TABLE::SensorElement& e, int v);

// Adds one live value of channel `index` of `kind` (KIND::AI, WIRE_T,
// WIRE_H, VLXA_T, VLXA_H, NX40_T) to every report that is switched on,
// when the channel is enabled. The acquisition loops call it per reading.
void mailreport_sample(int kind, int index, int value);

// True when report `r` is due at local time `t`: daily (1) at its hour and
// minute, weekly (2) also on its day of the week, monthly (4) also on its
// day of the month; other kinds never.
bool report_due(const SETTINGS_TABLE::Mail_report& r, const struct tm& t);

// The report text of one report's statistics.
std::string report_text(const SETTINGS_TABLE::Sensor_settings& s, const MONITOR_TABLE::Sensor_condition& c,
                        const REPORT_TABLE::Report_sensor_data& r);

// Report file of report n (0-4): "/tmp/report_message<n+1>.txt".
std::string report_file(int n);

int ini_mailreport(int n);
int make_message(int n);
// The reports due at local time `t`, in order: text file, mail request
// "<n+1>,2," and reset of the statistics, one report after the other.
// Returns the number of reports made.
int mailreport_minute(const struct tm& t);

void* mailreport_thread(void*);
void* mailreport_data(void*);
void* mailreport_data_save(void*);
