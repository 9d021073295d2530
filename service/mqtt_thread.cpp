// The MQTT client: a subscriber that serves remote requests for settings
// and live values, and a publisher that sends the notifications matched by
// the MQTT scenarios. Each keeps one connection to the broker, plain or
// over TLS; answers to requests leave on the subscriber's, notifications on
// the publisher's with QoS 1. A notification the broker has not taken yet
// waits in the outbox, across a stop in a file under /log.
#include <mosquitto.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "common.h"
#include "mqtt.h"
#include "platform.h"
#include "snmp.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int KEEPALIVE = 60;
// The subscriber's loop wakes at least this often (milliseconds) to see a
// stop or a settings change; a request wakes it at once.
constexpr int LOOP_TIMEOUT_MS = 100;
// A connection (TCP, TLS and the broker's CONNACK) not made by then counts
// as failed.
constexpr auto CONNECT_DEADLINE = std::chrono::seconds(10);
// The publisher's waits between connection attempts: doubling from the
// first to the last.
constexpr int RETRY_FIRST_MS = 1000;
constexpr int RETRY_LAST_MS = 10000;
// Notifications waiting at a stop, sent after the next start.
constexpr const char* OUTBOX_FILE = "/log/mqtt_outbox.txt";

struct Broker {
    std::string host, user, pwd;
    int port = 0;
    int tls = SETTINGS_TABLE::MQTT_TLS_OFF;
    std::string cafile, certfile, keyfile;  // appliance paths
    bool operator==(const Broker&) const = default;
};

// A text field as it stands, never read past its array while the command
// thread rewrites it.
template <size_t N>
std::string text_of(const char (&f)[N])
{
    return std::string(f, strnlen(f, N));
}

// The connection settings now in force.
Broker broker_now()
{
    const auto m = settings_copy(admin_settings.mqtt);
    Broker b{text_of(m.sendip), text_of(m.loginid), text_of(m.pwd), m.port, m.tls,
             text_of(m.cafile),  text_of(m.certfile), text_of(m.keyfile)};
    if (b.cafile.empty()) b.cafile = SETTINGS_TABLE::MQTT_SYSTEM_CAFILE;
    return b;
}

// A broker address of 0.0.0.0, like an empty one, names no broker (the
// factory setting): nothing is connected to and nothing logged.
bool broker_set(const Broker& b)
{
    return !b.host.empty() && b.host != "0.0.0.0";
}

std::string where(const Broker& b)
{
    return b.host + ":" + std::to_string(b.port) + (b.tls != SETTINGS_TABLE::MQTT_TLS_OFF ? " (TLS)" : "");
}

// What a client says about itself: libmosquitto's first error line of the
// current attempt (a TLS handshake's reason comes only this way).
struct Link {
    std::string error;
};

void log_callback(mosquitto*, void* obj, int level, const char* text)
{
    auto* l = static_cast<Link*>(obj);
    if (l && (level & MOSQ_LOG_ERR) && l->error.empty() && text) l->error = text;
}

// An encrypted key would make OpenSSL ask for its passphrase on the
// terminal; the service has none to give, so the key is refused instead.
int no_passphrase(char*, int, int, void*) { return 0; }

