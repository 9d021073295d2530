// Network settings: the netmask rule and the rewritten network unit (the
// thread that applies them and asks for the restart runs end to end).
#include <gtest/gtest.h>

#include "common.h"
#include "sysadmin.h"

using namespace SETTINGS_TABLE;

namespace {

Network net(bool dhcp, const char* ip, const char* mask, const char* gw)
{
    Network n{};
    n.dhcp = dhcp;
    copy_text(n.ipaddr, ip);
    copy_text(n.netmask, mask);
    copy_text(n.gateway, gw);
    return n;
}

const std::string OLD_UNIT = "[Match]\nName=eth0\n\n[Network]\nAddress=10.1.1.1/8\nGateway=10.0.0.1\nDNS=10.0.0.2\n";
const std::string KEPT = "[Match]\nName=eth0\n\n[Network]\n";

}  // namespace

TEST(NetworkTest, NetmaskOnlyCanonicalMasksGiveAPrefix)
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

TEST(NetworkTest, UnitAddressPartRegeneratedAfterTheNetworkSection)
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
