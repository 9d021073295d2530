// Remote requests through a real mosquitto broker: the subscriber session
// runs in this process against the simulated board, a test client asks on
// kvt7400/12/request_configuration and reads kvt7400/12/response_configuration.
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <cstring>
#include <functional>
#include <map>
#include <regex>
#include <thread>

#include "deadline.h"
#include "event_fixture.h"
#include "mqtt.h"
#include "mqtt_peer.h"

namespace {

const std::string REQUESTS = "kvt7400/12/request_configuration";
const std::string ANSWERS = "kvt7400/12/response_configuration";

// Every setting and live value holds a value named after the group that
// reads it: member n of group G holds G * 1000 + n, or the text "gG-n".
// Flags cannot, so each flag group has its own on/off pattern over its
// members. A group that reads the wrong field or element then shows
// another group's numbers.
int num(int g, int n) { return g * 1000 + n; }
std::string name(int g, int n) { return "g" + std::to_string(g) + "-" + std::to_string(n); }
bool flag(int g, int n) { return (n * 7 + g * 13) % 11 < 5; }

// The status codes 0-8 as MQTT reports them.
const int SENT[9] = {5, 1, 2, 3, 4, 3, 2, 2, 3};
// Live status of member n of a channel: the codes 0-8 in turn, from `from`.
int code(int from, int n) { return (n - 1 + from) % 9; }

// The relay outputs' packed ON and OFF rules (d9-d16), as the rules set
// below pack: type | selector << 8 | state bits << 24 | enable << 31.
const char* const ON_RULES[8] = {"2231370242", "83886850", "2231370754", "83887362",
                                 "2231371266", "83887874", "2231371778", "83888386"};
const char* const OFF_RULES[8] = {"704645123", "2852128515", "704644611", "2852128003",
                                  "704644099", "2852127491", "704643587", "2852126979"};

// The eight thresholds in record order, from group g on.
template <typename T>
void thresholds(T& r, int g, int n)
{
    r.alert_max_val = num(g, n), r.alert_max_clear = num(g + 1, n);
    r.caution_max_val = num(g + 2, n), r.caution_max_clear = num(g + 3, n);
    r.caution_min_val = num(g + 4, n), r.caution_min_clear = num(g + 5, n);
    r.alert_min_val = num(g + 6, n), r.alert_min_clear = num(g + 7, n);
}

void fill_settings()
{
    auto& s = sensor_settings;
    for (int n = 1; n <= 16; ++n) {
        const bool in = n <= 8;
        auto set_texts = [n](auto& r) {
            copy_text(r.name, name(101, n));
            copy_text(r.ontext, name(103, n));
            copy_text(r.offtext, name(104, n));
            r.enable = flag(107, n);
            r.errortext_id = num(110, n);
            r.trend_id = num(111, n);
        };
        if (in) {
            auto& r = s.digitalI[n - 1];
            set_texts(r);
            r.time = num(102, n);
        } else {
            auto& r = s.digitalO[n - 9];
            set_texts(r);
            r.doinit = flag(105, n);
            r.dokeep = flag(106, n);
            r.ontype = 2, r.onsensor = n - 7, r.onstate = 5, r.onenable = n % 2;
            r.offtype = 3, r.offsensor = 17 - n, r.offstate = 42, r.offenable = (n + 1) % 2;
        }
    }
    for (int n = 1; n <= 8; ++n) {
        auto& r = s.analog[n - 1];
        copy_text(r.name, name(201, n));
        r.enable = flag(202, n);
        r.input_max = num(203, n), r.input_min = num(204, n), r.output_max = num(205, n), r.output_min = num(206, n);
        r.alert_max_val = num(207, n), r.alert_max_clear = num(208, n);
        r.caution_max_val = num(209, n), r.caution_max_clear = num(210, n);
        r.caution_min_val = num(211, n), r.caution_min_clear = num(212, n);
        r.alert_min_val = num(213, n), r.alert_min_clear = num(214, n);
        r.err_sampling = num(215, n);
        copy_text(r.unit, name(216, n));
        r.trend_id = num(217, n);
        r.log = flag(218, n);
        r.range = num(219, n);
    }
    auto probe = [](auto& r, int g, int n) {
        copy_text(r.name, name(g + 1, n));
        r.enable = flag(g + 2, n);
        thresholds(r, g + 3, n);
        copy_text(r.device_ID, name(g + 11, n));
        r.trend_id = num(g + 15, n);
        r.log = flag(g + 16, n);
    };
    for (int n = 1; n <= 128; ++n) probe(s.onewire_temperature[n - 1], 300, n);
    for (int n = 1; n <= 16; ++n) probe(s.onewire_humidity[n - 1], 400, n);
    // Element 0 of the cycles and battery levels is the VLXA one, 1 the NX40 one.
    s.smartMesh_cycle[0].cycle_minutes = num(501, 1);
    s.smartMesh_cycle[1].cycle_minutes = num(701, 1);
    for (int e : {0, 1}) {
        const int g = e ? 702 : 502;
        s.battery[e] = {num(g, 1), num(g + 1, 1), num(g + 2, 1), num(g + 3, 1), false};
    }
    for (int n = 1; n <= 50; ++n) {
        auto& r = s.veloxa[n - 1];
        copy_text(r.name, name(506, n));
        copy_text(r.t_name, name(507, n));
        copy_text(r.h_name, name(607, n));
        r.enable = flag(508, n);
        r.t_alert_max_val = num(509, n), r.t_alert_max_clear = num(510, n);
        r.t_caution_max_val = num(511, n), r.t_caution_max_clear = num(512, n);
        r.t_caution_min_val = num(513, n), r.t_caution_min_clear = num(514, n);
        r.t_alert_min_val = num(515, n), r.t_alert_min_clear = num(516, n);
        r.h_alert_max_val = num(609, n), r.h_alert_max_clear = num(610, n);
        r.h_caution_max_val = num(611, n), r.h_caution_max_clear = num(612, n);
        r.h_caution_min_val = num(613, n), r.h_caution_min_clear = num(614, n);
        r.h_alert_min_val = num(615, n), r.h_alert_min_clear = num(616, n);
        copy_text(r.device_ID, name(517, n));
        r.t_trend_id = num(522, n), r.h_trend_id = num(622, n);
        r.t_log = flag(523, n), r.h_log = flag(623, n);
    }
    for (int n = 1; n <= 100; ++n) {
        auto& r = s.kvt_nx40[n - 1];
        copy_text(r.name, name(706, n));
        r.enable = flag(707, n);
        thresholds(r, 708, n);
        copy_text(r.device_ID, name(716, n));
        r.trend_id = num(721, n);
        r.log = flag(722, n);
    }
    // Trend rules 1-5; rule 0 is not reachable.
    for (int n = 1; n <= 5; ++n) {
        auto& r = s.trend[n];
        r.enable = flag(801, n);
        r.minutes = num(802, n), r.au_per = num(803, n), r.al_per = num(804, n);
        r.cu_per = num(805, n), r.cl_per = num(806, n);
    }
}

void fill_live()
{
    auto& c = *monitor->sensor_condition;
    for (int n = 1; n <= 16; ++n) c.digitalio[n - 1] = {num(112, n), code(0, n)};
    for (int n = 1; n <= 8; ++n) c.analog[n - 1] = {num(220, n), code(1, n)};
    for (int n = 1; n <= 128; ++n) c.onewire_temperature[n - 1] = {num(312, n), code(2, n)};
    for (int n = 1; n <= 16; ++n) c.onewire_humidity[n - 1] = {num(412, n), code(3, n)};
    for (int n = 1; n <= 50; ++n)
        c.veloxa[n - 1] = {{num(518, n), code(4, n)}, {num(618, n), code(5, n)}, {n, code(6, n)}};
    for (int n = 1; n <= 100; ++n) c.kvt_nx40[n - 1] = {{num(717, n), code(7, n)}, {n, code(8, n)}};
    for (int n = 1; n <= 50; ++n) monitor->trend_per->veloxa[n - 1].con = num(520, n);
    for (int n = 1; n <= 100; ++n) monitor->trend_per->kvt_nx40[n - 1].con = num(719, n);
}

// Member n of a group as a read shows it.
using Value = std::function<std::string(int n)>;
std::string quote(const std::string& t) { return "\"" + t + "\""; }
Value number(int g, bool quoted = false)
{
    return [=](int n) { return quoted ? quote(std::to_string(num(g, n))) : std::to_string(num(g, n)); };
}
// A single value d1 that group `from` also reads.
Value same_as(int from, bool quoted = false)
{
    return [=](int) { return quoted ? quote(std::to_string(num(from, 1))) : std::to_string(num(from, 1)); };
}
Value text(int g) { return [=](int n) { return quote(name(g, n)); }; }
Value flags(int g, bool quoted = false)
{
    return [=](int n) { return quoted ? quote(flag(g, n) ? "1" : "0") : flag(g, n) ? "1" : "0"; };
}
Value status(int from, bool quoted = false)
{
    return [=](int n) {
        const std::string v = std::to_string(SENT[code(from, n)]);
        return quoted ? quote(v) : v;
    };
}
Value fixed(const std::string& v)
{
    return [=](int) { return v; };
}

struct Row {
    int id, first, last;
    Value v;
};

class MqttRemoteTest : public EventsTest {
protected:
    mqtt_peer::Broker broker{sb.root()};
    std::thread session;

