// Traps: every state change on trap_que is announced to the trap receivers,
// as expansion traps (port, state and value bindings under 3.5, one per
// matching scenario entry) and complement traps (one packed word under 3.3
// and 3.4, to every configured receiver). Messages are SNMPv1 Trap-PDUs or
// SNMPv2c SNMPv2-Trap PDUs, built backwards with the agent's BER codec.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "codes.h"
#include "common.h"
#include "platform.h"
#include "snmp.h"

const char* const oid_systraps = "3.1.";
const char* const oid_trapinfo = "3.2.";
const char* const oid_test = "6";
const char* const oid_complement_systraps = "3.3.";
const char* const oid_complement_trapinfo = "3.4.";
const char* const oid_expansion_varbinds = "3.5.";
int trap_port = 0;

namespace {

const char* const OID_SYSUPTIME = "1.3.6.1.2.1.1.3.0";
const char* const OID_SNMPTRAPOID = "1.3.6.1.6.3.1.1.4.1.0";
const char* const OID_DATE = "1.3.6.1.2.1.25.1.2.0";
constexpr int DATE_LEN = 11;
constexpr int TRAP_MAX = 1024;  // a longer trap is still sent, but reported
constexpr int SCENARIO_ENTRIES = 192;
constexpr int SCENARIOS_PER_RECEIVER = 24;

// The message under construction, in reverse byte order. `ok` drops to
// false once anything could not be encoded or would not fit.
struct Reversed {
    unsigned char* b;
    const char* call;  // the builder, for its messages
    int n = 0;
    bool ok = true;

