// The MQTT client of the running simulator against real mosquitto brokers:
// remote writes reaching the database and the relays, a notification of an
// analog state change, a broker that goes away and comes back, the client
// moved to another broker and unit by command 37; the same over TLS with
// certificates made here; notifications kept while the broker is away and
// across a stop.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "board_lines.h"
#include "db_test_support.h"
#include "mqtt_peer.h"
#include "process.h"
#include "record_text.h"
#include "sandbox.h"

namespace {

const std::string KVTCTL = std::string(KVT_BIN_DIR) + "/kvtctl";

const std::string NOTES = "kvt7400/12/change_condition";

// The "value" member of each notification line.
std::vector<std::string> values_of(const std::vector<std::string>& notes)
{
    std::vector<std::string> out;
    std::smatch m;
    for (const std::string& n : notes)
        if (std::regex_search(n, m, std::regex(R"("value":(\d+)\})"))) out.push_back(m[1]);
    return out;
}

// Digital input 3 notified on every change, the MQTT client on `port`
// (with the extra columns `more`).
void notify_input3(dbtest::Conn& db, int port, const std::string& more = "")
{
    db.exec("UPDATE webapp_mqttconfig SET mqtt_id=12, mqtt_addr='127.0.0.1', mqtt_port=" + std::to_string(port) + more +
            " WHERE id=1;"
            "UPDATE webapp_mqtt_scenario SET enable=0;"
            "UPDATE webapp_mqtt_scenario SET sensortype=1, sensor=4, state=3, enable=1 WHERE id=2;"
            "UPDATE webapp_di SET time=0, enable=1, errortext_id=1 WHERE id=3;");
}

// Records of input 3's changes the publisher has taken so far.
int input3_records(const SimProcess& p)
{
    const std::regex record(R"(\d+,1,3,\d+,[01],)");
    int n = 0;
    for (const std::string& l : lines_of(p.console())) n += std::regex_match(l, record);
    return n;
}

std::string req(int id, int rw, const std::string& data = "")
{
    return "{\"unit_id\":12,\"readwrite\":" + std::to_string(rw) + ",\"mqtt_id\":" + std::to_string(id) +
           (data.empty() ? "" : ",\"data\":" + data) + "}";
}

// The data object of an answer.
std::string data_of(const std::string& answer)
{
    size_t p = answer.find("\"data\":");
    return p == std::string::npos ? answer : answer.substr(p + 7, answer.size() - p - 8);
}

}  // namespace

