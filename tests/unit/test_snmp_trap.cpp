// Traps: the packed word, trap numbers, state mapping and scenario scan;
// what the builders refuse; and whole messages of trap_que sent to
// snmptrapd, whose decoding of every trap is checked.
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "codes.h"
#include "snmp.h"
#include "event_fixture.h"
#include "trap_receiver.h"

namespace {

const std::string ROOT = "1.3.6.1.4.1.58213.22";

void receiver(int d, const char* to, const char* community, int version)
{
    auto& r = admin_settings.snmp_trap[d];
    copy_text(r.sendto, to);
    copy_text(r.community, community);
    r.version = version;
    r.enable = true;
}

void scenario(int entry, int type, int sensor, int bits, bool enable = true)
{
    auto& s = admin_settings.snmp_trap_scenario[entry];
    s.sensortype = type, s.sensor = sensor, s.state = bits, s.enable = enable;
}

class TrapTest : public EventsTest {
protected:
    void SetUp() override
    {
        EventsTest::SetUp();
        monitor->requestflg->is_7400 = 1;
        oid_change();
        trap_senario_reset();
    }
    void TearDown() override
    {
        unsetenv("KVT_TRAP_PORT");
        EventsTest::TearDown();
    }
    // snmptrapd in the sandbox, accepting the test communities; traps go to it.
    TrapReceiver& trapd()
    {
        if (!rx) {
            const std::string dir = sb.root() + "/trapd";
            mkdir(dir.c_str(), 0755);
            rx = std::make_unique<TrapReceiver>(dir, std::vector<std::string>{"pub", "pubv2", "mark"});
            setenv("KVT_TRAP_PORT", std::to_string(rx->port()).c_str(), 1);
            EXPECT_TRUE(rx->ready(10000)) << rx->log();
        }
        return *rx;
    }
    // Sends a trap the tests know, so that everything sent before it has
    // arrived once it has: no trap can be missed by waiting too short.
    std::vector<ReceivedTrap> traps_before_marker()
    {
        trapd();
        const std::string oid = ROOT + ".9.9";
        unsigned char date[11];
        get_date_string(date);
        EXPECT_EQ(create_trapV2("mark", oid.c_str(), oid.c_str(), 0, date, "127.0.0.1", 0, 0, nullptr), 0);
        ++markers_;
        auto markers_in = [](const std::vector<ReceivedTrap>& all) {
            int n = 0;
            for (const auto& t : all) n += t.community == "mark";
            return n;
        };
        std::vector<ReceivedTrap> all;
        EXPECT_TRUE(wait_until([&] { return markers_in(all = rx->traps()) >= markers_; }, 5000)) << rx->log();
        // The traps between the previous marker and this one.
        std::vector<ReceivedTrap> out;
        int seen = 0;
        for (const auto& t : all) {
            if (t.community == "mark") {
                if (++seen == markers_) break;
                out.clear();
                continue;
            }
            out.push_back(t);
        }
        return out;
    }
    std::string applog() const { return sb.read("/log/app_log/applog1.txt"); }

    std::unique_ptr<TrapReceiver> rx;
    int markers_ = 0;
};

int occurrences(const std::string& hay, const std::string& needle)
{
    int n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + needle.size())) ++n;
    return n;
}

std::string hex_date_now()
{
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02X %02X", (t.tm_year + 1900) >> 8, (t.tm_year + 1900) & 0xFF);
    return buf;
}

// The date binding snmptrapd shows: 11 octets, this year, zone +9:00.
void expect_date(const ReceivedTrap& t)
{
    const std::string v = t.value("1.3.6.1.2.1.25.1.2.0");
    ASSERT_EQ(v.rfind("Hex-STRING: ", 0), 0u) << v;
    const std::string octets = v.substr(12);
    EXPECT_EQ(octets.size(), 11u * 3 - 1) << v;
    EXPECT_EQ(octets.substr(0, 5), hex_date_now()) << v;
    EXPECT_EQ(octets.substr(octets.size() - 8), "2B 09 00") << v;
    EXPECT_EQ(t.varbinds.back().first, "1.3.6.1.2.1.25.1.2.0") << "the date comes last";
}

}  // namespace