// Credentials and, for the TLS modes, the CA file, the client certificate
// and TLS 1.2 or newer with the broker's name or address checked. "" when
// the client is ready to connect, otherwise why it cannot.
std::string prepare(mosquitto* m, const Broker& b)
{
    // No user name is sent when none is set: brokers refuse an empty one.
    mosquitto_username_pw_set(m, b.user.empty() ? nullptr : b.user.c_str(), b.pwd.empty() ? nullptr : b.pwd.c_str());
    mosquitto_log_callback_set(m, log_callback);
    using namespace SETTINGS_TABLE;
    if (b.tls == MQTT_TLS_OFF) return "";
    if (b.tls != MQTT_TLS_VERIFY && b.tls != MQTT_TLS_CLIENT)
        return "mqtt_tls " + std::to_string(b.tls) + " is not 0, 1 or 2";
    if (b.tls == MQTT_TLS_CLIENT && (b.certfile.empty() || b.keyfile.empty()))
        return "TLS mode 2 needs mqtt_certfile and mqtt_keyfile";
    std::string files[3];
    const std::string* names[3] = {&b.cafile, &b.certfile, &b.keyfile};
    for (int i = 0; i < (b.tls == MQTT_TLS_CLIENT ? 3 : 1); ++i) {
        files[i] = kvt_path(*names[i]);
        if (access(files[i].c_str(), R_OK) != 0) return "cannot read " + *names[i] + ": " + std::strerror(errno);
    }
    const bool client = b.tls == MQTT_TLS_CLIENT;
    int rc = mosquitto_tls_set(m, files[0].c_str(), nullptr, client ? files[1].c_str() : nullptr,
                               client ? files[2].c_str() : nullptr, no_passphrase);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_tls_opts_set(m, 1 /* SSL_VERIFY_PEER */, "tlsv1.2", nullptr);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_tls_insecure_set(m, false);
    return rc == MOSQ_ERR_SUCCESS ? "" : std::string("mosquitto_tls_set: ") + mosquitto_strerror(rc);
}

// Why a connection attempt or a link failed, from the loop's result and
// the library's own error line.
std::string failure(const Link& l, int rc)
{
    if (!l.error.empty()) return l.error;
    if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
    return mosquitto_strerror(rc);
}

// Why the link to the broker last failed, kept so that a retry failing
// for the same reason stays off the console and out of the application
// log. Written by both workers under cause_mutex; cleared when a link
// comes up.
std::mutex cause_mutex;
std::string last_cause;

void link_failed(const Broker& b, const std::string& why)
{
    const std::string line = "MQTT broker " + where(b) + ": " + why;
    std::lock_guard<std::mutex> lock(cause_mutex);
    if (line == last_cause) return;
    last_cause = line;
    report(line);
}

void link_up()
{
    std::lock_guard<std::mutex> lock(cause_mutex);
    last_cause.clear();
}

std::string local_time(time_t t)
{
    struct tm lt;
    localtime_r(&t, &lt);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &lt);
    return buf;
}

