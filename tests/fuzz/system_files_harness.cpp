// The system files the service reads at start, every one of them given the
// same text: host name, wired unit, ifconfig output, resolver, NTP and
// syslog configuration, the package line and the update time, the web UI's
// session lines and settings program, the settings-change counter and the
// simulation file.
#include <cstring>

#include "command.h"
#include "common.h"
#include "harness.h"
#include "platform.h"
#include "sysadmin.h"

namespace {

constexpr const char* SETTINGS_PY = "A=1\nSESSION_EXPIRE_AT_BROWSER_CLOSE=True\nSESSION_COOKIE_AGE=600\nB=2\n";
constexpr const char* SESSION = "SESSION_EXPIRE_AT_BROWSER_CLOSE=False\nSESSION_COOKIE_AGE=60\n";

int sim_di[8];
float sim_ai[8], sim_temp[128], sim_humid[16];

void setup(const std::string& root)
{
    fuzz_sandbox(root, false);
    std::memset(&sensor_settings, 0, sizeof sensor_settings);
    std::memset(&admin_settings, 0, sizeof admin_settings);
    fuzz_snapshot_records();
}

template <size_t N>
void check_text(const char (&t)[N], const char* what)
{
    if (!std::memchr(t, 0, N)) fuzz_fail(std::string(what) + " runs past its array");
}

int feed(const uint8_t* data, size_t size)
{
    fuzz_restore_records();
    const std::string text(reinterpret_cast<const char*>(data), size);
    auto& a = admin_settings;
    parse_hostname(text, a.network);
    parse_eth_network(text, a.network);
    parse_ifconfig(text, a.network);
    parse_resolv_conf(text, a.network);
    parse_ntp_conf(text, a.time);
    parse_busybox_syslog(text, a.syslog);
    fuzz_check_texts("system files");

    copy_text(software_ver, SYSADMIN::version_from_package_line(text));
    copy_text(updatetime, SYSADMIN::updatetime_from_line(text));
    check_text(software_ver, "software_ver");
    check_text(updatetime, "updatetime");

    // Whatever the session text holds, the program keeps its other lines.
    const std::string merged = SYSADMIN::session_merge(SETTINGS_PY, text);
    if (merged.rfind("A=1\n", 0) != 0 || merged.size() < 4 + text.size()) fuzz_fail("session merge lost lines");
    SYSADMIN::session_merge(text, SESSION);

    if (!fuzz_put_file("/opt/kvt/sbin/count.txt", text)) fuzz_fail("write count.txt");
    chcntread();
    const int next = chcnt_next(chcnt);
    if (next < 1 || next > 5000) fuzz_fail("settings-change counter outside 1..5000");

    const int lines = parse_debug_text(text, sim_di, sim_ai, sim_temp, sim_humid);
    if (lines < 0 || lines > 169) fuzz_fail("simulation file of more lines than it has slots");
    return FUZZ_TAKEN;
}

}  // namespace

extern const FuzzHarness SYSTEM_FILES_HARNESS{"system_files", setup, feed, 4096, false};