TEST(TrapRules, PackedWordAndTrapNumberFollowTheirTables)
{
    struct {
        int kind, port, word;
    } words[] = {
        {1, 3, (3 << 25) + 4},
        {1, 16, (16 << 25) + 4},
        {2, 8, (8 << 25) + 16},
        {3, 64, static_cast<int>(0x80000000u | 28)},  // bit 31: a negative INTEGER
        {3, 65, (1 << 25) | 28 | 1},
        {3, 70, (6 << 25) | 28 | 1},                  // second 1-Wire channel
        {4, 8, (8 << 25) | 32},
        {4, 9, (1 << 25) | 32 | 1},
        {5, 50, (50 << 25) | 76}, {6, 1, (1 << 25) | 80}, {7, 2, (2 << 25) | 84},
        {8, 100, (100 << 25) | 88}, {9, 129, (1 << 25) | 92},  // port bits are 7 wide
        {10, 1, 1 << 25}, {0, 0, 0},
    };
    for (const auto& w : words) EXPECT_EQ(trap_packed_word(w.kind, w.port), w.word) << w.kind << "/" << w.port;

    struct {
        int kind, level, state, prev, n;
    } numbers[] = {
        {1, 0, 1, 1, 5}, {1, 1, 3, 3, 6}, {1, 2, 1, 1, -1},
        {3, 0, 6, 1, 1}, {4, 0, 7, 1, 1}, {5, 0, 5, 6, 2}, {8, 0, 8, 1, 2}, {9, 0, 4, 1, 7},
        {2, 0, 1, 6, 3}, {2, 0, 1, 5, 4}, {2, 0, 1, 0, 8}, {2, 0, 1, 4, 8},
        {2, 0, 1, 1, -1}, {2, 0, 0, 1, -1}, {2, 0, 9, 1, -1}, {2, 0, 1, 9, -1},
    };
    for (const auto& c : numbers)
        EXPECT_EQ(complement_trap_number(c.kind, c.level, c.state, c.prev), c.n)
            << c.kind << " level " << c.level << " " << c.prev << "->" << c.state;
}

TEST(TrapRules, StateMappingAndScenarioEventBits)
{
    const int mapped[][2] = {{0, 4}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 3}, {6, 2}, {7, 2}, {8, 3}, {9, 4}, {-1, 4}};
    for (const auto& m : mapped) EXPECT_EQ(trap_mapped_state(m[0]), m[1]) << m[0];

    using namespace EVENT;
    struct {
        int type, state;
        double value;
        int flg, bits;
    } events[] = {
        {1, 3, 1.0, 1, ON}, {1, 1, 0.5, 1, OFF},  // the monitor's texts: level only
        {1, 2, 0.0, 0, OFF | CAUTION}, {1, 4, 1.0, 0, ON | NONE}, {1, 5, 1.0, 0, ON},
        {2, 0, 0, 0, NONE}, {2, 1, 0, 0, NORMAL}, {2, 3, 0, 0, ALERT},
        {3, 6, 0, 0, ALERT}, {3, 7, 0, 0, CAUTION}, {3, 9, 0, 0, 0},  // by side, not by severity
    };
    for (const auto& e : events)
        EXPECT_EQ(trap_event_bits(e.type, e.state, e.value, e.flg), e.bits) << e.type << " state " << e.state;
}

