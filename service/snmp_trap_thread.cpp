// Traps: every state change on trap_que is announced to the trap receivers,
// as expansion traps (port, state and value bindings under 3.5, one per
// matching scenario entry) and complement traps (one packed word under 3.3
// and 3.4, to every configured receiver). Messages are SNMPv1 Trap-PDUs or
// SNMPv2c SNMPv2-Trap PDUs, built backwards with the agent's BER codec.
// Receivers of version 2 get the SNMPv2-Trap PDU in an SNMPv3 message
// secured as their user, with this agent as the authoritative engine;
// receivers of version 3 get it as an InformRequest, localized to their
// own engine (learnt from a probe), and are asked again until they answer.
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
#include <vector>

#include "codes.h"
#include "common.h"
#include "platform.h"
#include "snmp.h"
#include "snmp_v3.h"

const char oid_systraps[] = "3.1.";
const char oid_trapinfo[] = "3.2.";
const char oid_test[] = "6";
const char oid_complement_systraps[] = "3.3.";
const char oid_complement_trapinfo[] = "3.4.";
const char oid_expansion_varbinds[] = "3.5.";
// Next trap scenario entry to examine for the current message; 0 between
// messages. Only the trap thread moves it.
static int trap_port = 0;

void trap_senario_reset() { trap_port = 0; }
int trap_senario_pos() { return trap_port; }