    void SetUp() override
    {
        EventsTest::SetUp();
        fill_settings();
        fill_live();
        monitor->requestflg->ai_connection = 1;
        monitor->requestflg->is_7400 = 1;
        copy_text(software_ver, "1.1.1");
        copy_text(hardware_ver, "hw \"2\"");
        copy_text(updatetime, "2025/01/02");
        admin_settings.mqtt = {12, "127.0.0.1", broker.port(), "", "", 0, "", "", ""};
        ASSERT_TRUE(broker.start());
        session = std::thread(mqtt_sub_session);
    }

    void TearDown() override
    {
        stop_running();
        if (session.joinable()) session.join();
        broker.stop();
        EventsTest::TearDown();
    }

    // A client whose requests the session answers.
    std::unique_ptr<mqtt_peer::Client> client()
    {
        auto c = std::make_unique<mqtt_peer::Client>(broker.port(), std::vector<std::string>{ANSWERS});
        EXPECT_TRUE(c->ready(3000));
        for (int i = 0; i < 50 && c->ask(REQUESTS, ANSWERS, read(13), 100).empty(); ++i) {}
        return c;
    }

    static std::string read(int id, int rw = 0)
    {
        return "{\"unit_id\":7,\"readwrite\":" + std::to_string(rw) + ",\"mqtt_id\":" + std::to_string(id) + "}";
    }
    // A write of group id: its members as they read now, some replaced.
    static std::string write(int id, const std::map<int, std::string>& set)
    {
        picojson::value d;
        std::string now = mqtt_data(id);
        picojson::parse(d, now.replace(now.size() - 2, 2, "}"));
        std::string data = "{";
        for (auto& [k, v] : d.get<picojson::object>()) {
            const int n = std::stoi(k.substr(1));
            data += "\"" + k + "\":" + (set.count(n) ? set.at(n) : v.serialize()) + ",";
        }
        data.back() = '}';
        return "{\"unit_id\":7,\"readwrite\":1,\"mqtt_id\":" + std::to_string(id) + ",\"data\":" + data + "}";
    }
};

}  // namespace

