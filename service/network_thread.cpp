// network_thread: applies new network settings to the system files.
//
// Owns the request flag network_set_configuration once the settings writer
// has raised it to "saved, to be applied", and the files /etc/hostname, the
// wired unit and the
// resolver. Polls the flag every 50 ms; when raised it writes the files,
// puts the flag back to 0 and asks for the restart, since new addressing
// only takes effect after a reboot. A change whose files cannot be written
// stays pending and is tried again a minute later, without the restart.
// Stops when control drops to 0.
#include <cstdio>
#include <string>

#include "common.h"
#include "platform.h"
#include "sysadmin.h"

namespace {

constexpr int RETRY_MS = 60000;

}  // namespace

namespace SYSADMIN {

std::string netmask_suffix(const std::string& mask)
{
    for (int bits = 1; bits <= 32; ++bits) {
        unsigned long m = (0xFFFFFFFFul << (32 - bits)) & 0xFFFFFFFFul;
        std::string canon = std::to_string((m >> 24) & 0xFF) + "." + std::to_string((m >> 16) & 0xFF) + "." +
                            std::to_string((m >> 8) & 0xFF) + "." + std::to_string(m & 0xFF);
        if (mask == canon) return "/" + std::to_string(bits);
    }
    return "";
}

std::string network_unit(const std::string& old_unit, const SETTINGS_TABLE::Network& n)
{
    std::string out;
    bool have_section = false;
    size_t pos = 0;
    while (pos < old_unit.size() && !have_section) {
        size_t end = old_unit.find('\n', pos);
        size_t next = end == std::string::npos ? old_unit.size() : end + 1;
        std::string line = old_unit.substr(pos, next - pos);
        if (line == "[Network]\n" || line == "[Network]") {
            have_section = true;
            line = "[Network]\n";
        }
        out += line;
        pos = next;
    }
    // Address lines outside a [Network] section would leave the appliance
    // without an address after the restart.
    if (!have_section) {
        if (!out.empty() && out.back() != '\n') out += '\n';
        out += "[Network]\n";
    }
    if (n.dhcp) {
        out += "DHCP=yes\n";
    } else {
        out += std::string("Address=") + n.ipaddr + netmask_suffix(n.netmask) + "\n";
        if (n.gateway[0]) out += std::string("Gateway=") + n.gateway + "\n";
    }
    return out;
}

std::string resolv_text(const SETTINGS_TABLE::Network& n)
{
    return std::string("nameserver ") + n.dns1 + "\n" + "nameserver " + n.dns2 + "\n" + "nameserver " + n.dns3 +
           "\n";
}

bool network_apply()
{
    // Each file is replaced whole or not at all; the first that cannot be
    // written stops the rest, so the restart never comes up on a damaged set.
    const SETTINGS_TABLE::Network n = settings_copy(admin_settings.network);
    if (!write_text_file("/etc/hostname", std::string(n.host) + "\n")) return false;

    const char* unit = "/etc/systemd/network/10-eth.network";
    std::string old_unit;
    if (!read_text_file(unit, old_unit)) old_unit.clear();
    if (!write_text_file(unit, network_unit(old_unit, n))) return false;

    std::string resolv = resolv_text(n);
    std::printf("%s", resolv.c_str());
    if (!write_text_file("/tmp/resolv.conf", resolv)) return false;
    kvt_system("cp -f /tmp/resolv.conf /etc/resolv.conf");
    return true;
}

}  // namespace SYSADMIN

void* network_thread(void*)
{
    std::printf("network_thread tid  : %ld\n", thread_tid());
    while (control) {
        MONITOR_TABLE::RequestFlg* flg = monitor ? monitor->requestflg : nullptr;
        if (flg && flg->network_set_configuration == REQ::APPLY) {
            if (SYSADMIN::network_apply()) {
                flg->network_set_configuration = REQ::SAVED;
                reboot();
            } else {
                // The change stays pending; a full disk may clear.
                applog("network settings not applied, next attempt in 60 s");
                sleep_while_running(RETRY_MS);
            }
        }
        // The settings writer posts the request; the bound is for a flag set
        // by another process in the shared table.
        wait_for_request(1000);
    }
    std::printf("end network thread\n");
    return nullptr;
}