namespace {

const char* const OID_SYSUPTIME = "1.3.6.1.2.1.1.3.0";
const char* const OID_SNMPTRAPOID = "1.3.6.1.6.3.1.1.4.1.0";
const char* const OID_DATE = "1.3.6.1.2.1.25.1.2.0";
constexpr int DATE_LEN = 11;
constexpr int TRAP_MAX = 1024;  // a longer trap is still sent, but reported
constexpr int SCENARIO_ENTRIES = 192;
constexpr int SCENARIOS_PER_RECEIVER = 24;
// A trap_que message asking for the test trap to receiver N (0-based) of
// version 2 or 3.
const char* const TEST_TRAP_TEXT = "test-trap,";

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
// dest_ip; 0 when the whole message went out. A failure is left to the
// caller to report, with send_errno (0 for a receiver that is no IPv4
// address).
int send_trap(const char* dest_ip, const unsigned char* msg, int len)
{
    send_errno = 0;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    if (!dest_ip || inet_pton(AF_INET, dest_ip, &to.sin_addr) != 1) {
        return 1;
    }
    const TrapSend how = platform_trap_send();
    to.sin_port = htons(static_cast<uint16_t>(how.port));
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) {
        send_errno = errno;
        return 1;
    }
    if (how.bind_addr != 0) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(how.bind_addr);
        if (bind(s, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
            send_errno = errno;
            close(s);
            return 1;
        }
    }
    ssize_t sent = sendto(s, msg, static_cast<size_t>(len), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    const int err = sent < 0 ? errno : EMSGSIZE;
    close(s);
    if (sent != len) {
        send_errno = err;
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
    if (send_trap(dest_ip, msg, len) != 0) return 1;
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

// ---- SNMPv3 notifications ----------------------------------------------------------

using Clock = std::chrono::steady_clock;
constexpr int INFORM_TRIES = 3;
constexpr auto INFORM_INTERVAL = std::chrono::seconds(5);

// Message and request ids of the notifications; used by the trap thread
// alone.
int32_t g_msg_id = 0;
int32_t g_request_id = 0;

int32_t next_id(int32_t& id)
{
    id = id >= 0x7FFFFFFF || id < 1 ? 1 : id + 1;
    return id;
}

// The PDU of a built v2c message: past the SEQUENCE header, the version
// (3 octets) and the empty community (2 octets).
bool pdu_of(const unsigned char* msg, int len, const unsigned char*& pdu, size_t& pdu_len)
{
    if (len < 4) return false;
    const int at = ((msg[1] & 0x80) ? 2 + (msg[1] & 0x7F) : 2) + 3 + 2;
    if (at + 2 > len) return false;
    pdu = msg + at;
    pdu_len = static_cast<size_t>(len - at);
    return true;
}

// The configured user of receiver d, looked up in the key table (keys
// localized to this engine); false with its line written when there is none.
bool receiver_user(int d, UsmUser& u)
{
    const int n = admin_settings.snmp_trap[d].user;
    const std::string who = "receiver " + std::to_string(d + 1) + " user " + std::to_string(n);
    if (n < 1 || n > SETTINGS_TABLE::SNMP_USER_NUM || !usm_user_find(admin_settings.snmp_user[n - 1].snmp_user_name, u)) {
        report_error("SNMPv3 notification: no enabled user of", who + " (not sent)");
        return false;
    }
    return true;
}

// What this thread knows of a receiver's engine, and the user's keys
// localized to it. `source` tells the settings the keys were made from.
struct RemoteEngine {
    USM::Bytes id;
    USM::RemoteClock clock;
    UsmUser user;
    std::string source;
};
// Used by the trap thread alone.
RemoteEngine g_remote[SETTINGS_TABLE::TRAP_NUM];

int64_t now_seconds()
{
    return std::chrono::duration_cast<std::chrono::seconds>(Clock::now().time_since_epoch()).count();
}

// The user of receiver d with keys for engine e.id, made again only when
// the engine or the user's settings changed; false when there is none.
bool keys_for(int d, RemoteEngine& e)
{
    const int n = admin_settings.snmp_trap[d].user;
    if (n < 1 || n > SETTINGS_TABLE::SNMP_USER_NUM) return false;
    const auto& s = admin_settings.snmp_user[n - 1];
    UsmUser local;
    if (!usm_user_find(s.snmp_user_name, local)) return false;
    std::string source = USM::hex(e.id) + '\n' + s.snmp_user_name + '\n' + std::to_string(s.snmp_user_auth) + '\n' +
                         s.snmp_user_auth_pass + '\n' + std::to_string(s.snmp_user_priv) + '\n' + s.snmp_user_priv_pass;
    if (source == e.source) return true;
    UsmUser u = local;
    u.auth_key.clear();
    u.priv_key.clear();
    if (u.auth != USM::Auth::NONE) {
        const USM::Bytes ku = USM::password_to_key(u.auth, s.snmp_user_auth_pass);
        u.auth_key = USM::localize_key(u.auth, ku, e.id);
        if (u.auth_key.empty()) return false;
    }
    if (u.priv != USM::Priv::NONE) {
        const USM::Bytes ku = USM::password_to_key(u.auth, s.snmp_user_priv_pass);
        u.priv_key = USM::priv_key(u.auth, u.priv, USM::localize_key(u.auth, ku, e.id));
        if (u.priv_key.empty()) return false;
    }
    e.user = std::move(u);
    e.source = std::move(source);
    return true;
}

// One InformRequest waiting for its Response.
struct Inform {
    int receiver;
    std::string what;        // for the log lines
    USM::Bytes pdu;          // the InformRequest PDU
    int32_t request_id;
    int32_t msg_id = 0;      // of the last message sent
    int sock = -1;
    int tries = 0;
    bool probing = true;     // the receiver's engine is still to be learnt
    Clock::time_point due;   // the next try
};
// Used by the trap thread alone.
std::vector<Inform> g_informs;

// A socket connected to the receiver's trap port, non-blocking; -1 when
// none could be made.
int inform_socket(const char* dest_ip)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    if (inet_pton(AF_INET, dest_ip, &to.sin_addr) != 1) return -1;
    const TrapSend how = platform_trap_send();
    to.sin_port = htons(static_cast<uint16_t>(how.port));
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    if (s < 0) return -1;
    if (how.bind_addr != 0) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(how.bind_addr);
        if (bind(s, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
            close(s);
            return -1;
        }
    }
    if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// Sends the probe (no security, empty engine ID, an empty GetRequest) or
// the inform secured for the receiver's engine.
void inform_send(Inform& in)
{
    static const unsigned char probe_pdu[] = {BER::GET, 11, BER::INTEGER, 1, 0, BER::INTEGER, 1, 0,
                                              BER::INTEGER, 1, 0, BER::SEQUENCE, 0};
    unsigned char msg[SNMP_BUF_SIZE];
    V3::Outgoing o;
    o.msg_id = in.msg_id = next_id(g_msg_id);
    o.reportable = true;
    o.context_engine = &usm_engine_id();
    size_t len = 0;
    RemoteEngine& e = g_remote[in.receiver];
    if (in.probing) {
        static const USM::Bytes none;
        o.engine_id = &none;
        o.context_engine = &none;
        o.pdu = probe_pdu;
        o.pdu_len = sizeof probe_pdu;
        len = V3::encode(o, msg, sizeof msg);
    } else {
        o.engine_id = &e.id;
        o.boots = e.clock.boots;
        const int64_t t = e.clock.time + (now_seconds() - e.clock.synced_at);
        o.time = t > USM::BOOTS_MAX ? USM::BOOTS_MAX : static_cast<int32_t>(t);
        o.user = &e.user;
        o.auth = o.priv = true;
        o.pdu = in.pdu.data();
        o.pdu_len = in.pdu.size();
        len = V3::encode(o, msg, sizeof msg);
    }
    if (len == 0 || send(in.sock, msg, len, 0) != static_cast<ssize_t>(len))
        std::printf("SNMPv3 inform %s: %s not sent\n", in.what.c_str(), in.probing ? "probe" : "inform");
}

// One datagram from the receiver: a Report teaches its engine (or its
// clock), a Response with the inform's request-id ends the wait. True when
// acknowledged.
bool inform_answer(Inform& in, const unsigned char* buf, size_t n)
{
    V3::Message m;
    if (!V3::decode(buf, n, m) || m.msg_id != in.msg_id) return false;
    RemoteEngine& e = g_remote[in.receiver];
    const USM::Bytes engine(m.engine_id, m.engine_id + m.engine_id_len);
    unsigned char plain[V3::MAX_MESSAGE_SIZE];
    const unsigned char* scoped = m.data;
    size_t scoped_len = m.data_len;
    const bool authed = (m.flags & V3::FLAG_AUTH) && !in.probing && engine == e.id;
    if (authed) {
        if (m.auth_len != USM::mac_length(e.user.auth) || !USM::verify(e.user.auth, e.user.auth_key, buf, n, m.auth_offset))
            return false;
        if (m.flags & V3::FLAG_PRIV) {
            if (!m.encrypted || m.priv_len != USM::SALT_SIZE || m.data_len > sizeof plain) return false;
            const USM::Bytes iv = USM::aes_iv(static_cast<uint32_t>(m.boots), static_cast<uint32_t>(m.time), m.priv);
            if (!USM::aes_cfb(e.user.priv, e.user.priv_key, iv, m.data, m.data_len, plain, false)) return false;
            scoped = plain;
        }
    } else if (m.encrypted) {
        return false;
    }
    V3::Scoped sc;
    if (!V3::decode_scoped(scoped, scoped_len, sc)) return false;
    if (sc.pdu_tag == V3::REPORT) {
        if (in.probing) {
            if (m.engine_id_len == 0) return false;
            e.id = engine;
            e.clock = USM::RemoteClock{m.boots, m.time, now_seconds(), m.time};
            if (!keys_for(in.receiver, e)) return false;
            in.probing = false;
            inform_send(in);
        } else if (authed) {
            // The receiver's clock moved on (a restart): take it and ask again.
            e.clock = USM::RemoteClock{m.boots, m.time, now_seconds(), m.time};
            inform_send(in);
        }
        return false;
    }
    return authed && sc.pdu_tag == BER::RESPONSE && sc.request_id == in.request_id;
}

// Starts the inform of a built SNMPv2-Trap message to receiver d.
int inform_start(int d, const char* call, const unsigned char* msg, int len)
{
    const auto& r = admin_settings.snmp_trap[d];
    const unsigned char* pdu = nullptr;
    size_t pdu_len = 0;
    UsmUser u;
    if (!pdu_of(msg, len, pdu, pdu_len) || !receiver_user(d, u)) return 1;
    // The same PDU as an InformRequest with its own request-id in place of
    // the trap's "02 01 00".
    const size_t head = (pdu[1] & 0x80) ? 2 + (pdu[1] & 0x7F) : 2;
    Inform in;
    in.receiver = d;
    in.what = receiver_text(r, d);
    in.request_id = next_id(g_request_id);
    USM::Bytes content = {BER::INTEGER, 4, static_cast<uint8_t>(in.request_id >> 24),
                          static_cast<uint8_t>(in.request_id >> 16), static_cast<uint8_t>(in.request_id >> 8),
                          static_cast<uint8_t>(in.request_id)};
    content.insert(content.end(), pdu + head + 3, pdu + pdu_len);
    unsigned char h[6];
    int c = 0;
    h[c++] = V3::INFORM;
    length_to_hex(static_cast<uint32_t>(content.size()), c, h);
    in.pdu.assign(h, h + c);
    in.pdu.insert(in.pdu.end(), content.begin(), content.end());
    in.sock = inform_socket(r.sendto);
    if (in.sock < 0) {
        send_errno = errno;
        std::printf("%s: no socket to %s\n", call, r.sendto);
        return 1;
    }
    // A receiver whose engine this thread knows is asked at once.
    RemoteEngine& e = g_remote[d];
    in.probing = e.id.empty() || !keys_for(d, e);
    in.tries = 1;
    in.due = Clock::now() + INFORM_INTERVAL;
    inform_send(in);
    g_informs.push_back(std::move(in));
    return 0;
}

// Answers read, tries repeated, informs given up: the trap thread's turn.
void informs_poll()
{
    const auto now = Clock::now();
    for (auto it = g_informs.begin(); it != g_informs.end();) {
        Inform& in = *it;
        bool acked = false;
        unsigned char buf[SNMP_BUF_SIZE];
        for (ssize_t n; !acked && (n = recv(in.sock, buf, sizeof buf, 0)) != 0;) {
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) break;
                continue;  // a refusal by the receiver's host reads as silence
            }
            acked = inform_answer(in, buf, static_cast<size_t>(n));
        }
        if (acked) {
            applog("SNMPv3 inform acknowledged:" + in.what);
        } else if (now >= in.due && in.tries < INFORM_TRIES) {
            ++in.tries;
            in.due = now + INFORM_INTERVAL;
            inform_send(in);
            ++it;
            continue;
        } else if (now >= in.due) {
            report_error("SNMPv3 inform never acknowledged:",
                         in.what + " after " + std::to_string(INFORM_TRIES) + " tries" +
                             (in.probing ? " (its engine never answered)" : ""));
        } else {
            ++it;
            continue;
        }
        close(in.sock);
        it = g_informs.erase(it);
    }
}

// A built SNMPv2-Trap message to receiver d in the form its version asks:
// as it is (0, 1), as an SNMPv3 trap (2) or an inform (3). 0 when sent.
int notify(int d, const char* call, const unsigned char* msg, int len)
{
    const auto& r = admin_settings.snmp_trap[d];
    if (r.version < 2) return build_and_send(call, r.sendto, msg, len);
    if (len == 0) return 1;
    if (r.version == 3) return inform_start(d, call, msg, len);
    const unsigned char* pdu = nullptr;
    size_t pdu_len = 0;
    UsmUser u;
    if (!pdu_of(msg, len, pdu, pdu_len) || !receiver_user(d, u)) return 1;
    unsigned char out[SNMP_BUF_SIZE];
    V3::Outgoing o;
    o.msg_id = next_id(g_msg_id);
    o.auth = o.priv = true;
    o.engine_id = &usm_engine_id();
    o.boots = usm_engine_boots();
    o.time = usm_engine_time();
    o.user = &u;
    o.pdu = pdu;
    o.pdu_len = pdu_len;
    const size_t n = V3::encode(o, out, sizeof out);
    if (n == 0) {
        std::printf("%s: SNMPv3 trap to %s not built\n", call, r.sendto);
        return 1;
    }
    return build_and_send(call, r.sendto, out, static_cast<int>(n));
}

// An SNMPv2-Trap to receiver d of version 2 or 3.
int send_v3(int d, const char* systraps, const char* trapinfo, int value, const Trap_Expansion_Varbinds* TEV)
{
    unsigned char date[DATE_LEN];
    get_date_string(date);
    unsigned char msg[SNMP_BUF_SIZE];
    const int len = build_trapV2(msg, "", systraps, trapinfo, value, date, 0, 0, TEV);
    return notify(d, "create_trapV3", msg, len);
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
    std::string trapinfo = with_root(oid_head(), oid_complement_trapinfo, "");
    trapinfo.pop_back();  // the binding is the subtree itself, without an instance
    if (version != 0) return create_trapV2(community, TEV->systraps, trapinfo.c_str(), value, date, ip, 0, 0, nullptr);
    return create_trapV1(community, TEV->systraps, trapinfo.c_str(), value, date, ip, 0, 0, 6, nullptr);
}

// The test trap leaves its line in the application log like every other
// trap: receiver address, number and version, and the trap's OID.
static int log_test_trap(const SETTINGS_TABLE::Snmp_trap& r, int d, int rc)
{
    const std::string what = receiver_text(r, d) + "/" + with_root(oid_head(), oid_systraps, oid_test);
    if (rc != 0) report_error("testTrap send failed:", what, send_errno);
    else applog("testTrap send:" + what);
    return rc;
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
    const std::string systraps = with_root(oid_head(), oid_systraps, oid_test);
    const std::string trapinfo = with_root(oid_head(), oid_trapinfo, oid_test);
    unsigned char date[DATE_LEN];
    get_date_string(date);
    if (dst.version == 0 || dst.version == 1) {
        send_errno = 0;
        const int rc =
            dst.version == 0
                ? create_trapV1(dst.community, systraps.c_str(), trapinfo.c_str(), 1, date, dst.sendto, 0, 0, 6, nullptr)
                : create_trapV2(dst.community, systraps.c_str(), trapinfo.c_str(), 1, date, dst.sendto, 0, 0, nullptr);
        std::printf("trapv%d %d\n", dst.version + 1, rc);
        return log_test_trap(dst, num, rc);
    }
    if (dst.version == 2 || dst.version == 3) {
        // SNMPv3 notifications leave from the trap thread, which owns the
        // informs waiting for their answers.
        trap_que.push(TEST_TRAP_TEXT + std::to_string(num));
        std::printf("trapv3 queued\n");
        return 0;
    }
    std::printf("send_test_trap: receiver %d has version %d, no test trap\n", num + 1, dst.version);
    return 1;
}

void trap_process_message(const char* msg)
{
    if (std::strncmp(msg, TEST_TRAP_TEXT, std::strlen(TEST_TRAP_TEXT)) == 0) {
        const int d = std::atoi(msg + std::strlen(TEST_TRAP_TEXT));
        if (d < 0 || d >= SETTINGS_TABLE::TRAP_NUM) return;
        const std::string systraps = with_root(oid_head(), oid_systraps, oid_test);
        const std::string trapinfo = with_root(oid_head(), oid_trapinfo, oid_test);
        const int rc = send_v3(d, systraps.c_str(), trapinfo.c_str(), 1, nullptr);
        std::printf("trapv3 %d\n", rc);
        log_test_trap(admin_settings.snmp_trap[d], d, rc);
        return;
    }
    const Trap_message m = parse_trap_message(msg);
    const auto& receivers = admin_settings.snmp_trap;

    if (check_change_state(m.prev, m.state)) {
        trap_port = 0;
        for (int d; (d = trap_senario_check(m.type, m.port, m.state, m.value, m.flg)) != -1;) {
            Trap_Expansion_Varbinds tev;
            if (!fill_expansion(m, oid_head(), tev)) {
                std::printf("trapExpansionVarbind: kind %s port %s makes names too long, no trap\n", m.text[0],
                            m.text[1]);
                continue;
            }
            const auto& r = receivers[d];
            if (!has_receiver(r.sendto)) continue;
            const std::string what = receiver_text(r, d) + "/" + tev.port_oid + "/" + m.text[3];
            const int rc = r.version >= 2 ? send_v3(d, tev.systraps, tev.systraps, 55, &tev)
                                          : trap_send_action_expansion(r.sendto, r.community, r.version, &tev);
            if (rc != 0) {
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
    copy_text(tev.systraps, with_root(oid_head(), oid_complement_systraps, std::to_string(n)));
    for (int d = 0; d < SETTINGS_TABLE::TRAP_NUM; ++d) {
        const auto& r = receivers[d];
        if (!has_receiver(r.sendto)) continue;
        const std::string what = receiver_text(r, d) + "/" + tev.systraps + "/" + std::to_string(word);
        int rc = 0;
        if (r.version >= 2) {
            std::string trapinfo = with_root(oid_head(), oid_complement_trapinfo, "");
            trapinfo.pop_back();
            rc = send_v3(d, tev.systraps, trapinfo.c_str(), word, nullptr);
        } else {
            rc = trap_send_action_normal(r.sendto, r.community, r.version, &tev, word);
        }
        if (rc != 0) {
            report_error("complementSysTraps send failed:", what, send_errno);
            continue;
        }
        std::printf("complementSysTraps Send success.\n");
        applog("complementSysTraps send:" + what);
    }
}

/*
 * snmp_trap_thread: the one consumer of `trap_que`.
 * Owns: the trap sockets (one per trap, closed after sending; one per
 *   inform, kept until it is answered or given up), the informs waiting
 *   for their answers, what it learnt of the receivers' engines, and the
 *   scenario cursor `trap_port`.
 * Waits on: the queue, at most 1 s at a time (100 ms while an inform
 *   waits for its answer); a message wakes it at once. Nothing blocks on a
 *   receiver: answers are read without waiting, retries fall due 5 s apart.
 * Order: messages in queue order; per message its expansion traps in
 *   scenario order, then its complement traps in receiver order.
 * Stopped by: `control` dropping to 0 (seen within 1 s); messages already
 *   queued are still sent.
 */
void* snmp_trap_thread(void*)
{
    std::printf("snmp_trap_thread tid  : %ld\n", thread_tid());
    while (control) {
        // Informs waiting for their answers are looked at every 100 ms.
        const bool waiting = !g_informs.empty();
        const bool got = trap_que.wait_for(waiting ? std::chrono::milliseconds(100) : std::chrono::milliseconds(1000),
                                           [] { return control == 0; });
        while (got && !trap_que.empty()) {
            trap_process_message(trap_que.front().c_str());
            trap_que.pop();
        }
        informs_poll();
    }
    // An inform still unanswered at the stop is not lost silently.
    for (const Inform& in : g_informs) {
        report_error("SNMPv3 inform not acknowledged before the stop:",
                     in.what + " after " + std::to_string(in.tries) + " tries");
        close(in.sock);
    }
    g_informs.clear();
    std::printf("end snmp_trap_thread\n");
    return nullptr;
}