// A decimal integer filling the whole field.
bool integer_field(const std::string& f, long long& v)
{
    if (f.empty() || f.size() > 63) return false;
    errno = 0;
    char* end = nullptr;
    v = std::strtoll(f.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && !std::isspace(static_cast<unsigned char>(f[0]));
}

struct Subscription : Link {
    Broker broker;
    std::string topic;
};

void connect_callback(mosquitto* m, void* obj, int rc)
{
    std::printf("connect callback, rc=%d\n", rc);
    auto* sub = static_cast<Subscription*>(obj);
    if (rc != 0) {
        link_failed(sub->broker, std::string("connection refused: ") + mosquitto_connack_string(rc));
        return;
    }
    link_up();
    applog("MQTT connect callback");
    // Subscribed once the broker has taken the connection, on every link.
    int s = mosquitto_subscribe(m, nullptr, sub->topic.c_str(), 0);
    if (s != MOSQ_ERR_SUCCESS)
        report_error("mqtt_sub_thread: mosquitto_subscribe", sub->topic + ": " + mosquitto_strerror(s));
}

// Answers leave on the subscriber's own connection, QoS 0: the library
// sends them on its next loop call.
int respond(mosquitto* m, const std::string& text)
{
    const std::string topic = mqtt_topic("response_configuration");
    int rc = mosquitto_publish(m, nullptr, topic.c_str(), static_cast<int>(text.size()), text.data(), 0, false);
    if (rc != MOSQ_ERR_SUCCESS) report_error("mqtt_sub_thread: mosquitto_publish", topic + ": " + mosquitto_strerror(rc));
    return rc == MOSQ_ERR_SUCCESS ? 0 : 1;
}

void message_callback(mosquitto* m, void*, const mosquitto_message* msg)
{
    const time_t arrival = std::time(nullptr);
    const std::string payload(static_cast<const char*>(msg->payload), msg->payload ? msg->payloadlen : 0);
    std::string reply;
    MqttRequestIds ids;
    if (!mqtt_handle_request(payload, arrival, reply, &ids)) {
        applog(MQTT_DATA_ERROR);
        respond(m, MQTT_DATA_ERROR);
        return;
    }
    if (respond(m, reply) == 0)
        applog("MQTT send unit_id:" + std::to_string(admin_settings.mqtt.unitid) + " readwrite:" +
               std::to_string(ids.readwrite) + " mqtt_id:" + std::to_string(ids.mqtt_id));
}

// The notifications' link: one connection kept open, each notification
// published with QoS 1 and taken off the outbox once the broker has
// acknowledged it. One is in flight at a time, so they arrive in order.
struct Publisher : Link {
    mosquitto* m = nullptr;
    Broker broker;
    int connack = -1;   // the broker's answer, -1 while none
    bool up = false;    // CONNACK 0 seen and the link not lost since
    int inflight = -1;  // message id of the front notification, -1 when none is out
    bool acked = false;
    Clock::time_point opened{}, retry_at{};
    int wait_ms = RETRY_FIRST_MS;
    size_t dropped_logged = 0;

    void close()
    {
        if (m) {
            mosquitto_disconnect(m);
            mosquitto_destroy(m);
        }
        m = nullptr;
        up = false;
        inflight = -1;
        acked = false;
    }

    void failed(const std::string& why)
    {
        link_failed(broker, why);  // on the console and in the log once per cause
        close();
        retry_at = Clock::now() + std::chrono::milliseconds(wait_ms);
        wait_ms = std::min(wait_ms * 2, RETRY_LAST_MS);
    }

    void open(const Broker& b)
    {
        broker = b;
        error.clear();
        connack = -1;
        m = mosquitto_new(nullptr, true, this);
        if (!m) {
            std::printf("Error: Out of memory.\n");
            retry_at = Clock::now() + std::chrono::milliseconds(RETRY_LAST_MS);
            return;
        }
        mosquitto_connect_callback_set(m, [](mosquitto*, void* o, int rc) {
            auto* p = static_cast<Publisher*>(o);
            p->connack = rc;
            p->up = rc == 0;
        });
        mosquitto_disconnect_callback_set(m, [](mosquitto*, void* o, int) { static_cast<Publisher*>(o)->up = false; });
        mosquitto_publish_callback_set(m, [](mosquitto*, void* o, int mid) {
            auto* p = static_cast<Publisher*>(o);
            if (mid == p->inflight) p->acked = true;
        });
        const std::string why = prepare(m, b);
        if (!why.empty()) return failed(why);
        opened = Clock::now();
        int rc = mosquitto_connect_bind_async(m, b.host.c_str(), b.port, KEEPALIVE, platform_mqtt_bind());
        if (rc != MOSQ_ERR_SUCCESS) failed(failure(*this, rc));
    }

    // One pass: the link kept up, the front notification sent, an
    // acknowledgement taken. Waits at most `wait_ms` for the broker.
    void step(MqttOutbox& box, int wait)
    {
        const Broker now = broker_now();
        // New settings: a new link at once.
        if (m && !(now == broker)) {
            close();
            retry_at = {};
            wait_ms = RETRY_FIRST_MS;
        }
        if (!m) {
            if (Clock::now() < retry_at || !broker_set(now)) return;
            open(now);
            if (!m) return;
        }
        int rc = mosquitto_loop(m, wait, 1);
        if (rc != MOSQ_ERR_SUCCESS) return failed(failure(*this, rc));
        if (connack > 0) return failed(std::string("connection refused: ") + mosquitto_connack_string(connack));
        if (!up) {
            if (connack == 0) return failed("connection lost");
            if (Clock::now() - opened > CONNECT_DEADLINE) return failed("no answer within 10 s");
            return;
        }
        if (wait_ms != RETRY_FIRST_MS) {
            wait_ms = RETRY_FIRST_MS;
            link_up();
        }
        if (acked) {
            applog("MQTT notif send " + box.front());
            box.pop();
            inflight = -1;
            acked = false;
            const size_t dropped = box.dropped();
            if (dropped > dropped_logged) {
                report("MQTT outbox full: " + std::to_string(dropped - dropped_logged) +
                       " oldest notifications dropped while the broker was away");
                dropped_logged = dropped;
            }
        }
        if (inflight < 0 && !box.empty()) {
            const std::string topic = mqtt_topic("change_condition");
            const std::string& doc = box.front();
            int mid = -1;
            rc = mosquitto_publish(m, &mid, topic.c_str(), static_cast<int>(doc.size()), doc.data(), 1, false);
            if (rc != MOSQ_ERR_SUCCESS) return failed(failure(*this, rc));
            inflight = mid;
        }
    }
};

}  // namespace

