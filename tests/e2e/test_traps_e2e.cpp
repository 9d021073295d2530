// Traps from the running simulator to snmptrapd: a digital input flipped on
// the simulated board, an analog value crossing its alert level and back,
// and the test trap of command 52, each arriving at its configured
// receivers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "db_test_support.h"
#include "monitor_table.h"
#include "process.h"
#include "sandbox.h"
#include "snmp_wire.h"
#include "trap_receiver.h"

namespace {

const std::string ROOT = "1.3.6.1.4.1.58213.22";
const std::string KVTCTL = std::string(KVT_BIN_DIR) + "/kvtctl";
constexpr int DI3_CHIP = 2, DI3_LINE = 39;

std::string kvtsim(const TestSandbox& sb, const std::vector<std::string>& args)
{
    std::string out;
    run_tool("kvtsim", sb.root(), args, &out);
    return out;
}

// The traps of trap OID `oid` for community `community`.
std::vector<ReceivedTrap> of(const std::vector<ReceivedTrap>& all, const std::string& oid, const std::string& community)
{
    std::vector<ReceivedTrap> out;
    for (const auto& t : all)
        if (t.trap_oid() == oid && t.community == community) out.push_back(t);
    return out;
}

}  // namespace

TEST(TrapsE2E, DigitalEdgeAnalogCrossingAndTestTrapReachSnmptrapd)
{
    TestSandbox sb;
    // Receiver 1 SNMPv1, receiver 2 SNMPv2c, the others as the factory left
    // them: 0.0.0.0, which is no receiver.
    // Scenario entry 0 (receiver 1): input 3 switching on; entry 24
    // (receiver 2): any analog input in alert.
    dbtest::Conn db(sb.path("/opt/KVT7400/db.sqlite3"));
    db.exec(
            "UPDATE webapp_snmp_trap_send SET snmp_trap_send_portoid=0;"
            "UPDATE webapp_snmp_trap_send SET snmp_trap_send_sendto='127.0.0.1', snmp_trap_send_community='pub',"
            " snmp_trap_send_version=0, snmp_trap_send_portoid=1 WHERE id=1;"
            "UPDATE webapp_snmp_trap_send SET snmp_trap_send_sendto='127.0.0.1', snmp_trap_send_community='pubv2',"
            " snmp_trap_send_version=1, snmp_trap_send_portoid=1 WHERE id=2;"
            "UPDATE webapp_trap_scenario SET sensortype=1, sensor=4, state=1, enable=1 WHERE id=1;"
            "UPDATE webapp_trap_scenario SET sensortype=2, sensor=1, state=8, enable=1 WHERE id=25;"
            "UPDATE webapp_di SET time=0, enable=1, errortext_id=1 WHERE id=3;"
            "UPDATE webapp_ai SET enable=1, alert_max_val=3000, alert_max_clear=2900, err_sampling=1,"
            " trend_id=0 WHERE id=1;");
    const std::string dir = sb.root() + "/trapd";
    mkdir(dir.c_str(), 0755);
    TrapReceiver rx(dir, {"pub", "pubv2", "public"});
    ASSERT_TRUE(rx.ready(10000)) << rx.log();
    SimProcess p(sb.root(), {"KVT_TRAP_PORT=" + std::to_string(rx.port()),
                             "KVT_SNMP_PORT=" + std::to_string(snmp_wire::free_udp_port())});
    ASSERT_TRUE(p.wait_started(30000)) << p.console();
    ASSERT_TRUE(p.wait_console("snmp_trap_thread tid  : ", 5000)) << p.console();
    // The monitor takes the levels it finds at its start unannounced.
    ASSERT_TRUE(p.wait_console("dio_sensor_monitor_thread tid  : ", 5000)) << p.console();

    // Input 3 on: the monitor's text sends the expansion trap of entry 0 to
    // receiver 1 and the complement trap "port on" to both receivers.
    sb.set_gpio(DI3_CHIP, DI3_LINE, 1);
    const std::string on = ROOT + ".3.3.6";
    ASSERT_TRUE(wait_until([&] {
        auto t = rx.traps();
        return !of(t, ROOT + ".3.5.1", "pub").empty() && !of(t, on, "pub").empty() && !of(t, on, "pubv2").empty();
    }, 5000)) << rx.log() << p.console();
    // The layout of each trap is the trap unit tests' (against snmptrapd too):
    // here the port and level the monitor found.
    EXPECT_EQ(of(rx.traps(), ROOT + ".3.5.1", "pub")[0].value(ROOT + ".3.5.1.1.3"), "INTEGER: 3");
    EXPECT_EQ(of(rx.traps(), on, "pub")[0].value(ROOT + ".3.4"), "INTEGER: " + std::to_string((3 << 25) + 4));

    // Command 52: the test trap to receiver 2, and the request flag says it went.
    std::string out;
    ASSERT_EQ(run_program({KVTCTL, "-r", sb.root(), "send", "52,2,"}, &out), 0) << out;
    ASSERT_TRUE(wait_until([&] { return !of(rx.traps(), ROOT + ".3.1.6", "pubv2").empty(); }, 5000)) << rx.log();
    EXPECT_TRUE(wait_until(
        [&] { return sb.table<MONITOR_TABLE::RequestFlg>("/tmp/mmapfile_flg").snmp_trap_set_configuration == 1; }, 2000));
    // The input's traps went out before the test trap: none to 0.0.0.0,
    // which would have come back here.
    for (const auto& t : rx.traps()) EXPECT_NE(t.community, "public") << t.trap_oid();
    EXPECT_EQ(count_of(sb.applog(), "0.0.0.0"), 0) << sb.applog();
    EXPECT_EQ(count_of(sb.applog(), "/pub"), 0) << "no community in the log";

    // Analog input 1 normal, then beyond its alert level, then back: once
    // the state threads judge (from the next whole minute).
    // 7.2 mA on 4-20 mA shown as 0-100.00 reads 20.00, 9.6 mA 35.00.
    kvtsim(sb, {"ai", "1", "7.2mA"});
    ASSERT_TRUE(p.wait_console("NX40B_sensor_state_thread tid", 75000)) << p.console();
    ASSERT_TRUE(wait_until([&] { return kvtsim(sb, {"value", "ai", "1"}) == "2000 1\n"; }, 3000));
    kvtsim(sb, {"ai", "1", "9.6mA"});
    const std::string alert = ROOT + ".3.3.2";
    ASSERT_TRUE(wait_until([&] {
        auto t = rx.traps();
        return !of(t, ROOT + ".3.5.2", "pubv2").empty() && !of(t, alert, "pub").empty() &&
               !of(t, alert, "pubv2").empty();
    }, 5000)) << rx.log();
    const ReceivedTrap exp = of(rx.traps(), ROOT + ".3.5.2", "pubv2")[0];
    EXPECT_EQ(exp.value(ROOT + ".3.5.2.2.3"), "INTEGER: 3");
    EXPECT_EQ(exp.value(ROOT + ".3.5.2.3.1"), "INTEGER: 3500");

    kvtsim(sb, {"ai", "1", "7.2mA"});
    const std::string back = ROOT + ".3.3.4";  // normal again after an alert
    ASSERT_TRUE(wait_until([&] { return !of(rx.traps(), back, "pubv2").empty(); }, 5000)) << rx.log();

    p.signal(SIGTERM);
    EXPECT_EQ(p.wait_exit(5000), 0) << p.console();
    EXPECT_NE(p.console().find("end snmp_trap_thread\n"), std::string::npos);
}