TEST(MqttE2E, RemoteWritesNotificationsBrokerLossAndMove)
{
    TestSandbox sb;
    for (const char* d : {"/mqtt-a", "/mqtt-b"}) mkdir(sb.path(d).c_str(), 0755);
    mqtt_peer::Broker a(sb.path("/mqtt-a")), b(sb.path("/mqtt-b"));
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    dbtest::Conn db(sb.path("/opt/KVT7400/db.sqlite3"));
    db.exec("UPDATE webapp_mqttconfig SET mqtt_id=12, mqtt_addr='127.0.0.1', mqtt_port=" + std::to_string(a.port()) +
            ", mqtt_account='', mqtt_password='' WHERE id=1;"
            "UPDATE webapp_mqtt_scenario SET enable=0;"
            "UPDATE webapp_mqtt_scenario SET sensortype=2, sensor=1, state=8, enable=1 WHERE id=1;"
            "UPDATE webapp_mqtt_scenario SET sensortype=1, sensor=4, state=3, enable=1 WHERE id=2;"
            "UPDATE webapp_di SET time=0, enable=1, errortext_id=1 WHERE id=3;"
            "UPDATE webapp_do SET dokeep=0;"
            "UPDATE webapp_ai SET enable=1, alert_max_val=3000, alert_max_clear=2900, err_sampling=1 WHERE id=1;");
    const std::string requests = "kvt7400/12/request_configuration", answers = "kvt7400/12/response_configuration";
    mqtt_peer::Client cl(a.port(), {answers, "kvt7400/12/change_condition"});
    ASSERT_TRUE(cl.ready(3000));
    SimProcess p(sb.root(), clock_near_a_minute());
    ASSERT_TRUE(p.wait_started(30000)) << p.console();
    ASSERT_TRUE(wait_until([&] { return count_of(sb.applog(), "MQTT connect callback") == 1; }, 10000)) << p.console();

    // Group 102 all 60: the eight inputs, saved once into their rows.
    const std::string sixty = "{\"d1\":60,\"d2\":60,\"d3\":60,\"d4\":60,\"d5\":60,\"d6\":60,\"d7\":60,\"d8\":60}";
    EXPECT_EQ(data_of(cl.ask(requests, answers, req(102, 1, sixty))), sixty);
    EXPECT_TRUE(wait_until([&] { return db.column("SELECT DISTINCT time FROM webapp_di") == std::vector<std::string>{"60"}; }, 3000));
    // d5 = 4000: the request is refused whole, nothing changes and nothing
    // is reloaded from the database.
    std::string bad = sixty;
    bad.replace(bad.find("\"d5\":60"), 7, "\"d5\":4000").replace(bad.find("\"d1\":60"), 7, "\"d1\":61");
    EXPECT_EQ(data_of(cl.ask(requests, answers, req(102, 1, bad))), sixty);
    EXPECT_NE(sb.applog().find("mqtt_data_write: data error102(d5)"), std::string::npos);
    EXPECT_EQ(count_of(sb.applog(), "Struct initialized"), 1) << "only at start-up";
    // Group 103: an on label of 31 bytes (3-byte characters) does not fit its
    // 31-byte field with the NUL: refused, the row keeps its label.
    const std::string on1 = db.scalar("SELECT ontext FROM webapp_di WHERE id=1", true);
    cl.ask(requests, answers, req(103, 1, "{\"d1\":\"aあいうえおかきくけこ\"}"));
    EXPECT_NE(sb.applog().find("mqtt_data_write: data error103(d1)"), std::string::npos);
    EXPECT_EQ(db.scalar("SELECT ontext FROM webapp_di WHERE id=1", true), on1);
    // Back to no persistence, for input 3 below.
    std::string zero = sixty;
    for (size_t at; (at = zero.find(":60")) != std::string::npos;) zero.replace(at, 3, ":0");
    EXPECT_EQ(data_of(cl.ask(requests, answers, req(102, 1, zero))), zero);
    // Group 112 switches relay output 1 on the board.
    cl.ask(requests, answers, req(112, 1, "{\"d9\":1,\"d10\":2,\"d11\":2,\"d12\":2,\"d13\":2,\"d14\":2,\"d15\":2,\"d16\":2}"));
    EXPECT_TRUE(wait_until([&] { return sb.gpio(2, BOARD::RELAY[0].line) == 1; }, 2000));
    // Group 113 with one pulse, on output 2: relay 1, already on, stays on;
    // a second pulse of output 2 while it runs is refused and logged.
    auto relay = [&](int k) { return sb.gpio(2, BOARD::RELAY[k].line); };
    auto others = [&] { return fields(relay(0), relay(2), relay(3), relay(4), relay(5), relay(6), relay(7)); };
    const std::string resting = others();
    ASSERT_EQ(resting.substr(0, 2), "1|");
    const std::string pulse = "{\"d9\":0,\"d10\":3,\"d11\":0,\"d12\":0,\"d13\":0,\"d14\":0,\"d15\":0,\"d16\":0}";
    EXPECT_NE(cl.ask(requests, answers, req(113, 1, pulse)).find("\"data\":{"), std::string::npos);
    EXPECT_TRUE(wait_until([&] { return relay(1) == 1; }, 2000));
    EXPECT_EQ(cl.ask(requests, answers, req(113, 1, pulse)), "MQTT data error");
    EXPECT_NE(sb.applog().find("relay output 2 (d10)"), std::string::npos) << sb.applog();
    EXPECT_TRUE(wait_until([&] { return relay(1) == 0; }, 6000));
    EXPECT_EQ(others(), resting) << "relay 1 on, the others as they were";

    // Analog input 1 in upper alert: the scenario's notification, as laid out.
    // 9.6 mA on the analog board reads 35.00; a second beyond the level lets
    // the smoothed value settle before it is judged.
    ASSERT_EQ(run_tool("kvtsim", sb.root(), {"ai", "1", "9.6mA"}), 0);
    ASSERT_TRUE(p.wait_console("NX40B_sensor_state_thread tid", 75000)) << p.console();
    const std::string note = cl.next("kvt7400/12/change_condition", 0, 5000);
    EXPECT_TRUE(std::regex_match(note, std::regex(R"(\{ "unit_id":12, "time":"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", "mqtt_id":1000, "sensor":2, "port":1, "state":5, "value":3500\})")))
        << note;
    EXPECT_NE(sb.applog().find("MQTT notif send " + note), std::string::npos);

    // Broker gone: input 3's notification waits for it.
    a.stop();
    sb.set_gpio(BOARD::DI[2].chip, BOARD::DI[2].line, 1);
    EXPECT_TRUE(p.wait_console("MQTT broker 127.0.0.1:" + std::to_string(a.port()) + ": ", 3000)) << p.console();
    // Back again: the subscriber is linked within its 10 s cycle.
    ASSERT_TRUE(a.start());
    EXPECT_TRUE(wait_until([&] { return count_of(sb.applog(), "MQTT connect callback") == 2; }, 12000)) << p.console();
    mqtt_peer::Client again(a.port(), {answers, "kvt7400/12/change_condition"});
    ASSERT_TRUE(again.ready(3000));
    EXPECT_EQ(data_of(again.ask(requests, answers, req(102, 0))), zero);
    EXPECT_TRUE(wait_until([&] { return count_of(sb.applog(), "MQTT notif send") == 2; }, 12000))
        << "input 3's notification sent once the broker is back";

    // Command 37: unit 13 on broker b, after the subscriber's next cycle.
    mqtt_peer::Client moved(b.port(), {"kvt7400/13/response_configuration"});
    ASSERT_TRUE(moved.ready(3000));
    std::string out;
    ASSERT_EQ(run_program({KVTCTL, "-r", sb.root(), "send", "37,0,13,127.0.0.1," + std::to_string(b.port()) + ",,,"}, &out), 0) << out;
    EXPECT_TRUE(p.wait_console("MQTT config changed ", 3000)) << p.console();
    std::string answer;
    EXPECT_TRUE(wait_until([&] {
        answer = moved.ask("kvt7400/13/request_configuration", "kvt7400/13/response_configuration", req(13, 0), 200);
        return !answer.empty();
    }, 15000)) << p.console();
    EXPECT_EQ(answer.rfind("{\"unit_id\":13,", 0), 0u) << answer;

    p.signal(SIGTERM);
    EXPECT_EQ(p.wait_exit(10000), 0) << p.console();
    for (const char* end : {"end mqtt_sub_thread", "end mqtt_cc_thread", "end mqtt thread"})
        EXPECT_NE(p.console().find(end), std::string::npos) << end;
}