TEST_F(TrapTest, ScenarioScanYieldsEveryMatchInEntryOrderThenEnds)
{
    scenario(0, 3, 1, EVENT::ALERT);           // every port of kind 3
    scenario(5, 3, 71, EVENT::ALERT);          // port 70 only
    scenario(6, 3, 72, EVENT::ALERT);          // port 71: no
    scenario(7, 3, 71, EVENT::CAUTION);        // other event: no
    scenario(8, 3, 71, EVENT::ALERT, false);   // disabled: no
    scenario(9, 2, 71, EVENT::ALERT);          // other kind: no
    scenario(30, 3, 71, EVENT::ALERT | EVENT::NORMAL);  // receiver 1
    scenario(191, 3, 1, EVENT::ALERT);         // last entry, receiver 7
    scenario(192, 3, 1, EVENT::ALERT);         // beyond the scan
    std::vector<int> got;
    for (int d; (d = trap_senario_check(3, 70, 5, 3050, 0)) != -1;) got.push_back(d);
    EXPECT_EQ(got, (std::vector<int>{0, 0, 1, 7}));
    EXPECT_EQ(trap_senario_check(3, 70, 5, 3050, 0), -1) << "exhausted until reset";
    trap_senario_reset();
    EXPECT_EQ(trap_senario_check(3, 5, 6, 0, 0), 0);
    EXPECT_EQ(trap_senario_check(3, 5, 6, 0, 0), 7) << "port 5 matches only the every-port entries";
}

TEST(TrapRules, MessagesTakeSixFieldsOfAtMost255Characters)
{
    Trap_message m = parse_trap_message("3,70,5,30.75,0,1,99,");
    EXPECT_STREQ(m.text[3], "30.75");
    EXPECT_EQ(m.level, 30);
    EXPECT_EQ(m.prev, 1);
    EXPECT_STREQ(parse_trap_message("2,1").text[5], "0");

    const std::string long_port(400, '7');
    m = parse_trap_message(("1," + long_port + ",,1e300,x,").c_str());
    EXPECT_EQ(std::string(m.text[1]), long_port.substr(0, 255));
    EXPECT_EQ(m.port, 2147483647);
    EXPECT_STREQ(m.text[2], "0");
    EXPECT_EQ(m.level, 2147483647) << "a huge value clamps";
    EXPECT_EQ(m.flg, 0);
    EXPECT_EQ(parse_trap_message("2,1,1,-0.5,0,1,").level, 0);
    EXPECT_EQ(parse_trap_message(nullptr).type, 0);

    // Names that do not fit are refused, not cut into other names.
    Trap_Expansion_Varbinds tev;
    EXPECT_FALSE(fill_expansion(m, oid_head_7400, tev));
}

// What the builders write is decoded by snmptrapd in the cases below.
TEST(TrapRules, BuildersRefuseWhatTheyCannotEncode)
{
    const unsigned char date[11] = {0x07, 0xE9, 3, 4, 5, 6, 7, 0, '+', 9, 0};
    unsigned char out[SNMP_BUF_SIZE];
    const std::string systraps = ROOT + ".3.3.2", trapinfo = ROOT + ".3.4";
    EXPECT_EQ(build_trapV1(out, "p", "1.3.x", trapinfo.c_str(), 1, date, 0, 0, 0, 6, nullptr), 0);
    EXPECT_EQ(build_trapV2(out, "p", systraps.c_str(), "", 1, date, 0, 0, nullptr), 0);
    EXPECT_EQ(build_trapV1(out, "p", systraps.c_str(), trapinfo.c_str(), 1, date, 0, 0, 256, 6, nullptr), 0);
    EXPECT_EQ(build_trapV1(out, "p", systraps.c_str(), trapinfo.c_str(), 1, date, 0, 0, 0, 256, nullptr), 0);
    EXPECT_GT(build_trapV1(out, "p", systraps.c_str(), trapinfo.c_str(), 1, date, 0, 0, 255, 255, nullptr), 0);
}