// Each group reads its own field of its own records and live values: the
// expected members are the values the fill above gave that group's field.
TEST_F(MqttRemoteTest, EveryGroupReadsItsOwnFieldOfEveryPortInTheEnvelope)
{
    std::vector<Row> rows = {
        {11, 1, 1, fixed("\"1.1.1\"")},
        {12, 1, 1, fixed("\"hw \\\"2\\\"\"")},
        {13, 1, 1, fixed("1")},
        {14, 1, 1, fixed("\"2025/01/02\"")},
        {101, 1, 16, text(101)}, {102, 1, 8, number(102)}, {103, 1, 16, text(103)}, {104, 1, 16, text(104)},
        {105, 9, 16, flags(105)}, {106, 9, 16, flags(106)}, {107, 1, 16, flags(107)},
        {108, 9, 16, [](int n) { return std::string(ON_RULES[n - 9]); }},
        {109, 9, 16, [](int n) { return std::string(OFF_RULES[n - 9]); }},
        {110, 1, 16, number(110)}, {111, 1, 8, number(111)},
        {112, 1, 16, number(112)}, {113, 1, 16, fixed("0")}, {114, 1, 16, status(0)},
        {201, 1, 8, text(201)}, {202, 1, 8, flags(202)}, {216, 1, 8, text(216)}, {218, 1, 8, flags(218)},
        {220, 1, 8, number(220)}, {221, 1, 8, status(1)}, {222, 1, 1, fixed("1")},
        {501, 1, 1, same_as(501, true)}, {601, 1, 1, same_as(501, true)},
        {506, 1, 50, text(506)}, {606, 1, 50, text(506)},
        {507, 1, 50, text(507)}, {607, 1, 50, text(607)},
        {508, 1, 50, flags(508, true)}, {608, 1, 50, flags(508, true)},
        {517, 1, 50, text(517)}, {617, 1, 50, text(517)},
        {518, 1, 50, number(518, true)}, {519, 1, 50, status(4, true)},
        {618, 1, 50, number(618, true)}, {619, 1, 50, status(5, true)},
        {521, 1, 50, status(6, true)}, {621, 1, 50, status(6, true)},
        {520, 1, 1, same_as(520, true)}, {620, 1, 1, same_as(520, true)},
        {522, 1, 50, number(522, true)}, {523, 1, 50, flags(523, true)},
        {622, 1, 50, number(622, true)}, {623, 1, 50, flags(623, true)},
        {701, 1, 1, same_as(701, true)},
        {706, 1, 100, text(706)}, {707, 1, 100, flags(707)}, {716, 1, 100, text(716)},
        {717, 1, 100, number(717)}, {718, 1, 100, status(7)}, {719, 1, 100, number(719)},
        // The battery state unmapped: the codes 0-8 in turn from 8.
        {720, 1, 100, [](int n) { return std::to_string(code(8, n)); }},
        {721, 1, 100, number(721)}, {722, 1, 100, flags(722)},
        {801, 1, 5, flags(801, true)},
        {115, 1, 0, nullptr},  // no group: an empty data object
        {900, 1, 0, nullptr},
    };
    // Plain numbers by group: the analog fields, the battery levels, the
    // thresholds and the trend rules.
    for (int g : {203, 204, 205, 206, 207, 208, 209, 210, 211, 212, 213, 214, 215, 217, 219})
        rows.push_back({g, 1, 8, number(g)});
    for (int g = 702; g <= 705; ++g) rows.push_back({g, 1, 1, same_as(g)});
    for (int g = 502; g <= 505; ++g) {
        rows.push_back({g, 1, 1, same_as(g, true)});
        rows.push_back({g + 100, 1, 1, same_as(g, true)});
    }
    for (int g = 509; g <= 516; ++g) {
        rows.push_back({g, 1, 50, number(g, true)});
        rows.push_back({g + 100, 1, 50, number(g + 100, true)});
    }
    for (int g = 708; g <= 715; ++g) rows.push_back({g, 1, 100, number(g)});
    for (int g = 802; g <= 806; ++g) rows.push_back({g, 1, 5, number(g)});
    // 1-Wire probes: the connection flag is 1 unless the state is 0 or 4.
    for (int p : {3, 4}) {
        const int g = p * 100, ports = p == 3 ? 128 : 16, from = p == 3 ? 2 : 3;
        rows.push_back({g + 1, 1, ports, text(g + 1)});
        rows.push_back({g + 2, 1, ports, flags(g + 2)});
        for (int k = 3; k <= 10; ++k) rows.push_back({g + k, 1, ports, number(g + k)});
        rows.push_back({g + 11, 1, ports, text(g + 11)});
        rows.push_back({g + 12, 1, ports, number(g + 12)});
        rows.push_back({g + 13, 1, ports, status(from)});
        rows.push_back({g + 14, 1, ports, [from](int n) { return code(from, n) == 0 || code(from, n) == 4 ? "0" : "1"; }});
        rows.push_back({g + 15, 1, ports, number(g + 15)});
        rows.push_back({g + 16, 1, ports, flags(g + 16)});
    }

    auto cl = client();
    const std::regex envelope(R"(\{"unit_id":12,"time":"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d","readwrite":(\d),"mqtt_id":(\d+),"data":(.*)\})");
    for (const Row& r : rows) {
        std::string data = "{";
        for (int n = r.first; n <= r.last; ++n) data += "\"d" + std::to_string(n) + "\":" + r.v(n) + ",";
        if (data.size() > 1) data.pop_back();
        data += "}";
        const std::string got = cl->ask(REQUESTS, ANSWERS, read(r.id, r.id == 102 ? 2 : 0));
        std::smatch m;
        ASSERT_TRUE(std::regex_match(got, m, envelope)) << r.id << ": " << got;
        EXPECT_EQ(m[1], r.id == 102 ? "2" : "0") << "readwrite 2 is answered as a read";
        EXPECT_EQ(m[2], std::to_string(r.id));
        EXPECT_EQ(m[3], data) << "group " << r.id;
        picojson::value v;
        EXPECT_EQ(picojson::parse(v, got), "") << "valid JSON: " << got;
    }
}

