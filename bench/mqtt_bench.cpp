// Figures of the MQTT client through a real mosquitto broker on loopback:
// request-to-response latency of a read of group 301 (128 members), beside
// the broker's own round trip to a client that echoes on a standing
// connection; and notifications delivered per second through the one-shot
// publications. Targets: p99 under 50 ms; 100 notifications within 2 s.
// Prints figures; judges nothing.
#include <sys/stat.h>

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

    // Notifications: queued at once, drained by the publisher's own pass.
    const auto t0 = Clock::now();
    for (int i = 0; i < NOTIFICATIONS; ++i)
        mqtt_con.push(std::to_string(1767600000 + i) + ",3," + std::to_string(i % 128 + 1) + ",5,3050,");
    mqtt_notify_pending();
    const std::string note_topic = "kvt7400/12/change_condition";
    client.next(note_topic, NOTIFICATIONS - 1, 10000);
    const double took = ms_since(t0);
    const size_t got = client.on(note_topic).size();
    std::printf("notifications: %zu of %d delivered in %.0f ms = %.0f per second   (target: 100 within 2 s)\n", got,
                NOTIFICATIONS, took, got / (took / 1000.0));

    control = 0;
    session.join();
    return 0;
}