TEST(MqttE2E, TlsReadsWritesAndNotifiesAnotherCasBrokerIsRefusedOnceAndMode2PresentsTheClientCertificate)
{
    TestSandbox sb;
    const std::string certs = sb.path("/opt/KVT7400/certs");
    mkdir(certs.c_str(), 0755);
    ASSERT_TRUE(mqtt_peer::make_ca(certs, "ca") && mqtt_peer::make_leaf(certs, "ca", "server") &&
                mqtt_peer::make_leaf(certs, "ca", "client") && mqtt_peer::make_ca(certs, "other") &&
                mqtt_peer::make_leaf(certs, "other", "impostor"));
    for (const char* d : {"/mqtt-tls", "/mqtt-other", "/mqtt-mutual"}) mkdir(sb.path(d).c_str(), 0755);
    const std::string ca = certs + "/ca.crt";
    mqtt_peer::Broker tls(sb.path("/mqtt-tls"), {ca, certs + "/server.crt", certs + "/server.key", false});
    mqtt_peer::Broker other(sb.path("/mqtt-other"), {certs + "/other.crt", certs + "/impostor.crt", certs + "/impostor.key", false});
    mqtt_peer::Broker mutual(sb.path("/mqtt-mutual"), {ca, certs + "/server.crt", certs + "/server.key", true});
    ASSERT_TRUE(tls.start() && other.start() && mutual.start());
    dbtest::Conn db(sb.path("/opt/KVT7400/db.sqlite3"));
    const std::string password = "Tls-pw-7c1e";
    notify_input3(db, tls.port(), ", mqtt_password='" + password + "', mqtt_tls=1, mqtt_cafile='/opt/KVT7400/certs/ca.crt'");
    const std::string requests = "kvt7400/12/request_configuration", answers = "kvt7400/12/response_configuration";
    mqtt_peer::Client cl(tls.port(), {answers, NOTES}, {ca, "", "", false});
    ASSERT_TRUE(cl.ready(3000));
    SimProcess p(sb.root());
    ASSERT_TRUE(p.wait_started(30000)) << p.console();
    ASSERT_TRUE(wait_until([&] { return count_of(sb.applog(), "MQTT connect callback") == 1; }, 10000)) << sb.applog();

    // Read and write requests, and a notification, over TLS.
    EXPECT_EQ(data_of(cl.ask(requests, answers, req(102, 1, "{\"d1\":5,\"d2\":0,\"d3\":0,\"d4\":0,\"d5\":0,\"d6\":0,\"d7\":0,\"d8\":0}"))),
              "{\"d1\":5,\"d2\":0,\"d3\":0,\"d4\":0,\"d5\":0,\"d6\":0,\"d7\":0,\"d8\":0}");
    EXPECT_TRUE(wait_until([&] { return db.scalar("SELECT time FROM webapp_di WHERE id=1") == "5"; }, 3000));
    sb.set_gpio(BOARD::DI[2].chip, BOARD::DI[2].line, 1);
    EXPECT_TRUE(std::regex_search(cl.next(NOTES, 0, 5000), std::regex(R"("sensor":1, "port":3, "state":\d, "value":1\}$)")));

    // A broker certified by another CA: refused, the reason logged once
    // however often the client tries again.
    const std::string tls1 = ",1,/opt/KVT7400/certs/ca.crt,,,";
    ASSERT_EQ(run_tool("kvtctl", sb.root(), {"send", "37,0,12,127.0.0.1," + std::to_string(other.port()) + ",," + password + tls1}), 0);
    ASSERT_TRUE(wait_until([&] { return sb.applog().find("certificate verify failed") != std::string::npos; }, 5000))
        << sb.applog() << p.console();
    auto tries = [&] { return count_of(sb.read("/mqtt-other/mosquitto.log"), "New connection from"); };
    const int before = tries();
    ASSERT_TRUE(wait_until([&] { return tries() >= before + 2; }, 10000)) << sb.read("/mqtt-other/mosquitto.log");
    EXPECT_EQ(count_of(sb.applog(), "certificate verify failed"), 1) << sb.applog();
    EXPECT_EQ(count_of(p.console(), "certificate verify failed"), 1) << "on the console once too";
    EXPECT_NE(sb.applog().find("MQTT broker 127.0.0.1:" + std::to_string(other.port()) + " (TLS): "), std::string::npos);

    // Mode 2: the broker that wants a client certificate gets one.
    mqtt_peer::Client m2(mutual.port(), {answers, NOTES}, {ca, certs + "/client.crt", certs + "/client.key", false});
    ASSERT_TRUE(m2.ready(3000));
    ASSERT_EQ(run_tool("kvtctl", sb.root(),
                       {"send", "37,0,12,127.0.0.1," + std::to_string(mutual.port()) + ",," + password +
                                    ",2,/opt/KVT7400/certs/ca.crt,/opt/KVT7400/certs/client.crt,/opt/KVT7400/certs/client.key,"}),
              0);
    std::string answer;
    EXPECT_TRUE(wait_until([&] {
        answer = m2.ask(requests, answers, req(102, 0), 200);
        return !answer.empty();
    }, 15000)) << sb.applog();
    EXPECT_EQ(data_of(answer).rfind("{\"d1\":5,", 0), 0u) << answer;
    sb.set_gpio(BOARD::DI[2].chip, BOARD::DI[2].line, 0);
    EXPECT_TRUE(std::regex_search(m2.next(NOTES, 0, 5000), std::regex(R"("port":3, "state":\d, "value":0\}$)")));

    p.signal(SIGTERM);
    EXPECT_EQ(p.wait_exit(10000), 0) << p.console();
    EXPECT_EQ(sb.applog().find(password), std::string::npos);
    EXPECT_EQ(p.console().find(password), std::string::npos);
}

