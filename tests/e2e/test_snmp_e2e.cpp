// The SNMP agent of the simulated service with the net-snmp tools as the
// manager: access control, versions, request ids, GET-BULK limits, walks on
// both models, SETs reaching the board and the database, and the MIB module.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <memory>
#include <sstream>

#include "db_test_support.h"
#include "events.h"
#include "process.h"
#include "board_lines.h"
#include "sandbox.h"
#include "snmp_wire.h"

namespace {

using namespace snmp_wire;
const std::string ROOT7400 = "1.3.6.1.4.1.58213.22";
const std::string ROOT6100 = "1.3.6.1.4.1.58213.23";

std::vector<std::string> nonempty_lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (!l.empty()) out.push_back(l);
    return out;
}

// A net-snmp tool; standard output in *out, standard error in *err.
int tool(std::vector<std::string> args, std::string* out, std::string* err = nullptr)
{
    args[0] = "/usr/bin/" + args[0];
    std::string ignored;
    return run_program_split(args, out, err ? err : &ignored);
}

// Lines "name = value" of a walk; the closing line of a v2c walk is left out.
std::vector<std::string> objects(const std::string& walk_output)
{
    std::vector<std::string> out;
    for (const auto& l : nonempty_lines(walk_output))
        if (l.find("No more variables left") == std::string::npos && l != "End of MIB") out.push_back(l);
    return out;
}

std::vector<unsigned long> numbers_of(const std::string& line)
{
    std::vector<unsigned long> v;
    std::string name = line.substr(line.find_first_not_of('.'), line.find(' ') - 1);
    std::istringstream in(name);
    for (std::string part; std::getline(in, part, '.');) v.push_back(std::stoul(part));
    return v;
}

// A request for sysName.0 as a manager would send it, with its parts chosen.
Bytes raw_request(unsigned char pdu, const Bytes& version, const std::string& community, const Bytes& req_id,
                  int second = 0, int third = 0)
{
    const Bytes sys_name = {0x06, 0x08, 0x2B, 6, 1, 2, 1, 1, 5, 0};
    Bytes vb = tlv(0x30, cat({sys_name, {0x05, 0x00}}));
    Bytes pdu_content = cat({tlv(0x02, req_id), {0x02, 0x01, static_cast<unsigned char>(second)},
                             {0x02, 0x01, static_cast<unsigned char>(third)}, tlv(0x30, vb)});
    return tlv(0x30, cat({tlv(0x02, version), tlv(0x04, Bytes(community.begin(), community.end())), tlv(pdu, pdu_content)}));
}

// Sends one datagram from `from` and returns the reply, empty when none
// comes within timeout_ms.
Bytes send_datagram(int port, const Bytes& request, const std::string& from = "127.0.0.1", int timeout_ms = 1000)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(s, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    pollfd p{s, POLLIN, 0};
    Bytes reply;
    if (poll(&p, 1, timeout_ms) == 1) {
        unsigned char buf[2048];
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n > 0) reply.assign(buf, buf + n);
    }
    close(s);
    return reply;
}

bool contains(const Bytes& hay, const Bytes& needle)
{
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

// The simulated service with its agent on a free port, started once its
// access entries are in the database.
struct Access {
    int id;
    std::string addr, community;
    int enable;
};

class Agent {
public:
    explicit Agent(const std::vector<Access>& entries, bool k7400 = true, const std::string& more_sql = "")
    {
        dbtest::Conn db(sb.path("/opt/KVT7400/db.sqlite3"));
        if (!more_sql.empty()) db.exec(more_sql);
        for (const auto& e : entries)
            db.exec("UPDATE webapp_snmp_config SET snmp_access_ipaddr='" + e.addr + "', snmp_access_community='" +
                    e.community + "', snmp_access_enable=" + std::to_string(e.enable) + " WHERE id=" +
                    std::to_string(e.id) + ";");
        if (!k7400) sb.set_gpio(1, 21, 0);
        port = free_udp_port();
        sim = std::make_unique<SimProcess>(sb.root(), std::vector<std::string>{"KVT_SNMP_PORT=" + std::to_string(port)});
    }

    // Waits for start-up and for the agent to answer community c.
    bool ready(const std::string& c)
    {
        if (!sim->wait_started(30000)) return false;
        return wait_until([&] { return !get(c, "1.3.6.1.2.1.1.5.0").empty(); }, 10000);
    }

    std::string host() const { return "127.0.0.1:" + std::to_string(port); }

    // snmpget -On; its standard output (empty when there was no answer).
    std::string get(const std::string& community, const std::string& oid, const std::string& version = "2c",
                    const std::string& from = "127.0.0.1")
    {
        std::string out;
        tool({"snmpget", "-v" + version, "-c", community, "-m", "", "-On", "-r", "0", "-t", "1",
              "--clientaddr=" + from, host(), oid},
             &out);
        return out;
    }

    std::string run(const std::string& program, std::vector<std::string> args, const std::string& version = "2c",
                    std::string* err = nullptr)
    {
        std::vector<std::string> argv = {program, "-v" + version, "-c", "public", "-m", "", "-On", "-r", "1", "-t", "2"};
        argv.push_back(host());
        argv.insert(argv.end(), args.begin(), args.end());
        std::string out;
        tool(argv, &out, err);
        return out;
    }

    std::string applog() const { return sb.read("/log/app_log/applog1.txt"); }

    TestSandbox sb;
    int port = 0;
    std::unique_ptr<SimProcess> sim;
};

// A walk's objects must come once each, in increasing order.
void expect_increasing(const std::vector<std::string>& objs)
{
    for (size_t i = 1; i < objs.size(); ++i)
        ASSERT_LT(numbers_of(objs[i - 1]), numbers_of(objs[i])) << objs[i - 1] << " then " << objs[i];
}

// Every object of the walk under root has a name from the MIB module, with its type.
void expect_named_walk(const Agent& agent, const std::string& root, const std::string& prefix, size_t count)
{
    std::string named;
    tool({"snmpwalk", "-v2c", "-c", "public", "-m", "+KVT7400-MIB", "-M", std::string("+") + KVT_MIB_DIR, agent.host(),
          root},
         &named);
    std::vector<std::string> names = objects(named);
    EXPECT_EQ(names.size(), count);
    for (const auto& l : names) {
        ASSERT_EQ(l.rfind("KVT7400-MIB::" + prefix, 0), 0u) << l;
        ASSERT_EQ(l.find("Wrong Type"), std::string::npos) << l;
    }
}

}  // namespace