    bool room(int len)
    {
        if (n + len > SNMP_BUF_SIZE) ok = false;
        return ok;
    }
    void put(const unsigned char* f, int len)
    {
        if (!room(len)) return;
        for (int i = len - 1; i >= 0; --i) b[n++] = f[i];
    }
    // Tag and length of the n octets written so far.
    void wrap(unsigned char tag)
    {
        unsigned char h[6];
        int c = 0;
        h[c++] = tag;
        length_to_hex(static_cast<uint32_t>(n), c, h);
        put(h, c);
    }
    // An INTEGER or TimeTicks of minimal octets; INTEGERs get a sign octet
    // where the top bit would read as negative.
    void uint(unsigned char tag, uint32_t v)
    {
        unsigned char t[7];
        int k = v < 0x100u ? 1 : v < 0x10000u ? 2 : v < 0x1000000u ? 3 : 4;
        int c = 2;
        if (tag == BER::INTEGER && ((v >> (8 * (k - 1))) & 0x80u)) t[c++] = 0;
        for (int i = k - 1; i >= 0; --i) t[c++] = static_cast<unsigned char>(v >> (8 * i));
        t[0] = tag;
        t[1] = static_cast<unsigned char>(c - 2);
        put(t, c);
    }
    void octets(const unsigned char* s, int len)
    {
        put(s, len);
        unsigned char h[6];
        int c = 0;
        h[c++] = BER::OCTET_STRING;
        length_to_hex(static_cast<uint32_t>(len), c, h);
        put(h, c);
    }
    void oid(const char* text)
    {
        unsigned char v[2 + SNMP_OID_OCTETS_MAX];
        int len = 0;
        if (oid_to_hex(text, v + 2, len) != 0) {
            std::printf("%s: enterprise %s is no object identifier, trap not built\n", call, text);
            ok = false;
            return;
        }
        v[0] = BER::OID;
        v[1] = static_cast<unsigned char>(len);
        put(v, 2 + len);
    }
    // One variable binding through the codec, which writes it reversed.
    template <typename F>
    void varbind(const char* name, F encode)
    {
        constexpr int VARBIND_ROOM = 4 + 2 + SNMP_OID_OCTETS_MAX + 4 + SNMP_STR_SIZE;
        if (!room(VARBIND_ROOM)) return;
        int size = encode(b, n);
        if (size == 0) {
            std::printf("%s: variable binding %s cannot be encoded, trap not built\n", call, name);
            ok = false;
        }
        n += size;
    }
};

// The bindings after sysUpTime and snmpTrapOID, written last first.
void value_bindings(Reversed& r, const char* trapinfo, int value, const unsigned char* date,
                    const Trap_Expansion_Varbinds* TEV)
{
    r.varbind(OID_DATE, [&](unsigned char* b, int n) {
        return add_packet_string(b, OID_DATE, reinterpret_cast<const char*>(date), DATE_LEN, n);
    });
    auto integer = [&](const char* name, int v) {
        r.varbind(name, [&](unsigned char* b, int n) { return add_packet_int(b, name, v, n, BER::INTEGER); });
    };
    if (TEV) {
        integer(TEV->value_oid, TEV->value);
        integer(TEV->state_oid, TEV->state);
        integer(TEV->port_oid, TEV->port);
    } else {
        integer(trapinfo, value);
    }
}

// Community and version in front of the PDU, then the message SEQUENCE;
// returns the forward message length, 0 when it could not be built.
int finish(Reversed& r, const char* community, int version)
{
    const int len = static_cast<int>(strnlen(community, SNMP_STR_SIZE - 1));
    r.octets(reinterpret_cast<const unsigned char*>(community), len);
    r.uint(BER::INTEGER, static_cast<uint32_t>(version));
    r.wrap(BER::SEQUENCE);
    if (!r.ok) return 0;
    reverse_packet(r.b, r.n);
    return r.n;
}

// Why the last send of this thread failed (an errno value, 0 when the
// receiver was no address): for the failure line of the caller.
thread_local int send_errno = 0;

// Sends one built trap to port 162 (or the simulated board's port) of
// dest_ip; 0 when the whole message went out.
int send_trap(const char* call, const char* dest_ip, const unsigned char* msg, int len)
{
    send_errno = 0;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    if (!dest_ip || inet_pton(AF_INET, dest_ip, &to.sin_addr) != 1) {
        std::printf("%s: receiver \"%s\" is no IPv4 address, trap not sent\n", call, dest_ip ? dest_ip : "");
        return 1;
    }
    const TrapSend how = platform_trap_send();
    to.sin_port = htons(static_cast<uint16_t>(how.port));
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) {
        send_errno = errno;
        std::printf("%s: socket() error %x\n", call, send_errno);
        return 1;
    }
    if (how.bind_addr != 0) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(how.bind_addr);
        if (bind(s, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
            send_errno = errno;
            std::printf("%s: bind() error %x\n", call, send_errno);
            close(s);
            return 1;
        }
    }
    ssize_t sent = sendto(s, msg, static_cast<size_t>(len), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    const int err = sent < 0 ? errno : EMSGSIZE;
    close(s);
    if (sent != len) {
        send_errno = err;
        std::printf("%s: sendto %s:%d failed: %s\n", call, dest_ip, how.port, std::strerror(err));
        return 1;
    }
    return 0;
}

// A receiver entry names a receiver only with an address other than
// 0.0.0.0: the factory fills unused entries with it, and a trap sent there
// would come back to the appliance itself.
bool has_receiver(const char* sendto)
{
    if (sendto[0] == '\0') return false;
    in_addr a{};
    return !(inet_pton(AF_INET, sendto, &a) == 1 && a.s_addr == htonl(INADDR_ANY));
}

// What the log says of a send: receiver address, receiver number (1-8,
// never the community) and version, then the caller's details.
std::string receiver_text(const SETTINGS_TABLE::Snmp_trap& r, int d)
{
    return std::string(r.sendto) + "/" + std::to_string(d + 1) + "/" + std::to_string(r.version);
}

int build_and_send(const char* call, const char* dest_ip, const unsigned char* msg, int len)
{
    if (len == 0) return 1;
    if (send_trap(call, dest_ip, msg, len) != 0) return 1;
    if (len > TRAP_MAX) {
        std::printf("%s: trap of %d bytes to %s is over %d bytes\n", call, len, dest_ip, TRAP_MAX);
        return 1;
    }
    return 0;
}

int clamp_int(long v) { return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v); }