TEST_F(TrapTest, DigitalChangeWithoutScenariosSendsOnlyTheComplementTrapWithItsPackedWord)
{
    receiver(0, "127.0.0.1", "pub", 0);
    trapd();
    trap_process_message("1,3,1,1,0,0,");
    std::vector<ReceivedTrap> t = traps_before_marker();
    ASSERT_EQ(t.size(), 1u);
    // The agent address is eth0 of the sandbox's ifconfig answer.
    EXPECT_EQ(fields(t[0].version, t[0].community, t[0].enterprise, t[0].generic, t[0].specific, t[0].time_stamp,
                     t[0].agent),
              "v1|pub|" + ROOT + ".3.3.6|6|0|0|192.168.1.200");
    ASSERT_EQ(t[0].varbinds.size(), 2u);
    EXPECT_EQ(t[0].value(ROOT + ".3.4"), "INTEGER: " + std::to_string((3 << 25) + 4));
    expect_date(t[0]);
    EXPECT_NE(applog().find("complementSysTraps send:127.0.0.1/1/0/" + ROOT + ".3.3.6/100663300"),
              std::string::npos);
    EXPECT_EQ(applog().find("trapExpansionVarbind"), std::string::npos);

    // Without an eth0 address the agent address is 0.0.0.0; the KVT-6100
    // sends under its own root; bit 31 of the word makes it negative.
    sb.write("/sim/answers/ifconfig", "lo        Link encap:Local Loopback\n          inet addr:127.0.0.1\n");
    monitor->requestflg->is_7400 = 0;
    oid_change();
    trap_process_message("3,64,2,1,0,1,");
    t = traps_before_marker();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].agent, "0.0.0.0");
    EXPECT_EQ(t[0].enterprise, "1.3.6.1.4.1.58213.23.3.3.1");
    EXPECT_EQ(t[0].value("1.3.6.1.4.1.58213.23.3.4"), "INTEGER: " + std::to_string(INT32_MIN + 28));
}

TEST_F(TrapTest, MatchingScenariosSendOneExpansionTrapEachAndTheComplementTrapAsV2c)
{
    receiver(0, "127.0.0.1", "pubv2", 1);
    scenario(0, 3, 1, EVENT::ALERT);   // every 1-Wire temperature probe
    scenario(1, 3, 71, EVENT::ALERT);  // probe 70
    trapd();
    trap_process_message("3,70,5,3050,0,1,");
    std::vector<ReceivedTrap> t = traps_before_marker();
    ASSERT_EQ(t.size(), 3u);
    using Binding = std::pair<std::string, std::string>;
    const std::vector<Binding> bindings = {{"1.3.6.1.2.1.1.3.0", "Timeticks: (0) 0:00:00.00"},
                                           {"1.3.6.1.6.3.1.1.4.1.0", "OID: ." + ROOT + ".3.5.3"},
                                           {ROOT + ".3.5.3.1.70", "INTEGER: 70"},
                                           {ROOT + ".3.5.3.2.3", "INTEGER: 3"},
                                           {ROOT + ".3.5.3.3.70", "INTEGER: 3050"}};
    for (int i : {0, 1}) {
        EXPECT_EQ(fields(t[i].version, t[i].community), "v2c|pubv2");
        ASSERT_EQ(t[i].varbinds.size(), 6u);
        EXPECT_EQ(std::vector<Binding>(t[i].varbinds.begin(), t[i].varbinds.end() - 1), bindings) << "in this order";
        expect_date(t[i]);
    }
    EXPECT_EQ(t[2].trap_oid(), ROOT + ".3.3.2");
    EXPECT_EQ(t[2].value(ROOT + ".3.4"), "INTEGER: " + std::to_string((6 << 25) | 28 | 1)) << "second channel";
    const std::string line = "trapExpansionVarbind send:127.0.0.1/1/1/" + ROOT + ".3.5.3.1.70/3050";
    EXPECT_EQ(occurrences(applog(), line), 2);
    EXPECT_EQ(trap_senario_pos(), 0);

    // Easing from alert into caution on the same side is no announcement:
    // the complement trap alone.
    trap_process_message("3,70,6,2950,0,5,");
    t = traps_before_marker();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].trap_oid(), ROOT + ".3.3.1");
}

