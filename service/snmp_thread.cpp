// SNMP agent: access entries.
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "settings_table.h"

// Splits an access entry "a.b.c.d/len" into the address and the prefix
// length used by the access check. Without a length the whole address must
// match (64 selects the full 32-bit mask).
int snmp_prefix_Set(int num)
{
    if (num < 0 || num >= 8) return -1;
    auto& e = admin_settings.snmp[num];
    e.ipaddr[sizeof(e.ipaddr) - 1] = '\0';
    const char* slash = std::strchr(e.ipaddr, '/');
    size_t len = slash ? static_cast<size_t>(slash - e.ipaddr) : std::strlen(e.ipaddr);
    if (len > sizeof(e.ip_noprefix) - 1) len = sizeof(e.ip_noprefix) - 1;
    std::memmove(e.ip_noprefix, e.ipaddr, len);
    e.ip_noprefix[len] = '\0';
    e.prefix = slash ? static_cast<int>(std::strtol(slash + 1, nullptr, 10)) : 64;
    return 0;
}