std::string with_root(const char* root, const char* subtree, const std::string& rest)
{
    return std::string(root) + subtree + rest;
}

}  // namespace

// ---- Builders ---------------------------------------------------------------------

int build_trapV2(unsigned char* out, const char* Community, const char* systraps, const char* trapinfo, int value,
                 const unsigned char* date, int e_status, int e_index, const Trap_Expansion_Varbinds* TEV)
{
    Reversed r{out, "create_trapV2"};
    value_bindings(r, trapinfo, value, date, TEV);
    r.varbind(OID_SNMPTRAPOID, [&](unsigned char* b, int n) { return add_packet_oid(b, OID_SNMPTRAPOID, systraps, n); });
    r.varbind(OID_SYSUPTIME, [&](unsigned char* b, int n) { return add_packet_int(b, OID_SYSUPTIME, 0, n, BER::TIMETICKS); });
    r.wrap(BER::SEQUENCE);
    const unsigned char index[3] = {BER::INTEGER, 1, static_cast<unsigned char>(e_index)};
    const unsigned char status[3] = {BER::INTEGER, 1, static_cast<unsigned char>(e_status)};
    const unsigned char request_id[3] = {BER::INTEGER, 1, 0};
    r.put(index, 3);
    r.put(status, 3);
    r.put(request_id, 3);
    r.wrap(BER::TRAP2);
    return finish(r, Community, 1);
}

int build_trapV1(unsigned char* out, const char* Community, const char* systraps, const char* trapinfo, int value,
                 const unsigned char* date, unsigned int agent_addr, unsigned int time_stamp, int specific,
                 int generic, const Trap_Expansion_Varbinds* TEV)
{
    if (specific < 0 || specific > 255 || generic < 0 || generic > 255) {
        std::printf("create_trapV1: generic %d / specific %d outside 0-255, trap not built\n", generic, specific);
        return 0;
    }
    Reversed r{out, "create_trapV1"};
    value_bindings(r, trapinfo, value, date, TEV);
    r.wrap(BER::SEQUENCE);
    r.uint(BER::TIMETICKS, time_stamp);
    r.uint(BER::INTEGER, static_cast<uint32_t>(specific));
    r.uint(BER::INTEGER, static_cast<uint32_t>(generic));
    const unsigned char addr[6] = {BER::IPADDRESS, 4, static_cast<unsigned char>(agent_addr >> 24),
                                   static_cast<unsigned char>(agent_addr >> 16),
                                   static_cast<unsigned char>(agent_addr >> 8), static_cast<unsigned char>(agent_addr)};
    r.put(addr, 6);
    r.oid(systraps);
    r.wrap(BER::TRAP);
    return finish(r, Community, 0);
}

int create_trapV2(const char* Community, const char* systraps, const char* trapinfo, int value,
                  const unsigned char* date, const char* dest_ip, int e_status, int e_index,
                  const Trap_Expansion_Varbinds* TEV)
{
    unsigned char msg[SNMP_BUF_SIZE];
    int len = build_trapV2(msg, Community, systraps, trapinfo, value, date, e_status, e_index, TEV);
    return build_and_send("create_trapV2", dest_ip, msg, len);
}

int create_trapV1(const char* Community, const char* systraps, const char* trapinfo, int value,
                  const unsigned char* date, const char* dest_ip, unsigned int time_stamp, int specific, int generic,
                  const Trap_Expansion_Varbinds* TEV)
{
    unsigned char msg[SNMP_BUF_SIZE];
    int len = build_trapV1(msg, Community, systraps, trapinfo, value, date, platform_trap_agent_addr(), time_stamp,
                           specific, generic, TEV);
    return build_and_send("create_trapV1", dest_ip, msg, len);
}

// ---- Rules ------------------------------------------------------------------------

