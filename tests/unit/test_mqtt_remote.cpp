// Remote requests through a real mosquitto broker: the subscriber session
// runs in this process against the simulated board, a test client asks on
// kvt7400/12/request_configuration and reads kvt7400/12/response_configuration.
#include <chrono>
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

using SETTINGS_MAP::Type;

// Field `name` of element i of the section saved as `save`, as a read shows it.
std::string field_text(int save, const std::string& name, int i, bool quoted)
{
    const auto* sec = SETTINGS_MAP::section_of_save(save);
    const char* e = SETTINGS_MAP::element(*sec, i);
    for (int k = 0; k < sec->record->count; ++k) {
        const auto& f = sec->record->fields[k];
        if (name != f.name) continue;
        if (f.type == Type::Text) return "\"" + SETTINGS_MAP::get_text(e, f) + "\"";
        std::string v = std::to_string(SETTINGS_MAP::get_int(e, f));
        return quoted ? "\"" + v + "\"" : v;
    }
    return "no field " + name;
}

using Value = std::function<std::string(int n)>;
Value fld(int save, std::string name, int base, bool quoted = false)
{
    return [=](int n) { return field_text(save, name, n - base, quoted); };
}
Value dio(const char* name)
{
    return [=](int n) { return n <= 8 ? field_text(SAVE::DI, name, n - 1, false) : field_text(SAVE::DO, name, n - 9, false); };
}
Value num(std::function<long long(int)> f, bool quoted = false)
{
    return [=](int n) { return quoted ? "\"" + std::to_string(f(n)) + "\"" : std::to_string(f(n)); };
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
        // Distinct values everywhere: numbers by field and element, texts naming both.
        for (const auto* sec : SETTINGS_MAP::sections())
            for (int i = 0; i < sec->entries; ++i)
                for (int k = 0; k < sec->record->count; ++k) {
                    const auto& f = sec->record->fields[k];
                    char* e = SETTINGS_MAP::element(*sec, i);
                    if (f.type == Type::Text) SETTINGS_MAP::set_text(e, f, "f" + std::to_string(k) + "-" + std::to_string(i));
                    else SETTINGS_MAP::set_int(e, f, f.type == Type::Bool ? (i + k) % 2 : 1000 * k + i + 1);
                }
        auto& c = live();
        for (int i = 0; i < 16; ++i) c.digitalio[i] = {i % 2, i % 9};
        for (int i = 0; i < 8; ++i) c.analog[i] = {2000 + i, (i + 1) % 9};
        for (int i = 0; i < 128; ++i) c.onewire_temperature[i] = {3000 + i, i % 9};
        for (int i = 0; i < 16; ++i) c.onewire_humidity[i] = {4000 + i, (i + 4) % 9};
        for (int i = 0; i < 50; ++i) c.veloxa[i] = {{5000 + i, i % 9}, {6000 + i, (i + 2) % 9}, {700 + i, (i + 3) % 9}};
        for (int i = 0; i < 100; ++i) c.kvt_nx40[i] = {{8000 + i, i % 9}, {900 + i, (i + 5) % 9}};
        for (int i = 0; i < 50; ++i) monitor->trend_per->veloxa[i].con = 10 + i;
        for (int i = 0; i < 100; ++i) monitor->trend_per->kvt_nx40[i].con = 20 + i;
        monitor->requestflg->ai_connection = 1;
        monitor->requestflg->is_7400 = 1;
        copy_text(software_ver, "1.1.1");
        copy_text(hardware_ver, "hw \"2\"");
        copy_text(updatetime, "2025/01/02");
        admin_settings.mqtt = {12, "127.0.0.1", broker.port(), "", ""};
        ASSERT_TRUE(broker.start());
        session = std::thread(mqtt_sub_session);
    }

    void TearDown() override
    {
        control = 0;
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

TEST_F(MqttRemoteTest, EveryGroupIsAnsweredWithItsMembersInTheEnvelope)
{
    using MONITOR_TABLE::Sensor_condition;
    const auto& c = live();
    auto& tp = *monitor->trend_per;
    std::vector<Row> rows = {
        {11, 1, 1, [](int) { return std::string("\"1.1.1\""); }},
        {12, 1, 1, [](int) { return std::string("\"hw \\\"2\\\"\""); }},
        {13, 1, 1, [](int) { return std::string("1"); }},
        {14, 1, 1, [](int) { return std::string("\"2025/01/02\""); }},
        {101, 1, 16, dio("name")}, {102, 1, 8, fld(SAVE::DI, "time", 1)}, {103, 1, 16, dio("ontext")},
        {104, 1, 16, dio("offtext")}, {105, 9, 16, fld(SAVE::DO, "doinit", 9)}, {106, 9, 16, fld(SAVE::DO, "dokeep", 9)},
        {107, 1, 16, dio("enable")}, {110, 1, 16, dio("errortext_id")}, {111, 1, 8, fld(SAVE::DI, "trend_id", 1)},
        {108, 9, 16, num([](int n) { const auto& o = sensor_settings.digitalO[n - 9];
                             return (long long)((uint32_t)o.ontype | (uint32_t)o.onsensor << 8 | (uint32_t)o.onstate << 24 | (o.onenable ? 1u << 31 : 0)); })},
        {109, 9, 16, num([](int n) { const auto& o = sensor_settings.digitalO[n - 9];
                             return (long long)((uint32_t)o.offtype | (uint32_t)o.offsensor << 8 | (uint32_t)o.offstate << 24 | (o.offenable ? 1u << 31 : 0)); })},
        {112, 1, 16, num([&](int n) { return c.digitalio[n - 1].value; })},
        {113, 1, 16, num([](int) { return 0; })},
        {114, 1, 16, num([&](int n) { return mapped_status(c.digitalio[n - 1].status); })},
        {220, 1, 8, num([&](int n) { return c.analog[n - 1].value; })},
        {221, 1, 8, num([&](int n) { return mapped_status(c.analog[n - 1].status); })},
        {222, 1, 1, num([](int) { return 1; })},
        {701, 1, 1, fld(SAVE::SMARTMESH_CYCLE, "cycle_minutes", 0, true)},
        {706, 1, 100, fld(SAVE::NX40, "name", 1)},
        {716, 1, 100, fld(SAVE::NX40, "device_ID", 1)},
        {717, 1, 100, num([&](int n) { return c.kvt_nx40[n - 1].sensor_temperature.value; })},
        {718, 1, 100, num([&](int n) { return mapped_status(c.kvt_nx40[n - 1].sensor_temperature.status); })},
        {719, 1, 100, num([&](int n) { return tp.kvt_nx40[n - 1].con; })},
        {720, 1, 100, num([&](int n) { return c.kvt_nx40[n - 1].sensor_battery.status; })},
        {801, 1, 5, fld(SAVE::TREND, "enable", 0, true)},
    };
    const char* th[] = {"alert_max_val", "alert_max_clear", "caution_max_val", "caution_max_clear",
                        "caution_min_val", "caution_min_clear", "alert_min_val", "alert_min_clear"};
    const char* ai[] = {"name", "enable", "input_max", "input_min", "output_max", "output_min"};
    const char* ai_tail[] = {"err_sampling", "unit", "trend_id", "log", "range"};
    for (int k = 0; k < 6; ++k) rows.push_back({201 + k, 1, 8, fld(SAVE::AI, ai[k], 1)});
    for (int k = 0; k < 8; ++k) rows.push_back({207 + k, 1, 8, fld(SAVE::AI, th[k], 1)});
    for (int k = 0; k < 5; ++k) rows.push_back({215 + k, 1, 8, fld(SAVE::AI, ai_tail[k], 1)});
    for (int p : {3, 4}) {
        const int n = p == 3 ? 128 : 16, save = p == 3 ? SAVE::WIRE_T : SAVE::WIRE_H;
        auto el = [&c, p](int m) { return p == 3 ? c.onewire_temperature[m - 1] : c.onewire_humidity[m - 1]; };
        rows.push_back({p * 100 + 1, 1, n, fld(save, "name", 1)});
        rows.push_back({p * 100 + 2, 1, n, fld(save, "enable", 1)});
        for (int k = 0; k < 8; ++k) rows.push_back({p * 100 + 3 + k, 1, n, fld(save, th[k], 1)});
        rows.push_back({p * 100 + 11, 1, n, fld(save, "device_ID", 1)});
        rows.push_back({p * 100 + 12, 1, n, num([el](int m) { return el(m).value; })});
        rows.push_back({p * 100 + 13, 1, n, num([el](int m) { return mapped_status(el(m).status); })});
        rows.push_back({p * 100 + 14, 1, n, num([el](int m) { return el(m).status != 0 && el(m).status != 4; })});
        rows.push_back({p * 100 + 15, 1, n, fld(save, "trend_id", 1)});
        rows.push_back({p * 100 + 16, 1, n, fld(save, "log", 1)});
    }
    const char* bat[] = {"alert", "alert_clear", "caution", "caution_clear"};
    for (int p : {5, 6}) {
        const std::string ch = p == 5 ? "t_" : "h_";
        rows.push_back({p * 100 + 1, 1, 1, fld(SAVE::SMARTMESH_CYCLE, "cycle_minutes", 1, true)});
        for (int k = 0; k < 4; ++k) rows.push_back({p * 100 + 2 + k, 1, 1, fld(SAVE::BATTERY, bat[k], 1, true)});
        rows.push_back({p * 100 + 6, 1, 50, fld(SAVE::VLXA, "name", 1, true)});
        rows.push_back({p * 100 + 7, 1, 50, fld(SAVE::VLXA, ch + "name", 1, true)});
        rows.push_back({p * 100 + 8, 1, 50, fld(SAVE::VLXA, "enable", 1, true)});
        for (int k = 0; k < 8; ++k) rows.push_back({p * 100 + 9 + k, 1, 50, fld(SAVE::VLXA, ch + th[k], 1, true)});
        rows.push_back({p * 100 + 17, 1, 50, fld(SAVE::VLXA, "device_ID", 1, true)});
        auto ch_el = [&c, p](int m) { return p == 5 ? c.veloxa[m - 1].sensor_temperature : c.veloxa[m - 1].sensor_humidity; };
        rows.push_back({p * 100 + 18, 1, 50, num([ch_el](int m) { return ch_el(m).value; }, true)});
        rows.push_back({p * 100 + 19, 1, 50, num([ch_el](int m) { return mapped_status(ch_el(m).status); }, true)});
        rows.push_back({p * 100 + 20, 1, 1, num([&tp](int) { return tp.veloxa[0].con; }, true)});
        rows.push_back({p * 100 + 21, 1, 50,
                        num([&c](int m) { return mapped_status(c.veloxa[m - 1].sensor_battery.status); }, true)});
        rows.push_back({p * 100 + 22, 1, 50, fld(SAVE::VLXA, ch + "trend_id", 1, true)});
        rows.push_back({p * 100 + 23, 1, 50, fld(SAVE::VLXA, ch + "log", 1, true)});
    }
    for (int k = 0; k < 4; ++k) rows.push_back({702 + k, 1, 1, fld(SAVE::BATTERY, bat[k], 0)});
    const char* nx[] = {"enable", th[0], th[1], th[2], th[3], th[4], th[5], th[6], th[7]};
    for (int k = 0; k < 9; ++k) rows.push_back({707 + k, 1, 100, fld(SAVE::NX40, nx[k], 1)});
    rows.push_back({721, 1, 100, fld(SAVE::NX40, "trend_id", 1)});
    rows.push_back({722, 1, 100, fld(SAVE::NX40, "log", 1)});
    const char* trend[] = {"minutes", "au_per", "al_per", "cu_per", "cl_per"};
    for (int k = 0; k < 5; ++k) rows.push_back({802 + k, 1, 5, fld(SAVE::TREND, trend[k], 0)});
    rows.push_back({115, 1, 0, nullptr});  // no group: an empty data object
    rows.push_back({900, 1, 0, nullptr});

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
        {"101 forbidden character", write(101, {{1, "\"a\\\"b\""}}), false, {}, [&] { return ss.digitalI[0].name[0] == 'f'; }},
        // Texts longer than their field (NUL included) are refused, not cut:
        // 31 bytes for a 31-byte label, 33 for a 32-byte mesh name.
        {"103 on-text of 31 bytes", write(103, {{2, "\"aあいうえおかきくけこ\""}}), false, {},
         [&] { return ss.digitalI[1].ontext[0] == 'f'; }},
        {"103 on-text of 30 bytes", write(103, {{2, "\"あいうえおかきくけこ\""}}), true, {"1,999,", "2,999,"},
         [&] { return std::string(ss.digitalI[1].ontext) == "あいうえおかきくけこ"; }},
        {"506 mesh name of 33 bytes", write(506, {{4, "\"abcあいうえおかきくけこ\""}}), false, {},
         [&] { return ss.veloxa[3].name[0] == 'f'; }},
        {"506 comma in a mesh name", write(506, {{4, "\"a,b\""}}), false, {}, [&] { return ss.veloxa[3].name[0] == 'f'; }},
        {"802 minutes 0", write(802, {{1, "0"}, {2, "0"}}), false, {}, [&] { return ss.trend[1].minutes != 0; }},
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

    // A 1 s pulse of output 2 runs beside the subscriber, which answers at once.
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_NE(cl->ask(REQUESTS, ANSWERS, write(113, {{10, "1"}}), 900), "");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(deadline_ms(900)));
    EXPECT_TRUE(wait_until([&] { return relay_line(1) == 1; }, 500));
    EXPECT_TRUE(wait_until([&] { return relay_line(1) == 0; }, 2000));
}

TEST_F(MqttRemoteTest, UnusableRequestsAreAnsweredWithTheDataError)
{
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
