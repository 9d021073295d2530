// The private MIB: walk order with its jumps on both models, access entries,
// GET and SET through check_oid with the tables' rules, the persistence
// messages, and relay outputs switched on the simulated board.
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "codes.h"
#include "deadline.h"
#include "snmp.h"
#include "event_fixture.h"

namespace {

struct Answer {
    int res;
    std::string name;
    int i;
    std::string s;
};

// Names not starting with "1.3.6." (or marked absolute with "=") are
// relative to the model's root.
std::string full(const std::string& name)
{
    if (name.rfind("=", 0) == 0) return name.substr(1);
    return name.rfind("1.3.6.", 0) == 0 ? name : oid_head() + name;
}

Answer ask(int type, const std::string& name, int value_type = BER::NUL, int i = 0, const std::string& s = "",
           int version = 1)
{
    char oid[SNMP_NAME_SIZE] = {};
    std::snprintf(oid, sizeof oid, "%s", full(name).c_str());
    char str[SNMP_STR_SIZE] = {};
    std::snprintf(str, sizeof str, "%s", s.c_str());
    int res = check_oid(oid, type, str, i, value_type, version);
    return {res, oid, i, str};
}

Answer get(const std::string& name) { return ask(BER::GET, name); }
Answer next(const std::string& name, int version = 1) { return ask(BER::GETNEXT, name, BER::NUL, 0, "", version); }
Answer set_int(const std::string& name, int v) { return ask(BER::SET, name, BER::INTEGER, v); }
Answer set_str(const std::string& name, const std::string& v) { return ask(BER::SET, name, BER::OCTET_STRING, 0, v); }

// The text after the root of a successor, or "END" / "NONE".
std::string successor(const std::string& name)
{
    char out[SNMP_NAME_SIZE] = {};
    int r = check_oid_num(full(name).c_str(), out);
    if (r == 1) return "END";
    if (r < 0) return "NONE";
    std::string t = out;
    return t.rfind(oid_head(), 0) == 0 ? t.substr(std::strlen(oid_head())) : t;
}

class SnmpMibTest : public EventsTest {
protected:
    void SetUp() override
    {
        EventsTest::SetUp();
        use_model(true);
    }
    void use_model(bool k7400)
    {
        monitor->requestflg->is_7400 = k7400 ? 1 : 0;
        oid_change();
    }
};

}  // namespace

// Successors of existing objects are what the end-to-end walks of both models
// follow; these are the names a walk never sends: gaps, partial names, names
// below an object or outside the tree.
TEST_F(SnmpMibTest, SuccessorsFollowTheWalkOrderWithItsJumps)
{
    struct Case {
        const char* name;
        const char* k7400;
        const char* k6100;
    } cases[] = {
        {"=1", "1.3.6.1.2.1.1.1", "1.3.6.1.2.1.1.1"},
        {"=1.3.6.1", "1.3.6.1.2.1.1.1", "1.3.6.1.2.1.1.1"},
        {"1.3.6.1.2.1", "1.3.6.1.2.1.1.1", "1.3.6.1.2.1.1.1"},
        {"1.3.6.1.2.1.1.1", "1.3.6.1.2.1.1.2", "1.3.6.1.2.1.1.2"},
        {"1.3.6.1.2.1.1.7", "1.1.1", "1.1.1"},
        {"1.3.6.1.2.1.2.2", "1.1.1", "1.1.1"},  // past the system group: forward, never back
        {"1.3.6.1.4.1", "1.1.1", "1.1.1"},
        {"1.3.6.1.4.1.58213.22", "1.1.1", "1.1.1"},
        // After the private tree: snmpEngineID to snmpEngineMaxMessageSize,
        // usmStatsUnsupportedSecLevels to usmStatsDecryptionErrors.
        {"1.3.6.1.4.1.58213.99", "1.3.6.1.6.3.10.2.1.1", "1.3.6.1.6.3.10.2.1.1"},
        {"1.3.6.1.6.3.10.2.1.2", "1.3.6.1.6.3.10.2.1.3", "1.3.6.1.6.3.10.2.1.3"},
        {"1.3.6.1.6.3.10.2.1.4", "1.3.6.1.6.3.15.1.1.1", "1.3.6.1.6.3.15.1.1.1"},
        {"1.3.6.1.6.3.15.1.1.5", "1.3.6.1.6.3.15.1.1.6", "1.3.6.1.6.3.15.1.1.6"},
        {"1.3.6.1.6.3.15.1.1.6", "END", "END"},
        {"1.3.6.1.6.4", "END", "END"},
        {"1.4", "1.4.1.1", "1.4.1.1"},
        {"1.10.8", "1.11.1", "NONE"},
        {"1.1.1.5", "1.1.2", "1.1.2"},  // below an object: the next object
        {"2", "2.1.1.1", "2.1.1.1"},
        {"2.1.5.3", "2.1.5.9", "2.1.5.9"},
        {"2.5", "2.5.1.1", "NONE"},
        {"2.7", "2.7.2.1", "NONE"},
        {"2.7.0.3", "2.7.2.1", "NONE"},
        {"2.7.1", "2.7.1.1", "NONE"},
        {"2.7.1.5", "2.7.2.1", "NONE"},
        {"2.1.2.9", "NONE", "NONE"},
        {"2.1.16", "NONE", "NONE"},
        {"2.9", "NONE", "NONE"},
        {"2.20", "NONE", "NONE"},
        {"1.12", "NONE", "NONE"},
        {"3", "NONE", "NONE"},
        {"1.3.6.1.2.1.1.1.2.3.4.5.6.7.8.9", "NONE", "NONE"},  // more than 14 dots
    };
    for (bool k7400 : {true, false}) {
        use_model(k7400);
        for (const auto& c : cases) EXPECT_EQ(successor(c.name), k7400 ? c.k7400 : c.k6100) << c.name << (k7400 ? " KVT-7400" : " KVT-6100");
    }
    // On the KVT-6100 a name under the KVT-7400 root lies before its own.
    EXPECT_EQ(successor("1.3.6.1.4.1.58213.22.2.1.1.1"), "1.1.1");
}