Trap_message parse_trap_message(const char* msg)
{
    Trap_message m{};
    const char* p = msg ? msg : "";
    bool more = true;
    for (int f = 0; f < 6; ++f) {
        size_t keep = 0;
        if (more) {
            const char* end = std::strchr(p, ',');
            const size_t len = end ? static_cast<size_t>(end - p) : std::strlen(p);
            keep = len < sizeof m.text[f] - 1 ? len : sizeof m.text[f] - 1;
            std::memcpy(m.text[f], p, keep);
            if (end) p = end + 1;
            else more = false;
        }
        m.text[f][keep] = '\0';
        if (keep == 0) std::strcpy(m.text[f], "0");
    }
    auto num = [](const char* t) { return clamp_int(std::strtol(t, nullptr, 10)); };
    m.type = num(m.text[0]);
    m.port = num(m.text[1]);
    m.state = num(m.text[2]);
    m.flg = num(m.text[4]);
    m.prev = num(m.text[5]);
    m.value = std::strtod(m.text[3], nullptr);
    if (std::isnan(m.value)) m.value = 0;
    const double whole = std::trunc(m.value);
    m.level = whole >= INT_MAX ? INT_MAX : whole <= INT_MIN ? INT_MIN : static_cast<int>(whole);
    return m;
}

int trap_mapped_state(int state)
{
    switch (state) {
    case STATE::NORMAL: case STATE::CAUTION: case STATE::ALERT: case STATE::ERROR: return state;
    case STATE::UPPER_ALERT: case STATE::LOWER_ALERT: return STATE::ALERT;
    case STATE::UPPER_CAUTION: case STATE::LOWER_CAUTION: return STATE::CAUTION;
    default: return STATE::ERROR;  // no state, and codes the judgement never gives
    }
}

int trap_packed_word(int kind, int port)
{
    int code = 0;
    switch (kind) {
    case KIND::DIO: code = 4; break;
    case KIND::AI: code = 16; break;
    case KIND::WIRE_T: code = 28; break;
    case KIND::WIRE_H: code = 32; break;
    case KIND::VLXA_T: code = 76; break;
    case KIND::VLXA_H: code = 80; break;
    case KIND::VLXA_BAT: code = 84; break;
    case KIND::NX40_T: code = 88; break;
    case KIND::NX40_BAT: code = 92; break;
    default: break;
    }
    // Probes 65-128 and humidity probes 9-16 hang on the second 1-Wire channel.
    int p = port;
    int second_channel = 0;
    if (kind == KIND::WIRE_T && port > 64) {
        p = port - 64;
        second_channel = 1;
    } else if (kind == KIND::WIRE_H && port > 8) {
        p = port - 8;
        second_channel = 1;
    }
    const uint32_t w = (static_cast<uint32_t>(p) & 127u) << 25 | static_cast<uint32_t>(code) |
                       static_cast<uint32_t>(second_channel);
    return static_cast<int>(w);
}

int complement_trap_number(int kind, int level, int state, int prev)
{
    if (kind == KIND::DIO) return level == 0 ? 5 : level == 1 ? 6 : -1;
    switch (state) {
    case STATE::CAUTION: case STATE::UPPER_CAUTION: case STATE::LOWER_CAUTION: return 1;
    case STATE::ALERT: case STATE::UPPER_ALERT: case STATE::LOWER_ALERT: return 2;
    case STATE::ERROR: return 7;
    case STATE::NORMAL:
        switch (prev) {
        case STATE::CAUTION: case STATE::UPPER_CAUTION: case STATE::LOWER_CAUTION: return 3;
        case STATE::ALERT: case STATE::UPPER_ALERT: case STATE::LOWER_ALERT: return 4;
        case STATE::NONE: case STATE::ERROR: return 8;
        default: return -1;
        }
    default: return -1;
    }
}