TEST_F(MqttRemoteTest, WritesAreTakenWholeOrRefusedWholeWithNothingChanged)
{
    auto& ss = sensor_settings;
    struct Case {
        const char* what;
        std::string request;
        bool taken;
        std::vector<std::string> saves;  // db_save messages of a taken write
        std::function<bool()> holds;
    };
    // Settings every member of the written groups passes, but for the cases' own.
    for (auto& a : ss.analog) a.alert_max_val = 900, a.alert_max_clear = 800;
    for (auto& p : ss.onewire_temperature) copy_text(p.device_ID, "0123456789ABCDEF");
    for (auto& t : ss.trend) t.minutes = 10;
    ss.analog[2].alert_max_clear = 600;
    ss.onewire_temperature[0].enable = true;
    ss.onewire_temperature[1].enable = false;
    for (auto& o : ss.digitalO) o.dokeep = o.doinit = false;  // pulses go to 1, without a hold
    std::vector<Case> cases = {
        {"207 INT_MAX", write(207, {{3, "2147483647"}}), true, {"10,999,"}, [&] { return ss.analog[2].alert_max_val == INT_MAX; }},
        {"207 below its clear level", write(207, {{3, "500"}}), false, {}, [&] { return ss.analog[2].alert_max_val == INT_MAX; }},
        {"311 empty id, probe enabled", write(311, {{1, "\"\""}}), false, {}, [&] { return ss.onewire_temperature[0].device_ID[0]; }},
        {"311 empty id, probe disabled", write(311, {{2, "\"\""}}), true, {"15,999,"},
         [&] { return !ss.onewire_temperature[1].device_ID[0]; }},
        {"311 short id", write(311, {{3, "\"0123\""}}), false, {}, [&] { return std::string(ss.onewire_temperature[2].device_ID) == "0123456789ABCDEF"; }},
        {"101 names of inputs and outputs", write(101, {{16, "\"Door\""}}), true, {"1,999,", "2,999,"},
         [&] { return std::string(ss.digitalO[7].name) == "Door"; }},
        {"101 forbidden character", write(101, {{1, "\"a\\\"b\""}}), false, {}, [&] { return ss.digitalI[0].name[0] == 'g'; }},
        // Texts longer than their field (NUL included) are refused, not cut:
        // 31 bytes for a 31-byte label, 33 for a 32-byte mesh name.
        {"103 on-text of 31 bytes", write(103, {{2, "\"aあいうえおかきくけこ\""}}), false, {},
         [&] { return ss.digitalI[1].ontext[0] == 'g'; }},
        {"103 on-text of 30 bytes", write(103, {{2, "\"あいうえおかきくけこ\""}}), true, {"1,999,", "2,999,"},
         [&] { return std::string(ss.digitalI[1].ontext) == "あいうえおかきくけこ"; }},
        {"506 mesh name of 33 bytes", write(506, {{4, "\"abcあいうえおかきくけこ\""}}), false, {},
         [&] { return ss.veloxa[3].name[0] == 'g'; }},
        {"506 comma in a mesh name", write(506, {{4, "\"a,b\""}}), false, {}, [&] { return ss.veloxa[3].name[0] == 'g'; }},
        {"802 minutes 0", write(802, {{1, "0"}, {2, "0"}}), false, {}, [&] { return ss.trend[1].minutes != 0; }},
        {"113 negative pulse length", write(113, {{12, "-1"}}), false, {}, [&] { return relay_line(3) == 0; }},
        {"108 relay rule", write(108, {{12, std::to_string(0x81000302u)}}), true, {},
         [&] { return ss.digitalO[3].ontype == 2 && ss.digitalO[3].onsensor == 3 && ss.digitalO[3].onstate == 1; }},
    };
    auto cl = client();
    for (const Case& c : cases) {
        db_save.clear();
        const std::string got = cl->ask(REQUESTS, ANSWERS, c.request);
        EXPECT_NE(got.find("\"data\":{"), std::string::npos) << c.what << ": " << got;
        std::vector<std::string> saves = drain(db_save);
        if (std::string(c.what) == "108 relay rule") EXPECT_EQ(saves.size(), 8u) << "one save per stored rule";
        else EXPECT_EQ(saves, c.taken ? c.saves : std::vector<std::string>{}) << c.what;
        EXPECT_TRUE(c.holds()) << c.what;
    }
    const std::string log = sb.applog();
    EXPECT_NE(log.find("mqtt_data_write: data error311(d1)"), std::string::npos) << log;
    EXPECT_NE(log.find("mqtt_data_write: data error802(d1)"), std::string::npos);
    EXPECT_EQ(log.find("data error802(d2)"), std::string::npos) << "the check stops at the first bad member";
    EXPECT_NE(log.find("mqtt_data_write: data error113(d12)"), std::string::npos);
}