TEST_F(SnmpMibTest, GetNextNamesTheInstanceAsTheRequestDid)
{
    copy_text(software_ver, "1.2.3");
    Answer a = next("1.3.6.1.2.1.1.7.0");
    EXPECT_EQ(a.res, RESP::OCTETS);
    EXPECT_EQ(a.name, oid_head() + std::string("1.1.1.0"));
    EXPECT_EQ(a.s, "1.2.3");
    a = next("1.3.6.1.2.1.1.1");
    EXPECT_EQ(a.res, RESP::OID);
    EXPECT_EQ(a.name, "1.3.6.1.2.1.1.2");
    EXPECT_EQ(a.s, "1.3.6.1.4.1.58213.22");
    EXPECT_EQ(next("1.3.6.1.2.1.1.1.0").name, "1.3.6.1.2.1.1.2.0");
    a = get("1.3.6.1.2.1.1.1");
    EXPECT_EQ(a.name, "1.3.6.1.2.1.1.1.0");
    EXPECT_EQ(a.s, "KVT-7400 ver 1.2.3");
    EXPECT_EQ(get("1.3.6.1.2.1.1.3.0").res, RESP::NUL);
    EXPECT_EQ(get("1.3.6.1.2.1.1.7.0").i, 154);
    a = next("2.8.6.5");
    EXPECT_EQ(a.name, "1.3.6.1.6.3.10.2.1.1");
    EXPECT_EQ(a.res, RESP::OCTETS_N);
    EXPECT_EQ(a.i, 11) << "enterprise format: 4 octets, format octet, MAC";
    a = next("1.3.6.1.6.3.15.1.1.5.0");
    EXPECT_EQ(a.name, "1.3.6.1.6.3.15.1.1.6.0");
    EXPECT_EQ(a.res, RESP::COUNTER32);
    EXPECT_EQ(next("1.3.6.1.6.3.15.1.1.6.0", 1).res, RESP::END_OF_MIB);
    EXPECT_EQ(next("1.3.6.1.6.3.15.1.1.6.0", 0).res, RESP::NO_SUCH_NAME);
    EXPECT_EQ(next("2.1.2.9").res, RESP::NO_SUCH_NAME);
    EXPECT_EQ(next("=0.0").name, "1.3.6.1.2.1.1.1.0");

    admin_settings.mqtt_scenario[2] = {4, 3, 8, true, false};
    a = get("1.6.6.3");
    EXPECT_EQ(a.res, RESP::INTEGER);
    EXPECT_EQ(static_cast<unsigned>(a.i), 0x80000000u | 8u << 24 | 3u << 8 | 4u);
    chcnt = 42;
    EXPECT_EQ(get("2.20").i, 42);
    EXPECT_EQ(get("2.20.0").i, 42);
    // SNMPv2c tells a missing object from a missing instance of an existing
    // one; SNMPv1 answers noSuchName for both.
    struct {
        const char* name;
        bool k7400;
        int v2c;
    } missing[] = {
        {"2.1.1", true, RESP::NO_SUCH_INSTANCE},    {"2.1.15.1", true, RESP::NO_SUCH_INSTANCE},
        {"2.1.2.9", true, RESP::NO_SUCH_INSTANCE},  {"2.20.1", true, RESP::NO_SUCH_INSTANCE},
        {"1.1.1.5", true, RESP::NO_SUCH_INSTANCE},  {"1.3.6.1.2.1.1.1.5", true, RESP::NO_SUCH_INSTANCE},
        {"1.1", true, RESP::NO_SUCH_OBJECT},        {"1.1.5", true, RESP::NO_SUCH_OBJECT},
        {"2.21", true, RESP::NO_SUCH_OBJECT},       {"2.1.16.1", true, RESP::NO_SUCH_OBJECT},
        {"1.3.6.1.2.1.1.8.0", true, RESP::NO_SUCH_OBJECT}, {"1.3.6.1.4.1.58213.23.1.1.1", true, RESP::NO_SUCH_OBJECT},
        {"2.5.2.1", false, RESP::NO_SUCH_OBJECT},   {"1.10.6", false, RESP::NO_SUCH_INSTANCE},
    };
    for (const auto& c : missing) {
        use_model(c.k7400);
        EXPECT_EQ(get(c.name).res, c.v2c) << c.name;
        EXPECT_EQ(ask(BER::GET, c.name, BER::NUL, 0, "", 0).res, RESP::NO_SUCH_NAME) << c.name << " SNMPv1";
    }
    EXPECT_EQ(get("1.3.6.1.2.1.1.1.0").s, "KVT-6100 ver 1.2.3");
}