// SNMPv3 notifications: a trap to a receiver of version 2 that knows the
// user keyed to this agent's engine, an inform to one of version 3 keyed to
// snmptrapd's own engine, and an inform to a receiver that never answers,
// tried three times 5 s apart while the others are served.
TEST(TrapsE2E, SnmpV3TrapInformAndSilentReceiverRetriedAndLogged)
{
    TestSandbox sb;
    dbtest::Conn db(sb.path("/opt/KVT7400/db.sqlite3"));
    db.exec("UPDATE webapp_snmp_user SET snmp_user_name='traps256', snmp_user_auth=3,"
            " snmp_user_auth_pass='trap-auth-phrase', snmp_user_priv=1, snmp_user_priv_pass='trap-priv-phrase',"
            " snmp_user_enable=1 WHERE id=2;"
            "UPDATE webapp_snmp_user SET snmp_user_name='informs512', snmp_user_auth=5,"
            " snmp_user_auth_pass='inform-auth-phrase', snmp_user_priv=3, snmp_user_priv_pass='inform-priv-phrase',"
            " snmp_user_enable=1 WHERE id=3;"
            "UPDATE webapp_snmp_trap_send SET snmp_trap_send_sendto='127.0.0.1', snmp_trap_send_version=2,"
            " snmp_trap_send_user=2 WHERE id=1;"
            "UPDATE webapp_snmp_trap_send SET snmp_trap_send_sendto='127.0.0.1', snmp_trap_send_version=3,"
            " snmp_trap_send_user=3 WHERE id=2;"
            "UPDATE webapp_snmp_trap_send SET snmp_trap_send_sendto='127.0.0.2', snmp_trap_send_version=3,"
            " snmp_trap_send_user=3 WHERE id=3;");
    const std::string dir = sb.root() + "/trapd";
    mkdir(dir.c_str(), 0755);
    // The trap user under the agent's engine ID (enterprise 58213, eth0's
    // MAC 00:1A:2B:3C:4D:5E), the inform user under snmptrapd's own.
    TrapReceiver rx(dir, {},
                    "createUser -e 0x8000E36503001A2B3C4D5E traps256 SHA-256 trap-auth-phrase AES trap-priv-phrase\n"
                    "createUser informs512 SHA-512 inform-auth-phrase AES256 inform-priv-phrase\n"
                    "authUser log traps256 priv\nauthUser log informs512 priv\n");
    ASSERT_TRUE(rx.ready(10000)) << rx.log();
    // The silent receiver: a socket on the trap port of 127.0.0.2 that reads
    // and never answers.
    int silent = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(rx.port()));
    inet_pton(AF_INET, "127.0.0.2", &at.sin_addr);
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    SimProcess p(sb.root(), {"KVT_TRAP_PORT=" + std::to_string(rx.port()),
                             "KVT_SNMP_PORT=" + std::to_string(snmp_wire::free_udp_port())});
    ASSERT_TRUE(p.wait_started(30000)) << p.console();
    ASSERT_TRUE(p.wait_console("snmp_trap_thread tid  : ", 5000)) << p.console();

    std::string out;
    ASSERT_EQ(run_program({KVTCTL, "-r", sb.root(), "send", "52,3,"}, &out), 0) << out;
    const auto first_try = std::chrono::steady_clock::now();
    ASSERT_EQ(run_program({KVTCTL, "-r", sb.root(), "send", "52,1,"}, &out), 0) << out;
    ASSERT_EQ(run_program({KVTCTL, "-r", sb.root(), "send", "52,2,"}, &out), 0) << out;
    auto test_traps = [&](const std::string& user) {
        std::vector<ReceivedTrap> v;
        for (const auto& t : rx.traps())
            if (t.version == "v3" && t.user == user && t.trap_oid() == ROOT + ".3.1.6") v.push_back(t);
        return v;
    };
    EXPECT_TRUE(wait_until([&] { return test_traps("traps256").size() == 1; }, 5000)) << rx.log() << p.console();
    EXPECT_TRUE(wait_until([&] { return test_traps("informs512").size() == 1; }, 5000)) << rx.log() << p.console();
    EXPECT_TRUE(wait_until([&] { return sb.applog().find("SNMPv3 inform acknowledged:127.0.0.1/2/3") != std::string::npos; },
                           3000)) << sb.applog();
    if (!test_traps("informs512").empty()) {
        EXPECT_EQ(test_traps("informs512")[0].value(ROOT + ".3.2.6"), "INTEGER: 1");
    }

    // Three tries to the silent one, 5 s apart, then the line that says so.
    std::vector<double> arrivals;
    pollfd pf{silent, POLLIN, 0};
    const auto deadline = first_try + std::chrono::seconds(14);
    while (std::chrono::steady_clock::now() < deadline) {
        const int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        if (poll(&pf, 1, left > 0 ? left : 0) != 1) break;
        unsigned char buf[2048];
        // The kernel's time of arrival: the datagrams may have waited here.
        timeval tv{};
        if (recv(silent, buf, sizeof buf, 0) > 0 && ioctl(silent, SIOCGSTAMP, &tv) == 0)
            arrivals.push_back(static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6);
    }
    close(silent);
    ASSERT_EQ(arrivals.size(), 3u);
    EXPECT_NEAR(arrivals[1] - arrivals[0], 5.0, 0.7);
    EXPECT_NEAR(arrivals[2] - arrivals[1], 5.0, 0.7);
    EXPECT_TRUE(wait_until([&] {
        return sb.applog().find("SNMPv3 inform never acknowledged: 127.0.0.2/3/3 after 3 tries") != std::string::npos;
    }, 7000)) << sb.applog();
    EXPECT_EQ(sb.applog().find("phrase"), std::string::npos);
    EXPECT_EQ(p.console().find("phrase"), std::string::npos);
}
