// The MQTT client: a subscriber that serves remote requests for settings
// and live values, and a publisher that sends the notifications matched by
// the MQTT scenarios. Every message sent goes out on a connection of its
// own; only the subscriber stays linked to the broker.
#include <mosquitto.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common.h"
#include "mqtt.h"
#include "platform.h"
#include "snmp.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long a publication waits for the broker's answer before it counts
// as not connected.
constexpr auto PUBLISH_DEADLINE = std::chrono::seconds(3);
constexpr int KEEPALIVE = 60;
// The subscriber's loop wakes at least this often (milliseconds) to see a
// stop or a settings change; a request wakes it at once.
constexpr int LOOP_TIMEOUT_MS = 100;

struct Broker {
    std::string host, user, pwd;
    int port;
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
    return {text_of(m.sendip), text_of(m.loginid), text_of(m.pwd), m.port};
}

// No user name is sent when none is set: brokers refuse an empty one.
void set_credentials(mosquitto* m, const Broker& b)
{
    mosquitto_username_pw_set(m, b.user.empty() ? nullptr : b.user.c_str(), b.pwd.empty() ? nullptr : b.pwd.c_str());
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

struct OneShot {
    int connack = -1;  // the broker's answer to the connection, -1 while none
    bool sent = false;
};

int publish_once(const std::string& topic, const std::string& text)
{
    const Broker b = broker_now();
    OneShot st;
    mosquitto* m = mosquitto_new(nullptr, true, &st);
    if (!m) {
        std::printf("Error: Out of memory.\n");
        return 1;
    }
    set_credentials(m, b);
    mosquitto_connect_callback_set(m, [](mosquitto*, void* o, int rc) { static_cast<OneShot*>(o)->connack = rc; });
    mosquitto_publish_callback_set(m, [](mosquitto*, void* o, int) { static_cast<OneShot*>(o)->sent = true; });
    const auto deadline = Clock::now() + PUBLISH_DEADLINE;
    int rc = mosquitto_connect_bind_async(m, b.host.c_str(), b.port, KEEPALIVE, platform_mqtt_bind());
    while (rc == MOSQ_ERR_SUCCESS && st.connack < 0 && Clock::now() < deadline) rc = mosquitto_loop(m, 50, 1);
    if (rc != MOSQ_ERR_SUCCESS || st.connack != 0) {
        // A refused connection counts as one not made: nothing was sent.
        std::printf("MQTT Unable to connect.\n");
        mosquitto_destroy(m);
        return 1;
    }
    rc = mosquitto_publish(m, nullptr, topic.c_str(), static_cast<int>(text.size()), text.data(), 0, false);
    while (rc == MOSQ_ERR_SUCCESS && !st.sent && Clock::now() < deadline) rc = mosquitto_loop(m, 50, 1);
    if (!st.sent)
        std::printf("mqtt: mosquitto_publish %s to %s:%d: %s\n", topic.c_str(), b.host.c_str(), b.port,
                    mosquitto_strerror(rc));
    // Released only once the message has left for the broker.
    mosquitto_disconnect(m);
    mosquitto_destroy(m);
    return 0;
}

struct Subscription {
    std::string topic;
};

void connect_callback(mosquitto* m, void* obj, int rc)
{
    std::printf("connect callback, rc=%d\n", rc);
    if (rc != 0) return;
    applog("MQTT connect callback");
    // Subscribed once the broker has taken the connection, on every link.
    const auto* sub = static_cast<const Subscription*>(obj);
    int s = mosquitto_subscribe(m, nullptr, sub->topic.c_str(), 0);
    if (s != MOSQ_ERR_SUCCESS) std::printf("mqtt: mosquitto_subscribe %s: %s\n", sub->topic.c_str(), mosquitto_strerror(s));
}

void message_callback(mosquitto*, void*, const mosquitto_message* msg)
{
    const time_t arrival = std::time(nullptr);
    const std::string payload(static_cast<const char*>(msg->payload), msg->payload ? msg->payloadlen : 0);
    std::string reply;
    MqttRequestIds ids;
    if (!mqtt_handle_request(payload, arrival, reply, &ids)) {
        applog(MQTT_DATA_ERROR);
        mqtt_response_configuration(MQTT_DATA_ERROR);
        return;
    }
    if (mqtt_response_configuration(reply) == 0)
        applog("MQTT send unit_id:" + std::to_string(admin_settings.mqtt.unitid) + " readwrite:" +
               std::to_string(ids.readwrite) + " mqtt_id:" + std::to_string(ids.mqtt_id));
}

}  // namespace

