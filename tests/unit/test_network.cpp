// Network settings: the netmask rule, the rewritten system files and the
// thread that applies them and asks for the restart.
#include <gtest/gtest.h>

#include <thread>

#include "common.h"
#include "sandbox.h"
#include "sysadmin.h"

using namespace SETTINGS_TABLE;

namespace {

Network net(bool dhcp, const char* ip, const char* mask, const char* gw, const char* d1 = "", const char* d2 = "",
            const char* d3 = "")
{
    Network n{};
    copy_text(n.host, "kvt-test");
    n.dhcp = dhcp;
    copy_text(n.ipaddr, ip);
    copy_text(n.netmask, mask);
    copy_text(n.gateway, gw);
    copy_text(n.dns1, d1);
    copy_text(n.dns2, d2);
    copy_text(n.dns3, d3);
    return n;
}

const std::string OLD_UNIT = "[Match]\nName=eth0\n\n[Network]\nAddress=10.1.1.1/8\nGateway=10.0.0.1\nDNS=10.0.0.2\n";
const std::string KEPT = "[Match]\nName=eth0\n\n[Network]\n";

}  // namespace

TEST(NetmaskRule, OnlyCanonicalMasksGiveAPrefix)
{
    const std::pair<const char*, const char*> cases[] = {
        {"128.0.0.0", "/1"},         {"192.0.0.0", "/2"},         {"255.0.0.0", "/8"},
        {"255.255.0.0", "/16"},      {"255.255.128.0", "/17"},    {"255.255.255.0", "/24"},
        {"255.255.255.252", "/30"},  {"255.255.255.254", "/31"},  {"255.255.255.255", "/32"},
        {"255.255.255.000", ""},     {" 255.255.255.0", ""},      {"255.255.255.0 ", ""},
        {"0.0.0.0", ""},             {"255.0.255.0", ""},         {"", ""},
        {"255.255.255", ""},
    };
    for (const auto& [mask, suffix] : cases) EXPECT_EQ(SYSADMIN::netmask_suffix(mask), suffix) << "'" << mask << "'";
}

TEST(NetworkUnit, AddressPartRegeneratedAfterTheNetworkSection)
{
    struct Case {
        const char* what;
        std::string old_unit;
        Network n;
        std::string expected;
    };
    const Case cases[] = {
        {"static /24 with gateway", OLD_UNIT, net(false, "192.168.1.10", "255.255.255.0", "192.168.1.1"),
         KEPT + "Address=192.168.1.10/24\nGateway=192.168.1.1\n"},
        {"non-canonical mask: no suffix", OLD_UNIT, net(false, "192.168.1.10", "255.255.255.000", "192.168.1.1"),
         KEPT + "Address=192.168.1.10\nGateway=192.168.1.1\n"},
        {"no gateway", OLD_UNIT, net(false, "172.16.0.5", "255.240.0.0", ""), KEPT + "Address=172.16.0.5/12\n"},
        {"DHCP whatever the address", OLD_UNIT, net(true, "192.168.1.10", "255.255.255.0", "192.168.1.1"),
         KEPT + "DHCP=yes\n"},
        {"only the first [Network] counts", "[Network]\nA=1\n[Network]\n", net(true, "", "", ""),
         "[Network]\nDHCP=yes\n"},
        {"section line at the end without newline", "[Match]\nName=eth0\n[Network]", net(true, "", "", ""),
         "[Match]\nName=eth0\n[Network]\nDHCP=yes\n"},
        {"no section: one is added", "[Match]\nName=eth0", net(true, "", "", ""),
         "[Match]\nName=eth0\n[Network]\nDHCP=yes\n"},
        {"unreadable unit", "", net(false, "1.2.3.4", "255.0.0.0", ""), "[Network]\nAddress=1.2.3.4/8\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(SYSADMIN::network_unit(c.old_unit, c.n), c.expected);
    }
}

TEST(NetworkThread, RaisedFlagEndsInTheRestartRequest)
{
    TestSandbox sb;
    reset_run_flags();
    static MONITOR_TABLE::RequestFlg flg;
    static MONITOR_TABLE_CLASS mon;
    flg = {};
    mon.requestflg = &flg;
    monitor = &mon;
    admin_settings.network = net(true, "", "", "", "", "", "");
    std::thread th(network_thread, nullptr);

    // Other values of the flag are not a request.
    flg.network_set_configuration = 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    EXPECT_EQ(control.load(), 1);
    EXPECT_EQ(flg.network_set_configuration, 1);

    flg.network_set_configuration = 4;
    ASSERT_TRUE(wait_until([] { return control.load() == 0; }, 5000));
    th.join();
    EXPECT_EQ(flg.network_set_configuration, 0);
    EXPECT_EQ(rebootflg.load(), 1);
    EXPECT_NE(sb.read("/etc/systemd/network/10-eth.network").find("[Network]\nDHCP=yes\n"), std::string::npos);
    EXPECT_EQ(sb.read("/etc/hostname"), "kvt-test\n");
    EXPECT_EQ(sb.read("/etc/resolv.conf"), "nameserver \nnameserver \nnameserver \n");
    EXPECT_NE(sb.read("/log/app_log/applog1.txt").find("再起動します"), std::string::npos);
    monitor = nullptr;
    reset_run_flags();
}