int trap_event_bits(int type, int state, double value, int flg)
{
    if (type == KIND::DIO) {
        const int level = value == 1.0 ? EVENT::ON : EVENT::OFF;
        if (flg != 0) return level;
        switch (state) {
        case STATE::NONE: case STATE::ERROR: return level | EVENT::NONE;
        case STATE::NORMAL: return level | EVENT::NORMAL;
        case STATE::CAUTION: return level | EVENT::CAUTION;
        case STATE::ALERT: return level | EVENT::ALERT;
        default: return level;
        }
    }
    // Measured kinds go by side: upper states on the alert bit, lower ones
    // on the caution bit.
    switch (state) {
    case STATE::NONE: case STATE::ERROR: return EVENT::NONE;
    case STATE::NORMAL: return EVENT::NORMAL;
    case STATE::CAUTION: case STATE::LOWER_CAUTION: case STATE::LOWER_ALERT: return EVENT::CAUTION;
    case STATE::ALERT: case STATE::UPPER_ALERT: case STATE::UPPER_CAUTION: return EVENT::ALERT;
    default: return 0;
    }
}

int trap_senario_check(int type, int port, int state, double value, int flg)
{
    const int bits = trap_event_bits(type, state, value, flg);
    while (trap_port >= 0 && trap_port < SCENARIO_ENTRIES) {
        const int i = trap_port++;
        const auto& s = admin_settings.snmp_trap_scenario[i];
        // sensor 1 selects every port of the kind, otherwise port + 1 one port.
        const bool port_hit = s.sensor == 1 || static_cast<long long>(s.sensor) == static_cast<long long>(port) + 1;
        if (s.enable && s.sensortype == type && port_hit && (s.state & bits)) return i / SCENARIOS_PER_RECEIVER;
    }
    return -1;
}

bool fill_expansion(const Trap_message& m, const char* root, Trap_Expansion_Varbinds& tev)
{
    tev = Trap_Expansion_Varbinds{};
    const int s = trap_mapped_state(m.state);
    const std::string systraps = with_root(root, oid_expansion_varbinds, m.text[0]);
    const std::string port_oid = systraps + ".1." + m.text[1];
    const std::string state_oid = systraps + ".2." + std::to_string(s);
    const std::string value_oid = systraps + ".3." + m.text[1];
    for (const std::string* t : {&systraps, &port_oid, &state_oid, &value_oid})
        if (t->size() >= sizeof tev.port_oid) return false;
    copy_text(tev.systraps, systraps);
    copy_text(tev.port_oid, port_oid);
    copy_text(tev.state_oid, state_oid);
    copy_text(tev.value_oid, value_oid);
    tev.type = static_cast<unsigned char>(m.type);
    tev.port = m.port;
    tev.state = s;
    // Digital I/O carries its level as 20 (on) or 10 (off).
    tev.value = m.type == KIND::DIO ? (m.level != 0 ? 20 : 10) : m.level;
    return true;
}

// ---- Sending ----------------------------------------------------------------------

int trap_send_action_expansion(const char* ip, const char* community, int version,
                               const Trap_Expansion_Varbinds* TEV)
{
    unsigned char date[DATE_LEN];
    get_date_string(date);
    if (version != 0) return create_trapV2(community, TEV->systraps, TEV->systraps, 55, date, ip, 0, 0, TEV);
    return create_trapV1(community, TEV->systraps, TEV->systraps, 55, date, ip, 0, 0, 6, TEV);
}

int trap_send_action_normal(const char* ip, const char* community, int version, const Trap_Expansion_Varbinds* TEV,
                            int value)
{
    unsigned char date[DATE_LEN];
    get_date_string(date);
    std::string trapinfo = with_root(oid_head, oid_complement_trapinfo, "");
    trapinfo.pop_back();  // the binding is the subtree itself, without an instance
    if (version != 0) return create_trapV2(community, TEV->systraps, trapinfo.c_str(), value, date, ip, 0, 0, nullptr);
    return create_trapV1(community, TEV->systraps, trapinfo.c_str(), value, date, ip, 0, 0, 6, nullptr);
}

