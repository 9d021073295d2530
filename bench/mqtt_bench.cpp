// Figures of the MQTT client through real mosquitto brokers on loopback:
// request-to-response latency of a read of group 301 (128 members), beside
// the broker's own round trip to a client that echoes on a standing
// connection; and, over TLS beside plain MQTT in the same run, the time
// from a state change's hand-over to the publisher (mqtt_con) to the
// notification at a subscriber, with the publisher's CPU time per
// notification. Targets: request p99 under 50 ms; TLS notification p99
// within 50 ms of plain. Prints figures; judges nothing.
#include <sys/stat.h>

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "common.h"
#include "mqtt.h"
#include "mqtt_peer.h"
#include "sandbox.h"

using Clock = std::chrono::steady_clock;

namespace {

constexpr int REQUESTS = 200;
constexpr int NOTIFICATIONS = 100;

double thread_cpu_ms(pthread_t t)
{
    clockid_t c;
    timespec ts{};
    if (pthread_getcpuclockid(t, &c) != 0 || clock_gettime(c, &ts) != 0) return 0;
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

double ms_since(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

void print_latency(const char* what, std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    if (v.empty()) return;
    std::printf("%-44s p50 %7.2f ms   p99 %7.2f ms   max %7.2f ms   (%zu answered)\n", what, v[v.size() / 2],
                v[v.size() * 99 / 100], v.back(), v.size());
}

std::vector<double> round_trips(mqtt_peer::Client& c, const std::string& ask, const std::string& answer,
                                const std::string& payload)
{
    std::vector<double> out;
    for (int i = 0; i < REQUESTS; ++i) {
        const auto t0 = Clock::now();
        if (!c.ask(ask, answer, payload, 2000).empty()) out.push_back(ms_since(t0));
    }
    return out;
}

}  // namespace

int main()
{
    TestSandbox sb(false);
    mqtt_peer::Broker broker(sb.root());
    if (!broker.start()) {
        std::printf("mosquitto did not start\n");
        return 1;
    }
    monitor = new MONITOR_TABLE_CLASS();
    mmap_open();
    monitor->requestflg->is_7400 = 1;
    admin_settings.mqtt = {12, "127.0.0.1", broker.port(), "", "", 0, "", "", ""};
    for (int i = 0; i < SETTINGS_TABLE::WIRE_T_NUM; ++i)
        copy_text(sensor_settings.onewire_temperature[i].name, "Rack " + std::to_string(i + 1) + " inlet");
    mosquitto_lib_init();
    std::thread session(mqtt_sub_session);

    const std::string req = "kvt7400/12/request_configuration", resp = "kvt7400/12/response_configuration";
    mqtt_peer::Client client(broker.port(), {resp, "kvt7400/12/change_condition", "bench/echoed"});
    client.ready(3000);
    const std::string read301 = "{\"unit_id\":12,\"readwrite\":0,\"mqtt_id\":301}";
    for (int i = 0; i < 50 && client.ask(req, resp, read301, 100).empty(); ++i) {}

    // The broker alone: a client that answers at once on its own connection.
    mqtt_peer::Client echo(broker.port(), {"bench/ask"});
    echo.ready(3000);
    std::atomic<bool> echoing{true};
    std::thread echoer([&] {
        size_t seen = 0;
        while (echoing) {
            std::string m = echo.next("bench/ask", seen, 50);
            if (m.empty()) continue;
            ++seen;
            echo.publish("bench/echoed", m);
        }
    });
    std::vector<double> base = round_trips(client, "bench/ask", "bench/echoed", read301);
    echoing = false;
    echoer.join();
    std::vector<double> ours = round_trips(client, req, resp, read301);
    std::printf("read of group 301: %zu bytes answered\n", client.on(resp).empty() ? 0 : client.on(resp).back().size());
    print_latency("broker round trip (echoing client)", base);
    print_latency("request to response, group 301", ours);
    std::sort(base.begin(), base.end());
    std::sort(ours.begin(), ours.end());
    if (!base.empty() && !ours.empty())
        std::printf("ratio to the broker round trip: p50 %.1fx, p99 %.1fx   (target: p99 under 50 ms)\n",
                    ours[ours.size() / 2] / base[base.size() / 2], ours[ours.size() * 99 / 100] / base[base.size() * 99 / 100]);

    stop_running();
    session.join();

    // Notifications: one state change at a time, each timed from its record
    // on mqtt_con to its arrival at a subscriber; plain, then TLS.
    const std::string certs = sb.path("/opt/KVT7400/certs");
    mkdir(sb.path("/opt").c_str(), 0755);
    mkdir(sb.path("/opt/KVT7400").c_str(), 0755);
    mkdir(certs.c_str(), 0755);
    mkdir(sb.path("/tls").c_str(), 0755);
    if (!mqtt_peer::make_ca(certs, "ca") || !mqtt_peer::make_leaf(certs, "ca", "server")) {
        std::printf("openssl could not make the certificates\n");
        return 1;
    }
    const mqtt_peer::Tls server{certs + "/ca.crt", certs + "/server.crt", certs + "/server.key", false};
    mqtt_peer::Broker tls_broker(sb.path("/tls"), server);
    if (!tls_broker.start()) {
        std::printf("mosquitto with TLS did not start\n");
        return 1;
    }
    const std::string note_topic = "kvt7400/12/change_condition";
    std::vector<double> sorted[2];
    for (int tls = 0; tls < 2; ++tls) {
        const int port = tls ? tls_broker.port() : broker.port();
        admin_settings.mqtt = {12, "127.0.0.1", port, "", "", tls, "/opt/KVT7400/certs/ca.crt", "", ""};
        mqtt_peer::Client sub(port, {note_topic}, tls ? mqtt_peer::Tls{certs + "/ca.crt", "", "", false} : mqtt_peer::Tls{});
        sub.ready(3000);
        control = 1;
        pthread_t cc;
        pthread_create(&cc, nullptr, mqtt_cc_thread, nullptr);
        // The first one waits for the publisher's connection.
        mqtt_con.push("1767600000,3,1,5,3050,");
        sub.next(note_topic, 0, 10000);
        std::vector<double> lat;
        const double cpu0 = thread_cpu_ms(cc);
        for (int i = 0; i < NOTIFICATIONS; ++i) {
            const auto t0 = Clock::now();
            mqtt_con.push(std::to_string(1767600001 + i) + ",3," + std::to_string(i % 128 + 1) + ",5,3050,");
            if (!sub.next(note_topic, static_cast<size_t>(i) + 1, 2000).empty()) lat.push_back(ms_since(t0));
        }
        const double cpu = thread_cpu_ms(cc) - cpu0;
        stop_running();
        pthread_join(cc, nullptr);
        print_latency(tls ? "state change to subscriber, TLS" : "state change to subscriber, plain", lat);
        std::printf("%-44s %.3f ms CPU per notification (publisher thread)\n", "", cpu / NOTIFICATIONS);
        std::sort(lat.begin(), lat.end());
        sorted[tls] = lat;
    }
    if (!sorted[0].empty() && !sorted[1].empty())
        std::printf("TLS minus plain: p50 %+.2f ms, p99 %+.2f ms   (target: p99 within 50 ms of plain)\n",
                    sorted[1][sorted[1].size() / 2] - sorted[0][sorted[0].size() / 2],
                    sorted[1][sorted[1].size() * 99 / 100] - sorted[0][sorted[0].size() * 99 / 100]);
    return 0;
}