TEST(MqttE2E, OutboxFiveChangesWhileTheBrokerIsAwayArriveOnceInOrderAndWhatWaitsAtSigtermAfterTheNextStart)
{
    TestSandbox sb;
    mkdir(sb.path("/mqtt").c_str(), 0755);
    mqtt_peer::Broker b(sb.path("/mqtt"), {}, true);
    ASSERT_TRUE(b.start());
    mqtt_peer::Subscriber sub(b.port(), "kvt-e2e-qos1", NOTES, sb.path("/mqtt/received.txt"));
    {
        mqtt_peer::Client probe(b.port(), {});
        ASSERT_TRUE(wait_until([&] {
            probe.publish(NOTES, "probe");
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            return !lines_of(sb.read("/mqtt/received.txt")).empty();
        }, 5000));
    }
    dbtest::Conn db(sb.path("/opt/KVT7400/db.sqlite3"));
    notify_input3(db, b.port());
    auto p = std::make_unique<SimProcess>(sb.root());
    ASSERT_TRUE(p->wait_started(30000)) << p->console();
    ASSERT_TRUE(wait_until([&] { return count_of(sb.applog(), "MQTT connect callback") == 1; }, 10000)) << sb.applog();

    // The subscriber's session is the broker's from here on; the probes it
    // took are not notifications.
    auto notes = [&] { return values_of(lines_of(sb.read("/mqtt/received.txt"))); };
    // Five changes with the broker away, then the broker back.
    b.stop();
    for (int i = 1; i <= 5; ++i) {
        sb.set_gpio(BOARD::DI[2].chip, BOARD::DI[2].line, i % 2);
        ASSERT_TRUE(wait_until([&] { return input3_records(*p) == i; }, 3000)) << p->console();
    }
    ASSERT_TRUE(b.start());
    EXPECT_TRUE(wait_until([&] { return count_of(sb.applog(), "MQTT notif send") == 5; }, 20000)) << sb.applog();
    EXPECT_TRUE(wait_until([&] { return notes().size() >= 5; }, 5000));
    EXPECT_EQ(notes(), (std::vector<std::string>{"1", "0", "1", "0", "1"}));

    // Two more with the broker away, then SIGTERM: kept in the outbox file.
    b.stop();
    for (int i = 6; i <= 7; ++i) {
        sb.set_gpio(BOARD::DI[2].chip, BOARD::DI[2].line, i % 2);
        ASSERT_TRUE(wait_until([&] { return input3_records(*p) == i; }, 3000)) << p->console();
    }
    p->signal(SIGTERM);
    ASSERT_EQ(p->wait_exit(10000), 0) << p->console();
    EXPECT_EQ(values_of(lines_of(sb.read("/log/mqtt_outbox.txt"))), (std::vector<std::string>{"0", "1"}));
    p.reset();
    ASSERT_TRUE(b.start());
    p = std::make_unique<SimProcess>(sb.root());
    EXPECT_TRUE(wait_until([&] { return notes().size() >= 7; }, 20000)) << p->console();
    EXPECT_EQ(notes(), (std::vector<std::string>{"1", "0", "1", "0", "1", "0", "1"}));
    EXPECT_FALSE(sb.exists("/log/mqtt_outbox.txt"));
    p->signal(SIGTERM);
    EXPECT_EQ(p->wait_exit(10000), 0) << p->console();
}