int send_test_trap(int num)
{
    if (num < 0 || num >= SETTINGS_TABLE::TRAP_NUM) {
        std::printf("send_test_trap: receiver %d is not 1-%d\n", num + 1, SETTINGS_TABLE::TRAP_NUM);
        return 1;
    }
    const auto& dst = admin_settings.snmp_trap[num];
    if (!has_receiver(dst.sendto)) {
        std::printf("send_test_trap: receiver %d has no address, no test trap\n", num + 1);
        return 1;
    }
    const std::string systraps = with_root(oid_head, oid_systraps, oid_test);
    const std::string trapinfo = with_root(oid_head, oid_trapinfo, oid_test);
    unsigned char date[DATE_LEN];
    get_date_string(date);
    if (dst.version == 0) {
        std::printf("trapv1\n");
        return create_trapV1(dst.community, systraps.c_str(), trapinfo.c_str(), 1, date, dst.sendto, 0, 0, 6, nullptr);
    }
    if (dst.version == 1) {
        int rc = create_trapV2(dst.community, systraps.c_str(), trapinfo.c_str(), 1, date, dst.sendto, 0, 0, nullptr);
        std::printf("trapv2 %d\n", rc);
        return rc;
    }
    std::printf("send_test_trap: receiver %d has version %d, no test trap\n", num + 1, dst.version);
    return 1;
}

void trap_process_message(const char* msg)
{
    const Trap_message m = parse_trap_message(msg);
    const auto& receivers = admin_settings.snmp_trap;

    if (check_change_state(m.prev, m.state)) {
        trap_port = 0;
        for (int d; (d = trap_senario_check(m.type, m.port, m.state, m.value, m.flg)) != -1;) {
            Trap_Expansion_Varbinds tev;
            if (!fill_expansion(m, oid_head, tev)) {
                std::printf("trapExpansionVarbind: kind %s port %s makes names too long, no trap\n", m.text[0],
                            m.text[1]);
                continue;
            }
            const auto& r = receivers[d];
            if (!has_receiver(r.sendto)) continue;
            const std::string what = receiver_text(r, d) + "/" + tev.port_oid + "/" + m.text[3];
            if (trap_send_action_expansion(r.sendto, r.community, r.version, &tev) != 0) {
                report_error("trapExpansionVarbind send failed:", what, send_errno);
                continue;
            }
            std::printf("trapExpansionVarbind success.\n");
            applog("trapExpansionVarbind send:" + what);
        }
        trap_port = 0;
    }

    const int n = complement_trap_number(m.type, m.level, m.state, m.prev);
    if (n < 0) return;
    const int word = trap_packed_word(m.type, m.port);
    Trap_Expansion_Varbinds tev{};
    copy_text(tev.systraps, with_root(oid_head, oid_complement_systraps, std::to_string(n)));
    for (int d = 0; d < SETTINGS_TABLE::TRAP_NUM; ++d) {
        const auto& r = receivers[d];
        if (!has_receiver(r.sendto)) continue;
        const std::string what = receiver_text(r, d) + "/" + tev.systraps + "/" + std::to_string(word);
        if (trap_send_action_normal(r.sendto, r.community, r.version, &tev, word) != 0) {
            report_error("complementSysTraps send failed:", what, send_errno);
            continue;
        }
        std::printf("complementSysTraps Send success.\n");
        applog("complementSysTraps send:" + what);
    }
}

/*
 * snmp_trap_thread: the one consumer of `trap_que`.
 * Owns: the trap sockets (one per trap, closed after sending) and the
 *   scenario cursor `trap_port`.
 * Waits on: the queue, at most 1 s at a time; a message wakes it at once.
 * Order: messages in queue order; per message its expansion traps in
 *   scenario order, then its complement traps in receiver order.
 * Stopped by: `control` dropping to 0 (seen within 1 s); messages already
 *   queued are still sent.
 */
void* snmp_trap_thread(void*)
{
    std::printf("snmp_trap_thread tid  : %ld\n", thread_tid());
    while (control) {
        if (!trap_que.wait_for(std::chrono::seconds(1))) continue;
        while (!trap_que.empty()) {
            trap_process_message(trap_que.front().c_str());
            trap_que.pop();
        }
    }
    std::printf("end snmp_trap_thread\n");
    return nullptr;
}
