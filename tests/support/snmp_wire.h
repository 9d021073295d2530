// Building SNMP datagrams by hand, as a manager would send them, for tests
// and benchmarks that must not rely on the agent's own encoder.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <initializer_list>
#include <vector>

#include "process.h"

namespace snmp_wire {

using Bytes = std::vector<unsigned char>;

// Tag, BER length, content.
inline Bytes tlv(unsigned char tag, const Bytes& content)
{
    Bytes t{tag};
    const size_t n = content.size();
    if (n >= 256) {
        t.push_back(0x82);
        t.push_back(static_cast<unsigned char>(n >> 8));
    } else if (n >= 128) {
        t.push_back(0x81);
    }
    t.push_back(static_cast<unsigned char>(n & 0xFF));
    t.insert(t.end(), content.begin(), content.end());
    return t;
}

inline Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& p : parts)
        for (unsigned char b : p) out.push_back(b);
    return out;
}

inline int free_udp_port() { return free_port(SOCK_DGRAM); }

}  // namespace snmp_wire