// Group 113 pulses only the outputs given a length: a member of 0 leaves
// its output as it is, and a pulse asked of an output already pulsing
// fails the whole write.
TEST_F(MqttRemoteTest, PulseGroup113LeavesZeroMembersAloneAndRefusesASecondPulse)
{
    for (auto& o : sensor_settings.digitalO) o.dokeep = o.doinit = false;  // pulses go to 1, without a hold
    do_ctl(0, 1);                                                          // relay output 1 on
    auto cl = client();
    // A 2 s pulse of output 2 runs beside the subscriber, which answers at once.
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_NE(cl->ask(REQUESTS, ANSWERS, write(113, {{10, "2"}}), 900), "");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(deadline_ms(900)));
    EXPECT_TRUE(wait_until([&] { return relay_line(1) == 1; }, deadline_ms(500)));
    EXPECT_EQ(cl->ask(REQUESTS, ANSWERS, write(113, {{10, "1"}, {11, "1"}})), "MQTT data error");
    EXPECT_EQ(relay_line(2), 0) << "a refused write pulses nothing";
    EXPECT_NE(sb.applog().find("relay output 2 (d10)"), std::string::npos) << sb.applog();
    EXPECT_TRUE(wait_until([&] { return relay_line(1) == 0; }, deadline_ms(3000)));
    EXPECT_EQ(relay_line(0), 1) << "relay output 1 stays on";
    for (int k = 2; k < 8; ++k) EXPECT_EQ(relay_line(k), 0) << "relay output " << k + 1;
}