std::string mqtt_topic(const char* leaf)
{
    const bool kvt7400 = monitor && monitor->requestflg && monitor->requestflg->is_7400;
    return std::string(kvt7400 ? "kvt7400/" : "kvt6100/") + std::to_string(admin_settings.mqtt.unitid) + "/" + leaf;
}

int mqtt_change_condition(const std::string& text) { return publish_once(mqtt_topic("change_condition"), text); }
int mqtt_response_configuration(const std::string& text)
{
    return publish_once(mqtt_topic("response_configuration"), text);
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
    const Broker b = broker_now();
    Subscription sub{mqtt_topic("request_configuration")};
    mosquitto* m = mosquitto_new(nullptr, true, &sub);
    if (!m) {
        std::printf("Error: Out of memory.\n");
        return;
    }
    mosquitto_connect_callback_set(m, connect_callback);
    mosquitto_message_callback_set(m, message_callback);
    set_credentials(m, b);
    // A connection that fails shows in the first loop call.
    mosquitto_connect_bind_async(m, b.host.c_str(), b.port, KEEPALIVE, platform_mqtt_bind());
    while (control) {
        int rc = mosquitto_loop(m, LOOP_TIMEOUT_MS, 1);
        if (rc != MOSQ_ERR_SUCCESS) {
            std::printf("mqtt_sub_thread: mosquitto_loop %s:%d: %s\n", b.host.c_str(), b.port, mosquitto_strerror(rc));
            break;
        }
        if (mqttconf.exchange(0) == 1) {
            std::printf("MQTT config changed \n");
            break;
        }
    }
    mosquitto_destroy(m);
}

void mqtt_notify_pending()
{
    while (!mqtt_con.empty()) {
        const std::string record = mqtt_con.front();
        std::printf("%s\n", record.c_str());
        std::string doc;
        if (!mqtt_notification_document(record, admin_settings.mqtt.unitid, doc))
            report("mqtt_cc_thread: notification record \"" + record + "\" is not five integers, dropped");
        else if (mqtt_change_condition(doc) == 0)
            applog("MQTT notif send " + doc);
        // Sent or not, the record goes: notifications are not kept for later.
        mqtt_con.pop();
    }
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
 * Owns: the consuming end of mqtt_con.
 * Waits on: mqtt_con, at most 50 ms at a time.
 * Order: notifications leave in queue order, each on its own connection.
 * Stopped by: `control` dropping to 0.
 */
void* mqtt_cc_thread(void*)
{
    std::printf("mqtt_cc_thread tid  : %ld\n", thread_tid());
    while (control) {
        mqtt_notify_pending();
        mqtt_con.wait_for(std::chrono::milliseconds(50));
    }
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
    const bool sub_started = start_thread(&sub, mqtt_sub_thread, "mqtt_sub_thread");
    const bool cc_started = start_thread(&cc, mqtt_cc_thread, "mqtt_cc_thread");
    if (sub_started) pthread_join(sub, nullptr);
    if (cc_started) pthread_join(cc, nullptr);
    // Pulses started by remote writes end (cut short) before the library goes.
    snmp_pulses_wait();
    mosquitto_lib_cleanup();
    std::printf("end mqtt thread\n");
    return nullptr;
}