TEST(SnmpEndToEnd, AccessControlVersionsRequestIdsAndBulkLimits)
{
    Agent agent({{1, "127.0.0.0/24", "low", 1}, {2, "127.0.0.1", "off", 0}, {3, "127.0.0.1", "high", 1},
                 {4, "10.0.0.0/8", "ten", 1}});
    ASSERT_TRUE(agent.ready("high")) << agent.sim->console();

    // The highest enabled entry that admits the sender decides, and the whole
    // community must match.
    struct {
        const char* community;
        const char* from;
        bool answered;
    } cases[] = {
        {"high", "127.0.0.1", true},  {"low", "127.0.0.1", false},  {"off", "127.0.0.1", false},
        {"highX", "127.0.0.1", false}, {"hig", "127.0.0.1", false}, {"low", "127.0.0.2", true},
        {"high", "127.0.0.2", false}, {"low", "127.0.1.5", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(!agent.get(c.community, "1.3.6.1.2.1.1.5.0", "2c", c.from).empty(), c.answered)
            << c.community << " from " << c.from;
    EXPECT_NE(agent.get("high", "1.3.6.1.2.1.1.5.0", "1").find(".1.3.6.1.2.1.1.5.0 = STRING"), std::string::npos);
    std::string log = agent.applog();
    // One line per sender and reason a minute: "low" came first.
    EXPECT_NE(log.find("from 127.0.0.1 will be ignored because of the wrong community(low)."), std::string::npos);
    EXPECT_EQ(log.find("wrong community(highX)"), std::string::npos);
    EXPECT_NE(log.find("Accessed port 161 from an unauthorized IP address(127.0.1.5). data size : "), std::string::npos);

    // Versions and request ids, in raw datagrams.
    const int port = agent.port;
    EXPECT_TRUE(send_datagram(port, raw_request(0xA0, {0x02}, "high", {0x01}), "127.0.0.1", 500).empty());
    // Version 3 is read as an SNMPv3 message: a community is none.
    EXPECT_TRUE(send_datagram(port, raw_request(0xA0, {0x03}, "high", {0x01}), "127.0.0.1", 500).empty());
    EXPECT_TRUE(send_datagram(port, raw_request(0xA0, {0x01}, "high", {0x01, 0, 0, 0, 0}), "127.0.0.1", 500).empty());
    Bytes minus_one = send_datagram(port, raw_request(0xA0, {0x01}, "high", {0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_TRUE(contains(minus_one, {0xA2})) << minus_one.size();
    EXPECT_TRUE(contains(minus_one, {0x02, 0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00}));
    // max-repetitions 0: an empty VarBindList and no error.
    Bytes empty_bulk = send_datagram(port, raw_request(0xA5, {0x01}, "high", {0x07}, 0, 0));
    ASSERT_GE(empty_bulk.size(), 11u);
    EXPECT_TRUE(std::equal(empty_bulk.end() - 11, empty_bulk.end(),
                           Bytes{0x02, 0x01, 0x07, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x30, 0x00}.begin()));
    EXPECT_TRUE(send_datagram(port, {0x30, 0x03, 0x47, 0x01, 0x00}, "127.0.0.1", 500).empty());
    log = agent.applog();
    EXPECT_NE(log.find("from 127.0.0.1 will be ignored because of the wrong version : 2"), std::string::npos);
    EXPECT_NE(log.find("from 127.0.0.1 will be ignored because the requestID overflowed."), std::string::npos);
    EXPECT_NE(log.find("from 127.0.0.1 will be ignored due to failure to analysis."), std::string::npos);

    // GET-BULK: max-repetitions as asked while the rows fit; a non-repeater
    // has one successor.
    auto bulk = [&](const std::string& n, const std::string& r) {
        std::string out;
        tool({"snmpbulkget", "-v2c", "-c", "high", "-m", "", "-On", "-Cn" + n, "-Cr" + r, agent.host(), ROOT7400}, &out);
        return nonempty_lines(out);
    };
    EXPECT_EQ(bulk("1", "20").size(), 1u);
    std::vector<std::string> twenty = bulk("0", "20");
    ASSERT_EQ(twenty.size(), 20u);
    EXPECT_EQ(twenty[0].rfind("." + ROOT7400 + ".1.1.1 = ", 0), 0u) << twenty[0];
    EXPECT_EQ(twenty[19].rfind("." + ROOT7400 + ".1.3.3.2 = ", 0), 0u) << twenty[19];
    // Asked for more than fits: the rows that fit, in order, never tooBig.
    std::vector<std::string> most = bulk("0", "127");
    ASSERT_GT(most.size(), 20u);
    EXPECT_EQ(std::vector<std::string>(most.begin(), most.begin() + 20), twenty);
    expect_increasing(most);
    Bytes raw = send_datagram(port, raw_request(0xA5, {0x01}, "high", {0x08}, 0, 127));
    EXPECT_GT(raw.size(), 900u);
    EXPECT_LE(raw.size(), 1024u);
    EXPECT_TRUE(contains(raw, {0x02, 0x01, 0x08, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00}));
}

TEST(SnmpEndToEnd, WalksSetsAndNamesOnTheKvt7400)
{
    Agent agent({{1, "127.0.0.1", "public", 1}, {2, "10.9.9.9", "acc2Secret", 1}}, true,
                "UPDATE webapp_snmp_trap_send SET snmp_trap_send_community='trapSecret';"
                "UPDATE webapp_mqttconfig SET mqtt_password='mqttSecret';"
                "UPDATE webapp_mailconfig SET mail_password='mailSecret';"
                "UPDATE webapp_sensor_log_cycle SET cycle_minutes = 10 + id;");
    ASSERT_TRUE(agent.ready("public")) << agent.sim->console();
    const std::string r = ROOT7400 + ".";

    const std::string walk_text = agent.run("snmpwalk", {"1.3.6.1"});
    std::vector<std::string> walk = objects(agent.run("snmpwalk", {ROOT7400}));
    EXPECT_EQ(walk.size(), 4856u);
    expect_increasing(walk);
    // Secrets never read back: the whole tree, in both versions.
    for (const std::string& text : {walk_text, agent.run("snmpwalk", {"1.3.6.1"}, "1")})
        for (const char* secret : {"public", "acc2Secret", "trapSecret", "mqttSecret", "mailSecret"})
            EXPECT_EQ(text.find(secret), std::string::npos) << secret;
    for (const char* name : {"1.3.1.2", "1.3.2.2", "1.4.1.2", "1.4.8.2", "1.6.5", "1.7.4"})
        EXPECT_NE(std::find(walk.begin(), walk.end(), "." + r + name + " = \"\""), walk.end()) << name;
    // Log cycles: entry 1, entry 0, then entries 2 to 7 (row id = entry + 1).
    EXPECT_EQ(agent.run("snmpget", {r + "1.10.1", r + "1.10.2", r + "1.10.3", r + "1.10.8"}),
              "." + r + "1.10.1 = INTEGER: 12\n." + r + "1.10.2 = INTEGER: 11\n." + r + "1.10.3 = INTEGER: 13\n." + r +
                  "1.10.8 = INTEGER: 18\n");
    EXPECT_EQ(objects(agent.run("snmpbulkwalk", {ROOT7400})), walk);
    EXPECT_EQ(objects(agent.run("snmpwalk", {ROOT7400}, "1")), walk);

    EXPECT_EQ(agent.run("snmpget", {"1.3.6.1.2.1.1.2.0"}), ".1.3.6.1.2.1.1.2.0 = OID: ." + ROOT7400 + "\n");

    // SETs, and their refusals as the manager sees them.
    auto set = [&](const std::string& oid, const std::string& type, const std::string& value) {
        std::string e;
        std::string o = agent.run("snmpset", {r + oid, type, value}, "2c", &e);
        return o + e;
    };
    EXPECT_NE(set("2.3.4.1", "i", "600").find("INTEGER: 600"), std::string::npos);
    EXPECT_NE(set("2.3.3.1", "i", "500").find("inconsistentValue"), std::string::npos);
    EXPECT_NE(set("2.3.3.1", "i", "2147483647").find("INTEGER: 2147483647"), std::string::npos);
    EXPECT_NE(set("2.5.5.1", "i", "3000").find("INTEGER: 3000"), std::string::npos);
    EXPECT_NE(set("2.3.11.1", "s", "28FF00A1B2C3D4E5").find("STRING: \"28FF00A1B2C3D4E5\""), std::string::npos);
    EXPECT_NE(set("2.1.1.1", "s", "Door").find("STRING: \"Door\""), std::string::npos);
    EXPECT_NE(set("1.1.1", "s", "9").find("notWritable"), std::string::npos);
    // 31 bytes of label do not fit the 31-byte field with its NUL: refused, not cut.
    EXPECT_NE(set("2.1.3.1", "s", "aあいうえおかきくけこ").find("wrongLength"), std::string::npos);
    // They reach the database through the settings writer.
    dbtest::Conn db(agent.sb.path("/opt/KVT7400/db.sqlite3"));
    const std::string saved = "SELECT t.alert_max_val, t.alert_max_clear, t.device_ID, v.t_alert_max_val,"
                              " v.t_alert_max_clear, d.name FROM webapp_wire_temp t, webapp_vlxa v, webapp_di d"
                              " WHERE t.id=1 AND v.id=1 AND d.id=1";
    const std::vector<std::string> want = {"2147483647", "600", "28FF00A1B2C3D4E5", "3000", "3000", "Door"};
    EXPECT_TRUE(wait_until([&] { return db.rows(saved, true) == std::vector<std::vector<std::string>>{want}; }, 5000))
        << testing::PrintToString(db.rows(saved, true));

    // Relay outputs on the simulated board, read back through the live table.
    EXPECT_NE(set("2.1.12.9", "i", "1").find("INTEGER: 1"), std::string::npos);
    EXPECT_EQ(agent.sb.gpio(2, BOARD::RELAY[0].line), 1);
    EXPECT_NE(set("2.1.15", "s", "001000000").find("STRING: \"001000000\""), std::string::npos);
    EXPECT_EQ(agent.sb.gpio(2, BOARD::RELAY[2].line), 1);
    EXPECT_EQ(agent.sb.gpio(2, BOARD::RELAY[0].line), 1) << "an output marked 0 keeps its level";
    EXPECT_TRUE(wait_until([&] {
        return agent.run("snmpget", {r + "2.1.15"}).find("STRING: \"0000000010100000\"") != std::string::npos;
    }, 2000));

    expect_named_walk(agent, ROOT7400, "k74", walk.size());
}

TEST(SnmpEndToEnd, WalksAndNamesOnTheKvt6100)
{
    Agent agent({{1, "127.0.0.1", "public", 1}}, false);
    ASSERT_TRUE(agent.ready("public")) << agent.sim->console();
    std::vector<std::string> walk = objects(agent.run("snmpwalk", {ROOT6100}));
    EXPECT_EQ(walk.size(), 3153u);
    expect_increasing(walk);
    EXPECT_EQ(objects(agent.run("snmpbulkwalk", {ROOT6100})), walk);
    EXPECT_EQ(agent.run("snmpwalk", {ROOT7400}), "." + ROOT7400 + " = No Such Object available on this agent at this OID\n");

    expect_named_walk(agent, ROOT6100, "k61", walk.size());
}

TEST(SnmpMibModule, PassesSmilintLoadsInSnmptranslateAndMatchesItsGenerator)
{
    const std::string dir = KVT_MIB_DIR;
    std::string out, err;
    int rc = tool({"smilint", "-l", "3", "-p", dir + "/SNMPv2-SMI.txt", "-p", dir + "/SNMPv2-TC.txt", "-p",
                   dir + "/SNMPv2-CONF.txt", dir + "/KVT7400-MIB.txt"},
                  &out, &err);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out + err, "");
    struct {
        const char* name;
        const char* oid;
    } cases[] = {{"KVT7400-MIB::k74WireTempDeviceId", ".1.3.6.1.4.1.58213.22.2.3.11"},
                 {"KVT7400-MIB::k74DioLevels", ".1.3.6.1.4.1.58213.22.2.1.15"},
                 {"KVT7400-MIB::k74TrapReceiver8Scenario", ".1.3.6.1.4.1.58213.22.1.4.8.4"},
                 {"KVT7400-MIB::k74ChangeCounter", ".1.3.6.1.4.1.58213.22.2.20"},
                 {"KVT7400-MIB::k61TrendMinutes", ".1.3.6.1.4.1.58213.23.2.8.2"},
                 {"KVT7400-MIB::k74TestTrap", ".1.3.6.1.4.1.58213.22.3.1.6"},
                 {"KVT7400-MIB::k74PortOnTrap", ".1.3.6.1.4.1.58213.22.3.3.6"},
                 {"KVT7400-MIB::k74TrapWord", ".1.3.6.1.4.1.58213.22.3.4"},
                 {"KVT7400-MIB::k74Nx40BatteryTrap", ".1.3.6.1.4.1.58213.22.3.5.9"},
                 {"KVT7400-MIB::k61WireHumidTrap", ".1.3.6.1.4.1.58213.23.3.5.4"}};
    for (const auto& c : cases) {
        tool({"snmptranslate", "-M", "+" + dir, "-m", "KVT7400-MIB", "-On", c.name}, &out, &err);
        EXPECT_EQ(out, std::string(c.oid) + "\n") << c.name << ": " << err;
    }
    // The committed module is what its generator writes.
    std::string generated;
    ASSERT_EQ(run_program({"/usr/bin/python3", dir + "/make-mib.py"}, &generated), 0);
    std::ifstream in(dir + "/KVT7400-MIB.txt");
    std::stringstream committed;
    committed << in.rdbuf();
    EXPECT_TRUE(generated == committed.str()) << "run mibs/make-mib.py > mibs/KVT7400-MIB.txt";
}

// The net-snmp tools as the manager: every binding answered in order, the
// error model of each version, and SETs that change all or nothing.
TEST(SnmpEndToEnd, EveryBindingIsAnsweredWithTheErrorModelOfItsVersion)
{
    Agent agent({{1, "127.0.0.1", "public", 1}}, true,
                "UPDATE webapp_sensor_log_cycle SET cycle_minutes = 10 + id;"
                "UPDATE webapp_trend_list SET cl_per = 45 WHERE id = 5;"
                "UPDATE webapp_wire_temp SET name = 'Probe2' WHERE id = 2;");
    ASSERT_TRUE(agent.ready("public")) << agent.sim->console();
    const std::string r = "." + ROOT7400 + ".";
    auto both = [&](const std::string& version, const std::string& program, std::vector<std::string> args) {
        std::string err;
        std::string out = agent.run(program, std::move(args), version, &err);
        return out + err;
    };
    std::vector<std::string> forty(40, "1.3.6.1.2.1.1.1.0");
    forty.insert(forty.begin(), "-Cf");
    struct Case {
        const char* what;
        const char* versions;  // the same answer in each
        const char* program;
        std::vector<std::string> args;
        std::vector<std::string> want;  // lines of the answer, in order
    } cases[] = {
        {"GET of three", "2c 1", "snmpget", {"1.3.6.1.2.1.1.2.0", "1.3.6.1.2.1.1.7.0", r + "1.1.3"},
         {".1.3.6.1.2.1.1.2.0 = OID: ." + ROOT7400, ".1.3.6.1.2.1.1.7.0 = INTEGER: 154", r + "1.1.3 = INTEGER: 1"}},
        {"GET with missing ones", "2c", "snmpget", {"1.3.6.1.2.1.1.7.0", r + "2.21", r + "2.1.2.9"},
         {".1.3.6.1.2.1.1.7.0 = INTEGER: 154", r + "2.21 = No Such Object available on this agent at this OID",
          r + "2.1.2.9 = No Such Instance currently exists at this OID"}},
        {"GET with a missing one", "1", "snmpget", {"-Cf", "1.3.6.1.2.1.1.7.0", r + "2.21", r + "2.1.2.9"},
         {"Reason: (noSuchName) There is no such variable name in this MIB.", "Failed object: " + r + "2.21"}},
        {"GET-NEXT of two", "2c 1", "snmpgetnext", {r + "1.10.2", r + "2.8.6.4"},
         {r + "1.10.3 = INTEGER: 13", r + "2.8.6.5 = INTEGER: 45"}},
        {"GET-NEXT past the end", "1", "snmpgetnext", {"-Cf", r + "1.10.2", "1.3.6.1.6.3.15.1.1.6.0"},
         {"Reason: (noSuchName) There is no such variable name in this MIB.", "Failed object: .1.3.6.1.6.3.15.1.1.6.0"}},
        {"GET-BULK, one non-repeater and two repeaters", "2c", "snmpbulkget",
         {"-Cn1", "-Cr3", r + "1.10.1", r + "1.10.2", "1.3.6.1.6.3.15.1.1.5"},
         {r + "1.10.2 = INTEGER: 11", r + "1.10.3 = INTEGER: 13", ".1.3.6.1.6.3.15.1.1.6 = Counter32: 0",
          r + "1.10.4 = INTEGER: 14", ".1.3.6.1.6.3.15.1.1.6 = No more variables left in this MIB View", r + "1.10.5 = INTEGER: 15",
          ".1.3.6.1.6.3.15.1.1.6 = No more variables left in this MIB View (It is past the end of the MIB tree)"}},
        {"SET of two", "2c", "snmpset", {r + "2.3.1.1", "s", "Rack1", r + "2.8.2.1", "i", "30"},
         {r + "2.3.1.1 = STRING: \"Rack1\"", r + "2.8.2.1 = INTEGER: 30"}},
        {"SET of a valid and an invalid one", "2c", "snmpset", {r + "2.3.1.2", "s", "Rack2", r + "2.8.2.2", "i", "0"},
         {"Reason: wrongValue", "Failed object: " + r + "2.8.2.2"}},
        {"SET of a valid and an invalid one", "1", "snmpset", {r + "2.3.1.2", "s", "Rack2", r + "2.8.2.2", "i", "0"},
         {"Reason: (badValue)", "Failed object: " + r + "2.8.2.2"}},
        {"SET of a Gauge32 for an INTEGER", "2c", "snmpset", {r + "2.3.1.2", "s", "Rack2", r + "2.8.2.3", "u", "5"},
         {"Reason: wrongType", "Failed object: " + r + "2.8.2.3"}},
        {"SET of a Gauge32 for an INTEGER", "1", "snmpset", {r + "2.8.2.3", "u", "5"},
         {"Reason: (badValue)", "Failed object: " + r + "2.8.2.3"}},
        {"SET of a read-only object", "2c", "snmpset", {r + "2.3.1.2", "s", "Rack2", r + "1.1.3", "i", "0"},
         {"Reason: notWritable", "Failed object: " + r + "1.1.3"}},
        {"SET of a read-only object", "1", "snmpset", {r + "1.1.3", "i", "0"},
         {"Reason: (readOnly)", "Failed object: " + r + "1.1.3"}},
        {"GET whose answer passes the limit", "2c 1", "snmpget", forty, {"Reason: (tooBig)"}},
    };
    for (const auto& c : cases) {
        std::istringstream versions(c.versions);
        for (std::string version; versions >> version;) {
            const std::string got = both(version, c.program, c.args);
            size_t at = 0;
            for (const auto& line : c.want) {
                const size_t p = got.find(line, at);
                ASSERT_NE(p, std::string::npos) << c.what << " v" << version << ": " << line << "\n" << got;
                at = p + line.size();
            }
            if (std::string(c.what) == "GET with missing ones") {
                EXPECT_EQ(nonempty_lines(got).size(), 3u) << got;
            }
        }
    }
    // What the SETs left: the two of the first in the database, nothing of the refused ones.
    EXPECT_EQ(agent.run("snmpget", {r + "2.3.1.2", r + "2.8.2.2", r + "2.8.2.3"}),
              r + "2.3.1.2 = STRING: \"Probe2\"\n" + r + "2.8.2.2 = INTEGER: 10\n" + r + "2.8.2.3 = INTEGER: 10\n");
    dbtest::Conn db(agent.sb.path("/opt/KVT7400/db.sqlite3"));
    const std::string saved = "SELECT t.name, l.minutes FROM webapp_wire_temp t, webapp_trend_list l WHERE t.id=1 AND l.id=1";
    EXPECT_TRUE(wait_until([&] { return db.rows(saved, true) == std::vector<std::vector<std::string>>{{"Rack1", "30"}}; },
                           5000))
        << testing::PrintToString(db.rows(saved, true));
    EXPECT_EQ(db.scalar("SELECT name FROM webapp_wire_temp WHERE id=2", true), "Probe2");
}

// Rejected datagrams cannot rotate the log away, and an empty datagram
// leaves the socket and what is queued on it alone.
TEST(SnmpEndToEnd, RejectedDatagramsLeaveFewLogLinesAndEmptyOnesAreIgnored)
{
    Agent agent({{1, "127.0.0.1", "public", 1}});
    ASSERT_TRUE(agent.ready("public")) << agent.sim->console();
    const Bytes wrong = raw_request(0xA0, {0x01}, "wrong", {0x01});
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(agent.port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 300; ++i) sendto(s, wrong.data(), wrong.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(s);
    EXPECT_FALSE(agent.get("public", "1.3.6.1.2.1.1.7.0").empty()) << "the agent answers at once afterwards";
    EXPECT_EQ(count_of(agent.applog(), "wrong community(wrong)"), 1);

    // An empty datagram and three requests right behind it on one socket:
    // all three are answered.
    s = socket(AF_INET, SOCK_DGRAM, 0);
    sendto(s, "", 0, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    for (unsigned char id = 1; id <= 3; ++id) {
        const Bytes get = raw_request(0xA0, {0x01}, "public", {id});
        sendto(s, get.data(), get.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    int answered = 0;
    pollfd p{s, POLLIN, 0};
    unsigned char buf[2048];
    while (answered < 3 && poll(&p, 1, 1000) == 1 && recv(s, buf, sizeof buf, 0) > 0) ++answered;
    close(s);
    EXPECT_EQ(answered, 3);
}

// ---- SNMPv3 -----------------------------------------------------------------------

namespace {

// Users 1-3 as the manager's tool names them, and how they are configured.
const std::string V3_USERS_SQL =
    "UPDATE webapp_snmp_user SET snmp_user_name='sha1rw', snmp_user_auth=1, snmp_user_auth_pass='sha1-auth-phrase',"
    " snmp_user_access=1, snmp_user_enable=1 WHERE id=1;"
    "UPDATE webapp_snmp_user SET snmp_user_name='aes128rw', snmp_user_auth=3, snmp_user_auth_pass='sha256-auth-phrase',"
    " snmp_user_priv=1, snmp_user_priv_pass='aes128-priv-phrase', snmp_user_access=1, snmp_user_enable=1 WHERE id=2;"
    "UPDATE webapp_snmp_user SET snmp_user_name='aes256ro', snmp_user_auth=5, snmp_user_auth_pass='sha512-auth-phrase',"
    " snmp_user_priv=3, snmp_user_priv_pass='aes256-priv-phrase', snmp_user_access=0, snmp_user_enable=1 WHERE id=3;";

const std::vector<std::string> SHA1_RW = {"-l", "authNoPriv", "-u", "sha1rw", "-a", "SHA", "-A", "sha1-auth-phrase"};
const std::vector<std::string> AES128_RW = {"-l", "authPriv", "-u", "aes128rw", "-a", "SHA-256", "-A",
                                            "sha256-auth-phrase", "-x", "AES", "-X", "aes128-priv-phrase"};
const std::vector<std::string> AES256_RO = {"-l", "authPriv", "-u", "aes256ro", "-a", "SHA-512", "-A",
                                            "sha512-auth-phrase", "-x", "AES256", "-X", "aes256-priv-phrase"};

// A net-snmp tool as an SNMPv3 manager; standard output and error together.
std::string v3(const Agent& agent, const std::string& program, const std::vector<std::string>& security,
               const std::vector<std::string>& args, const std::string& from = "127.0.0.1")
{
    std::vector<std::string> argv = {program, "-v3", "-m", "", "-On", "-r", "0", "-t", "2", "--clientaddr=" + from};
    argv.insert(argv.end(), security.begin(), security.end());
    argv.push_back(agent.host());
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out, err;
    tool(argv, &out, &err);
    return out + err;
}

// The integer value of a "name = Type: N" line.
long value_of(const std::string& line)
{
    const size_t colon = line.rfind(": ");
    return colon == std::string::npos ? -1 : std::stol(line.substr(colon + 2));
}

}  // namespace

// The same requests in SNMPv2c and as each SNMPv3 user, at its levels:
// identical answers, from any address for SNMPv3.
TEST(SnmpV3EndToEnd, GetNextBulkAndSetAnswerAsInV2cForEveryProtocol)
{
    Agent agent({{1, "127.0.0.1", "public", 1}}, true, V3_USERS_SQL);
    ASSERT_TRUE(agent.ready("public")) << agent.sim->console();
    const std::string r = ROOT7400 + ".";
    struct {
        std::string program;
        std::vector<std::string> args;
    } requests[] = {
        {"snmpget", {"1.3.6.1.2.1.1.5.0", r + "1.10.1", r + "2.3.1.1"}},
        {"snmpgetnext", {"1.3.6.1.2.1.1.7.0", r + "2.3.1"}},
        {"snmpbulkget", {"-Cn1", "-Cr5", "1.3.6.1.2.1.1.1", r + "2.3.4"}},
    };
    for (const auto& users : {SHA1_RW, AES128_RW, AES256_RO}) {
        SCOPED_TRACE(users[3]);
        for (const auto& q : requests) {
            const std::string expected = agent.run(q.program, q.args);
            ASSERT_FALSE(expected.empty()) << q.program;
            // The access list names 127.0.0.1 only; SNMPv3 needs no entry.
            EXPECT_EQ(v3(agent, q.program, users, q.args, "127.0.0.2"), expected) << q.program;
        }
    }
    EXPECT_NE(v3(agent, "snmpset", SHA1_RW, {r + "2.3.1.1", "s", "RackV3a"}).find("STRING: \"RackV3a\""),
              std::string::npos);
    EXPECT_NE(v3(agent, "snmpset", AES128_RW, {r + "2.3.4.1", "i", "600"}).find("INTEGER: 600"), std::string::npos);
    EXPECT_NE(v3(agent, "snmpset", AES128_RW, {r + "2.3.3.1", "i", "500"}).find("inconsistentValue"), std::string::npos);
    EXPECT_EQ(agent.run("snmpget", {r + "2.3.1.1"}), "." + r + "2.3.1.1 = STRING: \"RackV3a\"\n");
    // A read-only user's SET changes nothing.
    const std::string ro = v3(agent, "snmpset", AES256_RO, {r + "2.3.1.1", "s", "RackV3b"});
    EXPECT_NE(ro.find("noAccess"), std::string::npos) << ro;
    EXPECT_EQ(agent.run("snmpget", {r + "2.3.1.1"}), "." + r + "2.3.1.1 = STRING: \"RackV3a\"\n");

    // The engine group: the ID of enterprise 58213 from eth0's MAC
    // (00:1A:2B:3C:4D:5E on the simulated board), the first start, the
    // message size; the walk goes on from the private tree into it and the
    // usmStats counters, and ends there.
    const std::string engine = v3(agent, "snmpget", SHA1_RW,
                                  {"1.3.6.1.6.3.10.2.1.1.0", "1.3.6.1.6.3.10.2.1.2.0", "1.3.6.1.6.3.10.2.1.4.0"});
    EXPECT_EQ(engine, ".1.3.6.1.6.3.10.2.1.1.0 = Hex-STRING: 80 00 E3 65 03 00 1A 2B 3C 4D 5E \n"
                      ".1.3.6.1.6.3.10.2.1.2.0 = INTEGER: 1\n"
                      ".1.3.6.1.6.3.10.2.1.4.0 = INTEGER: 2048\n");
    const std::vector<std::string> tail = objects(agent.run("snmpwalk", {"1.3.6.1.6"}));
    ASSERT_EQ(tail.size(), 10u) << agent.run("snmpwalk", {"1.3.6.1.6"});
    expect_increasing(tail);
    EXPECT_EQ(tail[0].rfind(".1.3.6.1.6.3.10.2.1.1", 0), 0u) << tail[0];
    EXPECT_EQ(tail[9].rfind(".1.3.6.1.6.3.15.1.1.6", 0), 0u) << tail[9];
    const std::vector<std::string> private_tree = objects(agent.run("snmpwalk", {ROOT7400}));
    ASSERT_FALSE(private_tree.empty());
    const std::string last = private_tree.back().substr(1, private_tree.back().find(' ') - 1);
    const std::vector<std::string> after_private = objects(agent.run("snmpgetnext", {last}));
    ASSERT_EQ(after_private.size(), 1u);
    EXPECT_EQ(after_private[0].rfind(".1.3.6.1.6.3.10.2.1.1", 0), 0u) << after_private[0];
    EXPECT_EQ(agent.run("snmpgetnext", {"1.3.6.1.6.3.15.1.1.6.0"}),
              ".1.3.6.1.6.3.15.1.1.6.0 = No more variables left in this MIB View (It is past the end of the MIB tree)\n");
    EXPECT_EQ(agent.applog().find("phrase"), std::string::npos);
    EXPECT_EQ(agent.sim->console().find("phrase"), std::string::npos);
}

// Every refusal of the security step, as the manager's tool reports it and
// as the usmStats counter that counts it.
TEST(SnmpV3EndToEnd, WrongPassphraseUnknownUserLevelAndTimeWindowAreReported)
{
    Agent agent({{1, "127.0.0.1", "public", 1}}, true, V3_USERS_SQL);
    ASSERT_TRUE(agent.ready("public")) << agent.sim->console();
    auto counter = [&](const std::string& n) {
        return value_of(agent.run("snmpget", {"1.3.6.1.6.3.15.1.1." + n + ".0"}));
    };
    const std::string sys_name = "1.3.6.1.2.1.1.5.0";
    struct {
        const char* what;
        std::vector<std::string> security;
        const char* says;
        const char* stat;  // usmStats object
    } cases[] = {
        {"wrong authentication passphrase",
         {"-l", "authNoPriv", "-u", "sha1rw", "-a", "SHA", "-A", "not-the-phrase"}, "Authentication failure", "5"},
        {"unknown user", {"-l", "authNoPriv", "-u", "nobody", "-a", "SHA", "-A", "sha1-auth-phrase"},
         "Unknown user name", "3"},
        {"less than the user's level",
         {"-l", "authNoPriv", "-u", "aes128rw", "-a", "SHA-256", "-A", "sha256-auth-phrase"},
         "Unsupported security level", "1"},
        {"more than the user's level",
         {"-l", "authPriv", "-u", "sha1rw", "-a", "SHA", "-A", "sha1-auth-phrase", "-x", "AES", "-X", "sha1-auth-phrase"},
         "Unsupported security level", "1"},
        {"no security for a user with it", {"-l", "noAuthNoPriv", "-u", "sha1rw"}, "Unsupported security level", "1"},
        {"wrong privacy passphrase",
         {"-l", "authPriv", "-u", "aes128rw", "-a", "SHA-256", "-A", "sha256-auth-phrase", "-x", "AES", "-X",
          "not-the-priv-phrase"},
         "", "6"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const long before = counter(c.stat);
        const std::string out = v3(agent, "snmpget", c.security, {sys_name});
        EXPECT_EQ(out.find("STRING"), std::string::npos) << out;
        EXPECT_NE(out.find(c.says), std::string::npos) << out;
        EXPECT_GT(counter(c.stat), before);
    }

    // A request claiming an old time of this engine (a replay) is refused
    // with a signed report of this engine's boots and time; the tool takes
    // them from it and asks again.
    const long late = counter("2");
    std::vector<std::string> stale = SHA1_RW;
    for (const char* a : {"-e", "0x8000E36503001A2B3C4D5E", "-Z", "1,1000"}) stale.push_back(a);
    EXPECT_NE(v3(agent, "snmpget", stale, {sys_name}).find("STRING"), std::string::npos);
    EXPECT_EQ(counter("2"), late + 1);
    EXPECT_NE(agent.applog().find("outside the time window (user \"sha1rw\")"), std::string::npos) << agent.applog();
    for (const char* secret : {"phrase"}) EXPECT_EQ(agent.applog().find(secret), std::string::npos);
}

// The switch turns SNMPv1/v2c off while SNMPv3 answers, and the engine's
// boot count is one higher after a restart.
TEST(SnmpV3EndToEnd, V1V2cSwitchedOffAndBootsAfterRestart)
{
    Agent agent({{1, "127.0.0.1", "public", 1}}, true, V3_USERS_SQL + "UPDATE webapp_snmp_agent SET snmp_v1v2c_enable=0;");
    ASSERT_TRUE(agent.sim->wait_started(30000)) << agent.sim->console();
    const std::string boots = "1.3.6.1.6.3.10.2.1.2.0";
    std::string first;
    ASSERT_TRUE(wait_until([&] { return !(first = v3(agent, "snmpget", AES128_RW, {boots})).empty() &&
                                        first.find("INTEGER") != std::string::npos; }, 10000)) << first;
    for (const std::string version : {"1", "2c"}) EXPECT_EQ(agent.get("public", "1.3.6.1.2.1.1.5.0", version), "");
    EXPECT_NE(agent.applog().find("SNMPv1/v2c is switched off"), std::string::npos) << agent.applog();

    agent.sim->signal(SIGTERM);
    ASSERT_EQ(agent.sim->wait_exit(10000), 0) << agent.sim->console();
    agent.sim = std::make_unique<SimProcess>(agent.sb.root(),
                                             std::vector<std::string>{"KVT_SNMP_PORT=" + std::to_string(agent.port)});
    ASSERT_TRUE(agent.sim->wait_started(30000)) << agent.sim->console();
    std::string second;
    ASSERT_TRUE(wait_until([&] { return (second = v3(agent, "snmpget", AES128_RW, {boots})).find("INTEGER") !=
                                        std::string::npos; }, 10000)) << second;
    EXPECT_EQ(value_of(second), value_of(first) + 1) << first << second;
}