TEST_F(TrapTest, NormalToNormalSendsNoComplementTrapAndBrokenMessagesAreHarmless)
{
    receiver(0, "127.0.0.1", "pub", 0);
    receiver(3, "127.0.0.1", "pubv2", 1);
    scenario(3 * 24, 2, 1, EVENT::NORMAL);
    trapd();
    trap_process_message("2,1,1,1500,0,1,");
    std::vector<ReceivedTrap> t = traps_before_marker();
    ASSERT_EQ(t.size(), 1u) << "the expansion trap of the normal scenario alone";
    EXPECT_EQ(t[0].trap_oid(), ROOT + ".3.5.2");
    EXPECT_EQ(t[0].value(ROOT + ".3.5.2.2.1"), "INTEGER: 1");
    EXPECT_EQ(applog().find("complementSysTraps"), std::string::npos);

    trap_process_message("");
    trap_process_message(",,,,,,,,,,");
    trap_process_message("x,y,z");
    EXPECT_TRUE(traps_before_marker().empty());

    // Digital texts of the monitor match on their level alone.
    scenario(0, 1, 1, EVENT::NORMAL);
    scenario(1, 1, 12, EVENT::ON);
    trap_process_message("1,11,1,1,1,1,");
    t = traps_before_marker();
    ASSERT_EQ(t.size(), 3u) << "one expansion trap, then the complement trap to both receivers";
    EXPECT_EQ(t[0].enterprise, ROOT + ".3.5.1");
    EXPECT_EQ(t[0].value(ROOT + ".3.5.1.3.11"), "INTEGER: 20");
    EXPECT_EQ(t[1].enterprise, ROOT + ".3.3.6");
    EXPECT_EQ(t[2].trap_oid(), ROOT + ".3.3.6");
}

// Version 2 is SNMPv3: a receiver without an enabled user gets nothing, and
// the log says why; the other receivers are served as before.
TEST_F(TrapTest, VersionTwoReceiverWithoutItsUserGetsNothingAndEveryTestTrapIsLogged)
{
    receiver(0, "127.0.0.1", "pub", 0);
    receiver(1, "127.0.0.1", "pubv2", 1);
    receiver(2, "127.0.0.1", "pubv2", 2);
    receiver(3, "receiver.example", "pub", 0);
    scenario(2 * 24, 2, 1, EVENT::ALERT);
    trapd();

    EXPECT_EQ(send_test_trap(3), 1) << "no address, nothing sent";
    EXPECT_EQ(send_test_trap(8), 1);
    EXPECT_EQ(send_test_trap(-1), 1);
    EXPECT_EQ(send_test_trap(0), 0);
    EXPECT_EQ(send_test_trap(1), 0);
    // The SNMPv3 test trap leaves from the trap thread.
    EXPECT_EQ(send_test_trap(2), 0);
    ASSERT_FALSE(trap_que.empty());
    trap_process_message(trap_que.front().c_str());
    trap_que.pop();
    std::vector<ReceivedTrap> t = traps_before_marker();
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(fields(t[0].version, t[0].enterprise, t[0].generic, t[0].value(ROOT + ".3.2.6")),
              "v1|" + ROOT + ".3.1.6|6|INTEGER: 1");
    EXPECT_EQ(t[1].version, "v2c");
    expect_date(t[1]);
    EXPECT_NE(applog().find("SNMPv3 notification: no enabled user of receiver 3 user 0 (not sent)"), std::string::npos);
    // Each test trap is a log line, sent or not, like every other trap.
    for (const std::string& line : {"testTrap send:127.0.0.1/1/0/" + ROOT + ".3.1.6\n",
                                   "testTrap send:127.0.0.1/2/1/" + ROOT + ".3.1.6\n",
                                   "testTrap send failed: 127.0.0.1/3/2/" + ROOT + ".3.1.6"})
        EXPECT_EQ(count_of(applog(), line), 1) << line << "\n" << applog();

    // A state change: its expansion trap to receiver 3 fails for want of
    // the user, the complement trap goes to every other receiver with an
    // address; the one that cannot be reached is logged as failed.
    trap_process_message("2,1,3,3500,0,1,");
    t = traps_before_marker();
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(fields(t[0].version, t[0].trap_oid()), "v1|" + ROOT + ".3.3.2");
    EXPECT_EQ(fields(t[1].version, t[1].trap_oid()), "v2c|" + ROOT + ".3.3.2");
    EXPECT_NE(applog().find("complementSysTraps send failed: receiver.example/4/0/" + ROOT + ".3.3.2/"),
              std::string::npos);
    EXPECT_NE(applog().find("trapExpansionVarbind send failed: 127.0.0.1/3/2/" + ROOT + ".3.5.2.1.1/3500"),
              std::string::npos);
}

