#include "recv_harness.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "platform.h"
#include "sim_board.h"
#include "snmp.h"

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
