#include "recv_harness.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "platform.h"
#include "sim_board.h"
#include "snmp.h"
#include "snmp_usm.h"

void recv_harness_setup(const std::string& root)
{
    std::string dir = root;
    if (dir.empty()) {
        char tmpl[] = "/tmp/kvt-fuzz-XXXXXX";
        if (!mkdtemp(tmpl)) std::abort();
        dir = tmpl;
        std::string err;
        if (!simboard::sandbox_init(dir, "", err)) {
            std::fprintf(stderr, "sandbox_init %s: %s\n", dir.c_str(), err.c_str());
            std::abort();
        }
    }
    set_sandbox_root(dir);
    gpio2_open();
    monitor = new MONITOR_TABLE_CLASS();
    if (mmap_open() != 0) std::abort();
    monitor->initializeData();
    monitor->requestflg->is_7400 = 1;
    oid_change();
    auto& e = admin_settings.snmp[0];
    copy_text(e.ipaddr, "127.0.0.1");
    copy_text(e.community, "public");
    e.enable = true;
    snmp_prefix_Set(0);
    admin_settings.snmp_agent.snmp_v1v2c_enable = true;
    // SNMPv3 users of the seeds (requests of the net-snmp tools to the
    // simulator in its first start), at the first boot of the engine.
    admin_settings.snmp_agent.snmp_engine_boots = 1;
    struct {
        const char* name;
        int auth;
        const char* auth_pass;
        int priv;
        const char* priv_pass;
        int access;
    } users[] = {
        {"sha1rw", 1, "sha1-auth-phrase", 0, "", 1},
        {"aes128rw", 3, "sha256-auth-phrase", 1, "aes128-priv-phrase", 1},
        {"aes256ro", 5, "sha512-auth-phrase", 3, "aes256-priv-phrase", 0},
    };
    int i = 0;
    for (const auto& u : users) {
        auto& s = admin_settings.snmp_user[i];
        copy_text(s.snmp_user_name, u.name);
        s.snmp_user_auth = u.auth;
        copy_text(s.snmp_user_auth_pass, u.auth_pass);
        s.snmp_user_priv = u.priv;
        copy_text(s.snmp_user_priv_pass, u.priv_pass);
        s.snmp_user_access = u.access;
        s.snmp_user_enable = true;
        usm_user_set(i++);
    }
}

int recv_harness_feed(const uint8_t* data, size_t size)
{
    unsigned char buf[SNMP_BUF_SIZE] = {};
    const int n = static_cast<int>(size < sizeof buf ? size : sizeof buf);
    std::memcpy(buf, data, static_cast<size_t>(n));
    int out = 0;
    const int r = recv_message("127.0.0.1", n, buf, &out);
    if (r == 0 && (out < 2 || out > SNMP_RESPONSE_MAX)) std::abort();
    db_save.clear();  // nothing consumes what SETs queue here
    return r;
}