// A refused write leaves memory as it stands: a change another thread made
// and has not saved yet is not replaced by the database's copy.
TEST_F(MqttRemoteTest, RefusedWriteKeepsUnsavedSettingsAndReloadsNothing)
{
    ASSERT_FALSE(built_db("db.sqlite3").empty()) << "factory database not built";
    mkdir(sb.path("/opt").c_str(), 0755);
    mkdir(sb.path("/opt/KVT7400").c_str(), 0755);
    std::ifstream from(built_db("db.sqlite3"), std::ios::binary);
    std::ofstream(sb.path("/opt/KVT7400/db.sqlite3"), std::ios::binary) << from.rdbuf();
    ASSERT_EQ(open_db(), 0);
    auto& ss = sensor_settings;
    copy_text(ss.analog[4].name, "Unsaved");
    ss.analog[4].changeflg = true;
    for (auto& t : ss.trend) t.minutes = 10;
    auto cl = client();
    EXPECT_NE(cl->ask(REQUESTS, ANSWERS, write(802, {{3, "0"}})).find("\"d3\":10"), std::string::npos);
    close_db();
    EXPECT_NE(sb.applog().find("mqtt_data_write: data error802(d3)"), std::string::npos);
    EXPECT_EQ(std::string(ss.analog[4].name), "Unsaved");
    EXPECT_TRUE(ss.analog[4].changeflg);
    EXPECT_EQ(sb.applog().find("Struct initialized"), std::string::npos);
}

TEST_F(MqttRemoteTest, UnusableRequestsAreAnsweredWithTheDataError)
{
    for (auto& d : sensor_settings.digitalI) d.time = 60;
    // Besides the refused seeds of the request decoder's corpus.
    const std::vector<std::string> bad = {
        "{\"unit_id\":1,\"readwrite\":0}", "{\"unit_id\":1.5,\"readwrite\":0,\"mqtt_id\":13}",
        "{\"unit_id\":1,\"readwrite\":0,\"mqtt_id\":1e2}", "{\"unit_id\":1,\"readwrite\":0,\"mqtt_id\":13} x",
        write(102, {{5, "\"60\""}}), write(209, {{2, "4294967301"}}),
    };
    auto cl = client();
    for (const auto& b : bad) EXPECT_EQ(cl->ask(REQUESTS, ANSWERS, b), "MQTT data error") << b;
    EXPECT_TRUE(db_save.empty()) << "a refused write saves nothing";
    EXPECT_GE(count_of(sb.applog(), "MQTT data error"), 6);
}