TEST(SnmpRules, AccessEntriesAdmitTheirAddressesOnly)
{
    struct {
        const char* entry;
        const char* addr;
        int admitted;  // prefix_check: 0 admitted
    } cases[] = {
        {"10.0.0.0/8", "10.1.2.3", 0}, {"10.0.0.0/8", "11.0.0.1", 1},  {"10.0.0.5", "10.0.0.5", 0},
        {"10.0.0.5", "10.0.0.6", 1},   {"10.0.0.5/0", "10.0.0.5", 0},  {"10.0.0.5/0", "10.9.9.9", 1},
        {"10.0.0.5/33", "10.0.0.4", 1}, {"10.0.0.5/-1", "10.0.0.5", 0}, {"10.0.0.5/x", "10.0.0.5", 0},
        {"192.168.1.128/25", "192.168.1.200", 0}, {"192.168.1.128/25", "192.168.1.127", 1},
        {"0.0.0.0/0", "1.2.3.4", 1},   {"host.example", "1.2.3.4", 1}, {"10.0.0.256", "10.0.0.0", 1},
        {"10.0.0.5", "10.0.0.5 ", 1},  {"", "0.0.0.0", 1},
    };
    for (const auto& c : cases) {
        copy_text(admin_settings.snmp[2].ipaddr, c.entry);
        snmp_prefix_Set(2);
        EXPECT_EQ(prefix_check(c.addr, 2), c.admitted) << c.entry << " for " << c.addr;
    }
    EXPECT_EQ(prefix_check("10.0.0.5", 8), 1);
}