std::string mqtt_topic(const char* leaf)
{
    const bool kvt7400 = monitor && monitor->requestflg && monitor->requestflg->is_7400;
    return std::string(kvt7400 ? "kvt7400/" : "kvt6100/") + std::to_string(admin_settings.mqtt.unitid) + "/" + leaf;
}

std::string mqtt_response_document(int unitid, time_t arrival, long long readwrite, long long mqtt_id,
                                   const std::string& data)
{
    std::string doc = "{\"unit_id\":" + std::to_string(unitid) + ",\"time\":\"" + local_time(arrival) +
                      "\",\"readwrite\":" + std::to_string(readwrite) + ",\"mqtt_id\":" + std::to_string(mqtt_id) +
                      ",\"data\":";
    // The data text ends in ",}" (or is "{}"): its last comma goes, and its
    // closing brace comes back with the document's. Only the end is cut, so
    // a ",}" inside a text cannot shorten the document.
    size_t keep = data.size() >= 2 && data.compare(data.size() - 2, 2, ",}") == 0 ? data.size() - 2
                  : data.empty()                                                  ? 0
                                                                                  : data.size() - 1;
    doc.append(data, 0, keep);
    return doc + "}}";
}

bool mqtt_notification_document(const std::string& record, int unitid, std::string& doc)
{
    long long f[5];
    size_t pos = 0;
    for (long long& v : f) {
        size_t comma = record.find(',', pos);
        if (comma == std::string::npos || !integer_field(record.substr(pos, comma - pos), v)) return false;
        pos = comma + 1;
    }
    doc = "{ \"unit_id\":" + std::to_string(unitid) + ", \"time\":\"" + local_time(static_cast<time_t>(f[0])) +
          "\", \"mqtt_id\":1000, \"sensor\":" + std::to_string(f[1]) + ", \"port\":" + std::to_string(f[2]) +
          ", \"state\":" + std::to_string(f[3]) + ", \"value\":" + std::to_string(f[4]) + "}";
    return true;
}