TEST_F(TrapTest, ZeroAddressReceiverIsNoReceiverLikeAnEmptyOne)
{
    // The factory's unused entries hold 0.0.0.0; a trap sent there would
    // reach the appliance itself (here: the receiver on the loopback port).
    for (int d = 0; d < 4; ++d) receiver(d, "0.0.0.0", "pub", 0);
    for (int d = 4; d < 7; ++d) receiver(d, "", "pub", 1);
    receiver(7, "127.0.0.1", "pubv2", 1);
    scenario(0, 2, 1, EVENT::ALERT);       // receiver 1, 0.0.0.0
    scenario(5 * 24, 2, 1, EVENT::ALERT);  // receiver 6, no address
    trapd();
    EXPECT_EQ(send_test_trap(0), 1);
    EXPECT_EQ(send_test_trap(4), 1);
    trap_process_message("2,1,3,3500,0,1,");
    const std::vector<ReceivedTrap> t = traps_before_marker();
    ASSERT_EQ(t.size(), 1u) << "the complement trap to receiver 8 alone";
    EXPECT_EQ(fields(t[0].community, t[0].trap_oid()), "pubv2|" + ROOT + ".3.3.2");
    EXPECT_EQ(count_of(applog(), "complementSysTraps"), 1) << applog();
    EXPECT_EQ(count_of(applog(), "trapExpansionVarbind"), 0) << applog();
}

TEST_F(TrapTest, LogLinesNameTheReceiverNumberNeverTheCommunityAndFailedSendsAsFailed)
{
    receiver(1, "127.0.0.1", "pub", 0);
    receiver(4, "receiver.example", "pubv2", 1);  // no IPv4 address: every send fails
    scenario(1 * 24, 2, 1, EVENT::ALERT);
    scenario(4 * 24, 2, 1, EVENT::ALERT);
    trapd();
    trap_process_message("2,1,3,3500,0,1,");
    EXPECT_EQ(traps_before_marker().size(), 2u);

    std::vector<std::string> messages;
    for (const std::string& l : lines_of(applog())) messages.push_back(l.substr(l.find("> ") + 2));
    const std::string word = std::to_string((1 << 25) | 16);
    EXPECT_EQ(messages, (std::vector<std::string>{
                            "trapExpansionVarbind send:127.0.0.1/2/0/" + ROOT + ".3.5.2.1.1/3500",
                            "trapExpansionVarbind send failed: receiver.example/5/1/" + ROOT + ".3.5.2.1.1/3500",
                            "complementSysTraps send:127.0.0.1/2/0/" + ROOT + ".3.3.2/" + word,
                            "complementSysTraps send failed: receiver.example/5/1/" + ROOT + ".3.3.2/" + word,
                        }));
    EXPECT_EQ(count_of(applog(), "pub"), 0) << "communities are secrets";
}