TEST(SnmpRules, ThresholdPairsKeepTheirOrder)
{
    constexpr int U = SETTINGS_TABLE::THRESHOLD_OFF_MAX, L = SETTINGS_TABLE::THRESHOLD_OFF_MIN;
    const int base[8] = {3000, 2900, 2500, 2400, 1000, 1100, 500, 600};
    const int none[8] = {U, U, U, U, L, L, L, L};
    struct {
        const int* th;
        int k, v;
        bool analog, ok;
    } cases[] = {
        {base, 0, 2900, false, true},  {base, 0, 2899, false, false}, {base, 0, U, false, true},
        {base, 0, L, false, false},    {base, 1, 3000, false, true},  {base, 1, 3001, false, false},
        {base, 1, 599, false, false},  {base, 3, 1101, false, true},  {base, 3, 1099, false, false},
        {base, 4, 1100, false, true},  {base, 4, 1101, false, false}, {base, 5, 2401, false, false},
        {base, 5, 999, false, false},  {base, 6, 600, false, true},   {base, 7, 2901, false, false},
        {base, 7, L, false, true},     {base, 0, 1000001, false, false}, {none, 0, 5, false, true},
        {none, 6, -1000000, false, true},
        // Analog: a value with its own clear unset is held against the other side's clear.
        {(const int[8]){U, U, U, U, L, L, L, 600}, 0, 599, true, false},
        {(const int[8]){U, U, U, U, L, L, L, 600}, 0, 599, false, true},
        {(const int[8]){U, 2900, U, U, L, L, L, L}, 6, 2901, true, false},
        {(const int[8]){U, 2900, U, U, L, L, L, L}, 6, 2900, true, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(threshold_ok(c.th, c.k, c.v, -1000000, 1000000, c.analog), c.ok) << "k " << c.k << " v " << c.v;
    EXPECT_FALSE(threshold_ok(base, 0, -1, 0, 10000, false));
}

TEST(SnmpRules, VlxaPairsMoveTogether)
{
    constexpr int U = SETTINGS_TABLE::THRESHOLD_OFF_MAX;
    struct {
        std::array<int, 8> before;
        int k, v;
        bool ok;
        std::array<int, 8> after;
    } cases[] = {
        {{U, U, U, U, U, U, U, U}, 0, 3000, true, {3000, 3000, U, U, U, U, U, U}},
        {{3000, 2900, U, U, U, U, U, U}, 0, U, true, {U, U, U, U, U, U, U, U}},
        {{3000, 2900, U, U, U, U, U, U}, 1, U, true, {U, U, U, U, U, U, U, U}},
        {{3000, 2900, U, U, U, U, U, U}, 0, 2800, false, {3000, 2900, U, U, U, U, U, U}},
        {{3000, 2900, U, U, U, U, U, U}, 0, 3100, true, {3100, 2900, U, U, U, U, U, U}},
        {{3000, 2900, U, U, U, U, U, U}, 1, 2950, true, {3000, 2950, U, U, U, U, U, U}},
        {{3000, 2900, U, U, U, U, U, U}, 1, 2800, false, {3000, 2900, U, U, U, U, U, U}},  // an upper clear only rises
        {{3000, 2900, U, U, U, U, U, U}, 1, 3100, false, {3000, 2900, U, U, U, U, U, U}},
        {{U, U, U, U, 1000, 1100, U, U}, 4, 1200, false, {U, U, U, U, 1000, 1100, U, U}},
        {{U, U, U, U, 1000, 1100, U, U}, 5, 1050, true, {U, U, U, U, 1000, 1050, U, U}},
        {{U, U, U, U, U, U, U, U}, 7, 400, true, {U, U, U, U, U, U, 400, 400}},
        {{U, U, U, U, U, U, U, U}, 2, 10001, false, {U, U, U, U, U, U, U, U}},
        {{U, U, U, U, U, U, U, U}, 2, -1, false, {U, U, U, U, U, U, U, U}},
    };
    for (const auto& c : cases) {
        std::array<int, 8> th = c.before;
        EXPECT_EQ(vlxa_threshold_apply(th.data(), c.k, c.v), c.ok) << "k " << c.k << " v " << c.v;
        EXPECT_EQ(th, c.after) << "k " << c.k << " v " << c.v;
    }
}

TEST(SnmpRules, StatusCodesMapForManagers)
{
    const int want[] = {5, 1, 2, 3, 4, 3, 2, 2, 3, 0};
    for (int code = 0; code <= 9; ++code) EXPECT_EQ(STATE::shown(code), want[code]) << code;
    EXPECT_EQ(STATE::shown(-1), 0);
}

TEST_F(SnmpMibTest, SetsFollowTheColumnRulesAndQueueTheirSection)
{
    auto& ss = sensor_settings;
    ss.onewire_temperature[0].alert_max_clear = 600;
    ss.onewire_temperature[0].alert_max_val = 700;
    ss.onewire_temperature[1].enable = true;
    ss.onewire_humidity[0].enable = false;
    ss.kvt_nx40[0].enable = true;
    ss.analog[0].range = 1;
    ss.analog[0].input_min = 400;
    ss.analog[0].input_max = 2000;
    for (auto* v : {&ss.veloxa[0].t_alert_max_val, &ss.veloxa[0].t_alert_max_clear}) *v = OFF_MAX;
    const std::string name31(31, 'n'), name30(30, 'n');
    struct Case {
        const char* name;
        int vt, i;
        const char* s;
        int res;             // SNMPv2c
        int v1;              // SNMPv1 error-status (RFC 1157); 0: a success, not repeated in SNMPv1
        const char* queued;  // "" when nothing may be queued
    } cases[] = {
        {"2.3.3.1", BER::INTEGER, 500, "", RESP::INCONSISTENT_VALUE, RESP::BAD_VALUE, ""},
        {"2.3.3.1", BER::INTEGER, 2147483647, "", RESP::INTEGER, 0, "15,0,"},
        {"2.3.3.1", BER::OCTET_STRING, 0, "700", RESP::WRONG_TYPE, RESP::BAD_VALUE, ""},
        {"2.3.3.1", BER::GAUGE32, 700, "", RESP::WRONG_TYPE, RESP::BAD_VALUE, ""},
        {"2.1.1.1", BER::OCTET_STRING, 0, "Door", RESP::OCTETS, 0, "1,0,"},
        {"2.1.1.9", BER::OCTET_STRING, 0, "Siren", RESP::OCTETS, 0, "2,0,"},
        {"2.1.1.2", BER::OCTET_STRING, 0, "a:b", RESP::WRONG_VALUE, RESP::BAD_VALUE, ""},
        {"2.1.1.2", BER::OCTET_STRING, 0, "", RESP::WRONG_LENGTH, RESP::BAD_VALUE, ""},
        {"2.1.1.2", BER::INTEGER, 5, "", RESP::WRONG_TYPE, RESP::BAD_VALUE, ""},
        {"2.1.1.2", BER::OCTET_STRING, 0, name31.c_str(), RESP::OCTETS, 0, "1,1,"},
        {"2.1.3.2", BER::OCTET_STRING, 0, name31.c_str(), RESP::WRONG_LENGTH, RESP::BAD_VALUE, ""},  // ontext holds 30
        {"2.1.3.2", BER::OCTET_STRING, 0, name30.c_str(), RESP::OCTETS, 0, "1,1,"},
        {"2.1.2.3", BER::INTEGER, 3601, "", RESP::WRONG_VALUE, RESP::BAD_VALUE, ""},
        {"2.1.2.3", BER::INTEGER, 3600, "", RESP::INTEGER, 0, "1,2,"},
        {"2.1.10.16", BER::INTEGER, 6, "", RESP::WRONG_VALUE, RESP::BAD_VALUE, ""},
        {"2.1.10.16", BER::INTEGER, 5, "", RESP::INTEGER, 0, "2,7,"},
        {"2.1.14.1", BER::INTEGER, 1, "", RESP::NOT_WRITABLE, RESP::READ_ONLY, ""},
        {"2.1.12.1", BER::INTEGER, 1, "", RESP::NOT_WRITABLE, RESP::READ_ONLY, ""},
        {"2.2.19.1", BER::INTEGER, 0, "", RESP::INCONSISTENT_VALUE, RESP::BAD_VALUE, ""},  // range 0 only on a current input
        {"2.2.19.1", BER::INTEGER, 3, "", RESP::INTEGER, 0, "10,0,"},
        {"2.2.4.1", BER::INTEGER, 2001, "", RESP::INCONSISTENT_VALUE, RESP::BAD_VALUE, ""},
        {"2.2.3.1", BER::INTEGER, 399, "", RESP::INCONSISTENT_VALUE, RESP::BAD_VALUE, ""},
        {"2.2.16.1", BER::OCTET_STRING, 0, "", RESP::OCTETS, 0, "10,0,"},
        {"2.2.16.1", BER::OCTET_STRING, 0, "12345678901234567", RESP::WRONG_LENGTH, RESP::BAD_VALUE, ""},
        {"2.2.20.1", BER::INTEGER, 1, "", RESP::NOT_WRITABLE, RESP::READ_ONLY, ""},
        {"2.3.11.2", BER::OCTET_STRING, 0, "28ff00a1B2c3D4e5", RESP::OCTETS, 0, "15,1,"},
        {"2.3.11.2", BER::OCTET_STRING, 0, "28ff00a1B2c3D4e", RESP::WRONG_LENGTH, RESP::BAD_VALUE, ""},
        {"2.3.11.2", BER::OCTET_STRING, 0, "28ff00a1B2c3D4-5", RESP::WRONG_VALUE, RESP::BAD_VALUE, ""},
        {"2.3.11.2", BER::OCTET_STRING, 0, "", RESP::INCONSISTENT_VALUE, RESP::BAD_VALUE, ""},  // still enabled
        {"2.4.11.1", BER::OCTET_STRING, 0, "", RESP::OCTETS, 0, "16,0,"},
        {"2.4.15.1", BER::INTEGER, 77, "", RESP::INTEGER, 0, "16,0,"},
        {"2.3.15.1", BER::INTEGER, 6, "", RESP::WRONG_VALUE, RESP::BAD_VALUE, ""},
        {"2.4.3.1", BER::INTEGER, 10001, "", RESP::WRONG_VALUE, RESP::BAD_VALUE, ""},
        {"2.5.5.1", BER::INTEGER, 3000, "", RESP::INTEGER, 0, "20,0,"},
        {"2.5.1.3", BER::INTEGER, 1, "", RESP::INTEGER, 0, "29,1,"},
        {"2.6.1.3", BER::INTEGER, 2, "", RESP::WRONG_VALUE, RESP::BAD_VALUE, ""},
        {"2.5.1.6", BER::INTEGER, 1, "", RESP::NOT_WRITABLE, RESP::READ_ONLY, ""},
        {"2.5.13.1", BER::OCTET_STRING, 0, "0123456789ABCDEF", RESP::OCTETS, 0, "20,0,"},
        {"2.5.13.1", BER::OCTET_STRING, 0, "", RESP::WRONG_LENGTH, RESP::BAD_VALUE, ""},
        {"2.7.1.2", BER::INTEGER, 300, "", RESP::INTEGER, 0, "28,1,"},
        {"2.7.1.1", BER::INTEGER, 300, "", RESP::NO_CREATION, RESP::NO_SUCH_NAME, ""},
        {"2.7.12.1", BER::OCTET_STRING, 0, "00:11:22:33:44:55:66:7f", RESP::OCTETS, 0, "25,0,"},
        {"2.7.12.1", BER::OCTET_STRING, 0, "00:11:22:33:44:55:66:7g", RESP::WRONG_VALUE, RESP::BAD_VALUE, ""},
        {"2.7.4.3", BER::INTEGER, 5000, "", RESP::INTEGER, 0, "25,2,"},
        {"2.8.2.1", BER::INTEGER, 0, "", RESP::WRONG_VALUE, RESP::BAD_VALUE, ""},
        {"2.8.2.5", BER::INTEGER, 1440, "", RESP::INTEGER, 0, "30,5,"},
        {"2.8.3.5", BER::INTEGER, 100, "", RESP::WRONG_VALUE, RESP::BAD_VALUE, ""},
        {"2.1.8.12", BER::INTEGER, static_cast<int>(0x81000302u), "", RESP::INTEGER, 0, "2,3,"},
        {"1.1.1", BER::OCTET_STRING, 0, "9.9", RESP::NOT_WRITABLE, RESP::READ_ONLY, ""},
        {"1.3.6.1.2.1.1.5.0", BER::OCTET_STRING, 0, "x", RESP::NOT_WRITABLE, RESP::READ_ONLY, ""},
        {"2.20", BER::INTEGER, 1, "", RESP::NOT_WRITABLE, RESP::READ_ONLY, ""},
        {"2.1.16.1", BER::INTEGER, 1, "", RESP::NOT_WRITABLE, RESP::NO_SUCH_NAME, ""},
        {"2.1.2.9", BER::INTEGER, 1, "", RESP::NO_CREATION, RESP::NO_SUCH_NAME, ""},
    };
    for (const auto& c : cases) {
        if (c.v1) {
            EXPECT_EQ(ask(BER::SET, c.name, c.vt, c.i, c.s, 0).res, c.v1) << c.name << " SNMPv1";
        }
        Answer a = ask(BER::SET, c.name, c.vt, c.i, c.s);
        EXPECT_EQ(a.res, c.res) << c.name << " " << c.i << " '" << c.s << "'";
        std::vector<std::string> q = drain(db_save);
        EXPECT_EQ(q, std::string(c.queued).empty() ? std::vector<std::string>{} : std::vector<std::string>{c.queued})
            << c.name << " " << c.i << " '" << c.s << "'";
        if (a.res == RESP::INTEGER) {
            EXPECT_EQ(a.i, c.i) << "echo of " << c.name;
        }
        if (a.res == RESP::OCTETS) {
            EXPECT_EQ(a.s, c.s) << "echo of " << c.name;
        }
    }
    // What the accepted SETs wrote.
    EXPECT_EQ(ss.onewire_temperature[0].alert_max_val, OFF_MAX);
    EXPECT_TRUE(ss.onewire_temperature[0].changeflg);
    EXPECT_STREQ(ss.digitalI[0].name, "Door");
    EXPECT_STREQ(ss.digitalO[0].name, "Siren");
    EXPECT_EQ(ss.analog[0].range, 3);
    EXPECT_EQ(ss.veloxa[0].t_alert_max_val, 3000);
    EXPECT_EQ(ss.veloxa[0].t_alert_max_clear, 3000);
    EXPECT_EQ(ss.smartMesh_cycle[1].cycle_minutes, 1);
    EXPECT_EQ(get("2.5.1.4").i, 1);
    EXPECT_EQ(get("2.5.1.50").i, 0);
    EXPECT_EQ(ss.battery[1].alert, 300);
    EXPECT_EQ(ss.trend[5].minutes, 1440);
    const auto& o = ss.digitalO[3];
    EXPECT_EQ(o.ontype, 2);
    EXPECT_EQ(o.onsensor, 3);
    EXPECT_EQ(o.onstate, 1);
    EXPECT_EQ(o.onenable, 1);
    EXPECT_EQ(static_cast<unsigned>(get("2.1.8.12").i), 0x81000302u);
}

TEST_F(SnmpMibTest, LiveColumnsReadTheSharedTables)
{
    live().onewire_temperature[4] = {2350, STATE::UPPER_CAUTION};
    live().onewire_humidity[0] = {65535, STATE::ERROR};
    live().analog[7] = {1234, STATE::ERROR};
    live().kvt_nx40[9].sensor_battery.status = STATE::LOWER_ALERT;
    live().veloxa[2].sensor_battery.status = STATE::LOWER_ALERT;
    monitor->trend_per->kvt_nx40[9].con = 1;
    for (int p = 0; p < 16; ++p) live().digitalio[p].value = p % 2;
    struct {
        const char* name;
        int want;
    } cases[] = {{"2.3.12.5", 2350}, {"2.3.13.5", 2}, {"2.3.14.5", 1}, {"2.4.14.1", 0}, {"2.4.13.2", 5},
                 {"2.2.20.8", 1234}, {"2.2.22.8", 1}, {"2.2.22.1", 0},  {"2.7.16.10", 3}, {"2.7.15.10", 1},
                 {"2.6.17.3", STATE::LOWER_ALERT}, {"2.1.12.2", 1}, {"2.1.13.9", 0}};
    for (const auto& c : cases) EXPECT_EQ(get(c.name).i, c.want) << c.name;
    EXPECT_EQ(get("2.1.15").s, "0101010101010101");
}

TEST_F(SnmpMibTest, RelaySetsSwitchTheBoardAndQueueNothing)
{
    EXPECT_EQ(set_int("2.1.12.9", 1).res, RESP::INTEGER);
    EXPECT_EQ(relay_line(0), 1);
    EXPECT_EQ(set_int("2.1.12.9", 1).res, RESP::INCONSISTENT_VALUE) << "already on";
    EXPECT_EQ(set_int("2.1.12.9", 2).res, RESP::WRONG_VALUE);
    EXPECT_EQ(set_int("2.1.12.9", 0).res, RESP::INTEGER);
    EXPECT_EQ(relay_line(0), 0);
    EXPECT_EQ(set_int("2.1.12.9", 0).res, RESP::INCONSISTENT_VALUE) << "already off";

    // Character 9 chooses the action; outputs marked 0 keep their level there.
    struct {
        const char* text;
        int start[8];
        int want[8];
    } cases[] = {
        {"110000000", {0, 0, 1, 1, 0, 0, 0, 0}, {1, 1, 1, 1, 0, 0, 0, 0}},
        {"110000001", {1, 0, 1, 1, 0, 0, 0, 0}, {0, 0, 1, 1, 0, 0, 0, 0}},
        {"11xx00003", {1, 0, 1, 1, 0, 0, 0, 0}, {0, 1, 1, 1, 0, 0, 0, 0}},
        {"10x1", {0, 1, 1, 0, 1, 1, 1, 1}, {1, 0, 1, 1, 1, 1, 1, 1}},
        {"", {1, 0, 1, 0, 1, 0, 1, 0}, {1, 0, 1, 0, 1, 0, 1, 0}},
    };
    for (const auto& c : cases) {
        for (int k = 0; k < 8; ++k) do_ctl(k, c.start[k]);
        Answer a = set_str("2.1.15", c.text);
        EXPECT_EQ(a.res, RESP::OCTETS) << c.text;
        EXPECT_EQ(a.s, c.text);
        for (int k = 0; k < 8; ++k) EXPECT_EQ(relay_line(k), c.want[k]) << "'" << c.text << "' output " << k + 1;
    }
    EXPECT_EQ(set_int("2.1.15", 1).res, RESP::WRONG_TYPE);

    // A pulse runs beside the agent: the answer comes at once.
    do_ctl(1, 0);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(set_int("2.1.13.10", 0).res, RESP::INTEGER);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(deadline_ms(300)));
    EXPECT_TRUE(wait_until([&] { return relay_line(1) == 1; }, 1000));
    EXPECT_EQ(set_int("2.1.13.10", 0).res, RESP::INCONSISTENT_VALUE) << "a second pulse while one runs";
    EXPECT_EQ(set_int("2.1.12.10", 0).res, RESP::INCONSISTENT_VALUE) << "a level while a pulse runs";
    EXPECT_EQ(set_int("2.1.13.11", 10).res, RESP::WRONG_VALUE);
    EXPECT_EQ(set_int("2.1.13.1", 0).res, RESP::NOT_WRITABLE);
    EXPECT_TRUE(wait_until([&] { return relay_line(1) == 0 && !snmp_pulse_running(1); }, 3000));
    EXPECT_TRUE(db_save.empty());
}

// A SET of several bindings is checked whole before anything changes; each
// binding sees the values of the ones before it; one message per record.
TEST_F(SnmpMibTest, SetOfSeveralBindingsIsAllOrNothing)
{
    auto& t = sensor_settings.onewire_temperature[0];
    struct B {
        const char* name;
        int vt, i;
        const char* s;
    };
    struct Case {
        const char* what;
        std::vector<B> bindings;
        int version, res, index;
        std::vector<std::string> queued;
    } cases[] = {
        {"clear lowered, then the value below the old clear",
         {{"2.3.4.1", BER::INTEGER, 400, ""}, {"2.3.3.1", BER::INTEGER, 450, ""}}, 1, 0, 0, {"15,0,"}},
        {"the value below the clear that is only lowered after it",
         {{"2.3.3.1", BER::INTEGER, 350, ""}, {"2.3.4.1", BER::INTEGER, 300, ""}}, 1, RESP::INCONSISTENT_VALUE, 1, {}},
        {"a valid name and an invalid threshold",
         {{"2.3.1.1", BER::OCTET_STRING, 0, "Rack"}, {"2.3.5.1", BER::INTEGER, 1000001, ""}}, 1, RESP::WRONG_VALUE, 2, {}},
        {"the same in SNMPv1",
         {{"2.3.1.1", BER::OCTET_STRING, 0, "Rack"}, {"2.3.5.1", BER::INTEGER, 1000001, ""}}, 0, RESP::BAD_VALUE, 2, {}},
        {"a Gauge32 for an INTEGER", {{"2.3.1.1", BER::OCTET_STRING, 0, "Rack"}, {"2.3.5.1", BER::GAUGE32, 5, ""}}, 1,
         RESP::WRONG_TYPE, 2, {}},
        {"a read-only object third", {{"2.3.1.2", BER::OCTET_STRING, 0, "A"}, {"2.8.1.1", BER::INTEGER, 1, ""},
                                      {"2.3.12.1", BER::INTEGER, 1, ""}}, 1, RESP::NOT_WRITABLE, 3, {}},
        {"one relay switched twice", {{"2.1.12.9", BER::INTEGER, 1, ""}, {"2.1.13.9", BER::INTEGER, 0, ""}}, 1,
         RESP::INCONSISTENT_VALUE, 2, {}},
        {"two records, one of them twice",
         {{"2.3.1.2", BER::OCTET_STRING, 0, "A"}, {"2.8.1.1", BER::INTEGER, 1, ""}, {"2.3.2.2", BER::INTEGER, 0, ""}},
         1, 0, 0, {"15,1,", "30,1,"}},
    };
    for (const auto& c : cases) {
        t.alert_max_val = 700;
        t.alert_max_clear = 600;
        copy_text(t.name, "Probe");
        copy_text(sensor_settings.onewire_temperature[1].name, "Base");
        std::vector<std::string> names;
        for (const auto& x : c.bindings) names.push_back(full(x.name));
        std::vector<Set_binding> b;
        for (size_t k = 0; k < names.size(); ++k) {
            const B& x = c.bindings[k];
            b.push_back({names[k].c_str(), x.vt, x.i, true, x.s, static_cast<int>(std::strlen(x.s))});
        }
        int index = -1;
        EXPECT_EQ(snmp_set(b.data(), static_cast<int>(b.size()), c.version, index), c.res) << c.what;
        EXPECT_EQ(index, c.index) << c.what;
        EXPECT_EQ(drain(db_save), c.queued) << c.what;
        if (c.res != 0) {
            EXPECT_EQ(t.alert_max_val, 700) << c.what;
            EXPECT_EQ(t.alert_max_clear, 600) << c.what;
            EXPECT_STREQ(t.name, "Probe") << c.what;
            EXPECT_STREQ(sensor_settings.onewire_temperature[1].name, "Base") << c.what;
            EXPECT_EQ(relay_line(0), 0) << c.what;
        }
    }
    EXPECT_EQ(sensor_settings.trend[1].enable, 1);
    EXPECT_STREQ(sensor_settings.onewire_temperature[1].name, "A");
}

// Secrets are in the tree but read back empty; the log cycles are entries 1,
// 0, then 2 to 7.
TEST_F(SnmpMibTest, SecretsReadEmptyAndLogCyclesReadTheirEntries)
{
    auto& a = admin_settings;
    copy_text(a.snmp[2].community, "s3cret");
    copy_text(a.snmp_trap[7].community, "trapc");
    copy_text(a.mqtt.pwd, "mqttpw");
    copy_text(a.mail.mail_password, "mailpw");
    for (const char* name : {"1.3.3.2", "1.4.8.2", "1.6.5", "1.7.4"}) {
        Answer r = get(name);
        EXPECT_EQ(r.res, RESP::OCTETS) << name;
        EXPECT_EQ(r.s, "") << name;
    }
    for (int k = 0; k < 14; ++k) a.sensor_log_cycle[k].cycle_minutes = 100 + k;
    const int want[] = {101, 100, 102, 103, 104, 105, 106, 107};
    for (int n = 1; n <= 8; ++n) EXPECT_EQ(get("1.10." + std::to_string(n)).i, want[n - 1]) << "1.10." << n;
}

TEST(SnmpRules, RejectedDatagramsAreLoggedOncePerSenderAndReasonAMinute)
{
    Reject_limiter lim;
    struct Step {
        const char* addr;
        int reason;
        long t;
        bool logged;
    } steps[] = {
        {"10.0.0.1", 5, 0, true},   {"10.0.0.1", 5, 1, false}, {"10.0.0.1", 5, 59, false},
        {"10.0.0.1", 1, 30, true},  {"10.0.0.2", 5, 30, true}, {"10.0.0.2", 5, 31, false},
    };
    for (const auto& s : steps) EXPECT_EQ(lim.admit(s.addr, s.reason, s.t), s.logged) << s.addr << " at " << s.t;
    EXPECT_TRUE(lim.due(59).empty());
    auto due = lim.due(60);
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].addr, "10.0.0.1");
    EXPECT_EQ(due[0].reason, 5);
    EXPECT_EQ(due[0].count, 2);
    EXPECT_TRUE(lim.admit("10.0.0.1", 5, 61));
    // More senders than slots: the rest share one line a minute.
    Reject_limiter many;
    int logged = 0;
    for (int i = 0; i < 200; ++i) logged += many.admit(("10.1.0." + std::to_string(i)).c_str(), 5, 0) ? 1 : 0;
    EXPECT_EQ(logged, Reject_limiter::SLOTS + 1);
}