bool mqtt_handle_request(const std::string& payload, time_t arrival, std::string& reply, MqttRequestIds* ids_out)
{
    reply = MQTT_DATA_ERROR;
    try {
        picojson::value root;
        std::string err;
        const char* begin = payload.data();
        const char* end = begin + payload.size();
        const char* rest = picojson::parse(root, begin, end, &err);
        if (!err.empty()) {
            std::printf("mqtt: request is not JSON: %s\n", err.c_str());
            return false;
        }
        while (rest != end && std::isspace(static_cast<unsigned char>(*rest))) ++rest;
        if (rest != end || !root.is<picojson::object>()) {
            std::printf("mqtt: request is not one JSON object\n");
            return false;
        }
        const picojson::object& o = root.get<picojson::object>();
        MqttRequestIds ids;
        auto integer = [&o](const char* key, long long& v) {
            auto it = o.find(key);
            if (it == o.end() || !it->second.is<int64_t>()) {
                std::printf("mqtt: request member %s missing or not an integer\n", key);
                return false;
            }
            v = it->second.get<int64_t>();
            return true;
        };
        if (!integer("unit_id", ids.unit_id) || !integer("readwrite", ids.readwrite) || !integer("mqtt_id", ids.mqtt_id))
            return false;
        std::printf("unit_id: %lld\nreadwrite: %lld\nmqtt_id: %lld\n", ids.unit_id, ids.readwrite, ids.mqtt_id);
        // A number beyond int names no group.
        const int id = ids.mqtt_id >= INT_MIN && ids.mqtt_id <= INT_MAX ? static_cast<int>(ids.mqtt_id) : -1;
        if (ids.readwrite == 1) {
            auto it = o.find("data");
            if (it == o.end() || !it->second.is<picojson::object>()) {
                std::printf("mqtt: write request without a data object\n");
                return false;
            }
            // A request that cannot be carried out is answered with the error.
            const int w = mqtt_data_write(it->second.get<picojson::object>(), id);
            if (w == MQTT_WRITE_BAD_TYPE || w == MQTT_WRITE_BUSY) return false;
        }
        reply = mqtt_response_document(admin_settings.mqtt.unitid, arrival, ids.readwrite, ids.mqtt_id, mqtt_data(id));
        if (ids_out) *ids_out = ids;
        return true;
    } catch (const std::exception& e) {
        // picojson throws on numbers beyond double's range.
        std::printf("mqtt: request refused: %s\n", e.what());
        reply = MQTT_DATA_ERROR;
        return false;
    }
}

void mqtt_sub_session()
{
    // This link takes the settings now in force: a change saved before it
    // starts needs no further reconnection.
    mqttconf = 0;
    Subscription sub;
    sub.broker = broker_now();
    sub.topic = mqtt_topic("request_configuration");
    const Broker& b = sub.broker;
    if (!broker_set(b)) return;
    mosquitto* m = mosquitto_new(nullptr, true, &sub);
    if (!m) {
        std::printf("Error: Out of memory.\n");
        return;
    }
    mosquitto_connect_callback_set(m, connect_callback);
    mosquitto_message_callback_set(m, message_callback);
    const std::string why = prepare(m, b);
    // A connection that fails shows in the first loop call.
    int rc = why.empty() ? mosquitto_connect_bind_async(m, b.host.c_str(), b.port, KEEPALIVE, platform_mqtt_bind())
                         : MOSQ_ERR_TLS;
    if (!why.empty()) link_failed(b, why);
    else if (rc != MOSQ_ERR_SUCCESS) link_failed(b, failure(sub, rc));
    while (control && rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_loop(m, LOOP_TIMEOUT_MS, 1);
        if (rc != MOSQ_ERR_SUCCESS) {
            link_failed(b, failure(sub, rc));
            break;
        }
        if (mqttconf.exchange(0) == 1) {
            std::printf("MQTT config changed \n");
            break;
        }
    }
    mosquitto_destroy(m);
}

MqttOutbox::MqttOutbox(size_t capacity) : capacity_(capacity) {}

void MqttOutbox::push(const std::string& doc)
{
    waiting_.push_back(doc);
    while (waiting_.size() > capacity_) {
        waiting_.pop_front();
        ++dropped_;
    }
}

std::string MqttOutbox::save_text() const
{
    std::string text;
    for (const std::string& d : waiting_) text += d + "\n";
    return text;
}

void MqttOutbox::load_text(const std::string& text)
{
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        if (nl > pos) push(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
}

void mqtt_take_records(MqttOutbox& box)
{
    while (!mqtt_con.empty()) {
        const std::string record = mqtt_con.front();
        std::printf("%s\n", record.c_str());
        std::string doc;
        if (!mqtt_notification_document(record, admin_settings.mqtt.unitid, doc))
            report("mqtt_cc_thread: notification record \"" + record + "\" is not five integers, dropped");
        else
            box.push(doc);
        mqtt_con.pop();
    }
}

void mqtt_outbox_restore(MqttOutbox& box)
{
    const std::string path = kvt_path(OUTBOX_FILE);
    if (access(path.c_str(), F_OK) != 0) return;
    std::string text;
    if (!read_text_file(OUTBOX_FILE, text)) return;
    box.load_text(text);
    if (std::remove(path.c_str()) != 0) report_error("mqtt_cc_thread: remove", OUTBOX_FILE, errno);
    applog("MQTT outbox: " + std::to_string(box.size()) + " notifications from the last stop to send");
}

void mqtt_outbox_keep(const MqttOutbox& box)
{
    if (box.empty()) return;
    if (write_text_file(OUTBOX_FILE, box.save_text()))
        applog("MQTT outbox: " + std::to_string(box.size()) + " notifications kept for the next start");
}

/*
 * mqtt_sub_thread: the subscriber of remote requests.
 * Owns: the subscriber connection; writes the settings of remote writes.
 * Waits on: the broker, at most 100 ms at a time; 10 s between connections.
 * Order: requests are handled one at a time, in the order they arrive.
 * Stopped by: `control` dropping to 0.
 */
void* mqtt_sub_thread(void*)
{
    std::printf("mqtt_sub_thread tid  : %ld\n", thread_tid());
    sleep_while_running(5000);
    while (control) {
        mqtt_sub_session();
        sleep_while_running(10000);
    }
    std::printf("end mqtt_sub_thread\n");
    return nullptr;
}

/*
 * mqtt_cc_thread: the notification publisher.
 * Owns: the consuming end of mqtt_con, the outbox and its file, the
 * publishing connection.
 * Waits on: mqtt_con, whose push wakes it at once (at most 1 s with an empty
 * outbox, 50 ms while notifications wait for the broker); the broker at most
 * 10 ms while a notification waits for its acknowledgement.
 * Order: notifications leave in queue order, one in flight at a time.
 * Stopped by: `control` dropping to 0; what still waits then goes to the
 * outbox file.
 */
void* mqtt_cc_thread(void*)
{
    std::printf("mqtt_cc_thread tid  : %ld\n", thread_tid());
    MqttOutbox box;
    mqtt_outbox_restore(box);
    Publisher pub;
    while (control) {
        mqtt_take_records(box);
        const bool busy = pub.inflight >= 0 || (pub.m && !pub.up);
        pub.step(box, busy ? 10 : 0);
        // Idle with an empty outbox it waits for a notification (the bound
        // keeps the connection's keep-alive served); with notifications held
        // back by a broker that is away it retries every 50 ms.
        if (pub.inflight < 0 && (box.empty() || !pub.up))
            mqtt_con.wait_for(std::chrono::milliseconds(box.empty() ? 1000 : 50), [] { return control == 0; });
    }
    mqtt_take_records(box);
    mqtt_outbox_keep(box);
    pub.close();
    std::printf("end mqtt_cc_thread\n");
    return nullptr;
}

/*
 * mqtt_thread: parent of the MQTT subscriber and publisher.
 * Owns: the client library's set-up, once for both.
 * Waits on: its two workers.
 * Stopped by: its workers ending once `control` drops to 0.
 */
void* mqtt_thread(void*)
{
    std::printf("mqtt_thread tid  : %ld\n", thread_tid());
    mosquitto_lib_init();
    pthread_t sub, cc;
    const bool sub_started = start_thread(&sub, mqtt_sub_thread, "mqtt-sub");
    const bool cc_started = start_thread(&cc, mqtt_cc_thread, "mqtt-cc");
    if (sub_started) pthread_join(sub, nullptr);
    if (cc_started) pthread_join(cc, nullptr);
    // Pulses started by remote writes end (cut short) before the library goes.
    snmp_pulses_wait();
    mosquitto_lib_cleanup();
    std::printf("end mqtt thread\n");
    return nullptr;
}
