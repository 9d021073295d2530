/*
 * RecvUdp: the SNMP agent.
 * Owns: the agent's UDP socket and its receive buffer, in which each
 *   response is built; the relay pulses its SETs start; the count of
 *   rejected datagrams not yet logged.
 * Waits on: the socket, at most 1 s at a time.
 * Order: one datagram at a time, answered before the next is read. A
 *   request goes through named steps: the sender is authorised, the message
 *   parsed into its list of variable bindings, its version and community
 *   checked (the place of a security step), the PDU processed binding by
 *   binding, and the response encoded.
 * Stopped by: `control` dropping to 0 (seen within 1 s), or a socket that
 *   cannot be created or bound; it waits for running pulses to end.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common.h"
#include "platform.h"
#include "settings_table.h"
#include "snmp.h"
#include "snmp_v3.h"

namespace {

bool g_trace = false;  // per-request console lines; set by RecvUdp before it serves

// Why a datagram gets no answer (and, last, a response too big to send).
// The SNMPv3 refusals follow in the order of the usmStats counters.
enum Reject { UNAUTHORIZED, UNDECODABLE, INCOMPLETE, REQUEST_ID, VERSION, COMMUNITY, TOO_BIG, V1V2C_OFF, V3_SECURITY,
              V3_STAT_FIRST, REJECT_KINDS = V3_STAT_FIRST + V3::STATS };
const char* const REJECT_NAMES[REJECT_KINDS] = {
    "unauthorized address",   "failure to analysis",  "required data missing", "requestID overflow",
    "wrong version",          "wrong community",      "response too big",      "SNMPv1/v2c off",
    "SNMPv3 security",        "SNMPv3 security level", "SNMPv3 time window",   "SNMPv3 unknown user",
    "SNMPv3 unknown engine",  "SNMPv3 wrong digest",  "SNMPv3 decryption"};

// Written and read by the SNMP thread only (recv_message and RecvUdp).
Reject_limiter g_limiter;

long now_s()
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

void report_suppressed(long now)
{
    for (const auto& s : g_limiter.due(now)) {
        char line[160];
        std::snprintf(line, sizeof line, "SNMP messages from %s: %d more ignored within a minute (%s).", s.addr.c_str(),
                      s.count, REJECT_NAMES[s.reason]);
        applog(line);
    }
}

// A rejection's log line, at most one per sender and reason a minute.
void log_limited(Reject reason, const char* addr, const char* line, bool console = false)
{
    const long now = now_s();
    report_suppressed(now);
    if (!g_limiter.admit(addr, reason, now)) return;
    if (console) std::printf("%s\n", line);
    applog(line);
}

// Four dotted decimal fields of 0-255 and nothing else.
bool parse_ipv4(const char* text, uint32_t& out)
{
    uint32_t v = 0;
    const char* p = text;
    for (int field = 0; field < 4; ++field) {
        if (field && *p++ != '.') return false;
        if (*p < '0' || *p > '9') return false;
        unsigned part = 0;
        for (int d = 0; *p >= '0' && *p <= '9'; ++d, ++p) {
            part = part * 10 + static_cast<unsigned>(*p - '0');
            if (d >= 3 || part > 255) return false;
        }
        v = (v << 8) | part;
    }
    if (*p) return false;
    out = v;
    return true;
}

int len_octets(uint32_t v) { return v < 0x80u ? 1 : v < 0x100u ? 2 : v < 0x10000u ? 3 : v < 0x1000000u ? 4 : 5; }

// The request-id INTEGER, front to back.
int request_id_tlv(int64_t req_id, unsigned char* out)
{
    int n = 0;
    out[n++] = BER::INTEGER;
    out[n++] = 0;
    const uint32_t u = static_cast<uint32_t>(req_id);
    if (req_id == 0) {
        out[n++] = 0;
    } else if (req_id > 0 && req_id < 0x1000000) {
        int k = u < 0x100u ? 1 : u < 0x10000u ? 2 : 3;
        if ((u >> (8 * (k - 1))) & 0x80u) out[n++] = 0;
        for (int i = k - 1; i >= 0; --i) out[n++] = static_cast<unsigned char>(u >> (8 * i));
    } else {
        for (int i = 3; i >= 0; --i) out[n++] = static_cast<unsigned char>(u >> (8 * i));
    }
    out[1] = static_cast<unsigned char>(n - 2);
    return n;
}

// A received community in a log line: control bytes would break the line.
std::string printable(const char* s)
{
    std::string out;
    for (; *s; ++s) out += static_cast<unsigned char>(*s) < 0x20 || *s == 0x7F ? '?' : *s;
    return out;
}

void log_rejected(Reject reason, const char* why, const char* addr)
{
    char line[256];
    std::snprintf(line, sizeof line, "The received SNMP message(SET/GET) from %s will be ignored %s", addr, why);
    log_limited(reason, addr, line);
}

void trace_bytes(const unsigned char* b, int n)
{
    for (int i = 0; i < n; ++i) std::printf("%02x ", b[i]);
    std::printf("\n");
}

// ---- A request ------------------------------------------------------------------

constexpr int MAX_VARBINDS = Message_tree::MAX_COMPLEX;

struct Varbind {
    const char* name;  // dotted text, in the decoded tree
    int value_type;
    int int_value;
    bool int_fits;     // an INTEGER value within 32 bits
    const char* str;   // an OCTET STRING's text, in the decoded tree
    int str_length;    // its octets
    int start, end;    // the VarBind's octets in the datagram
};

struct Request {
    int version;
    const Primitive* community;
    int pdu;
    int64_t req_id;
    int non_repeaters;
    int max_repetitions;
    int n;
    Varbind vb[MAX_VARBINDS];
};

// Working storage of a request, one of each kind per thread that answers
// (the decoded tree alone is about 100 KB, not to be allocated per request).
// It lives on the heap from the thread's first request: a thread-local array
// would sit in the static TLS block that every thread of the service gets,
// zeroed, at its start.
template <typename T>
T& per_thread()
{
    static thread_local std::unique_ptr<T> p;
    if (!p) p = std::make_unique<T>();
    return *p;
}

struct Bulk_rows {
    char names[MAX_VARBINDS][SNMP_NAME_SIZE];
    bool ended[MAX_VARBINDS];
};

struct Set_bindings {
    Set_binding b[MAX_VARBINDS];
};

struct V3_work {
    unsigned char plain[V3::MAX_MESSAGE_SIZE];
    unsigned char wrapped[SNMP_BUF_SIZE];  // the PDU inside a message of the v2c form
    Request rq;
    unsigned char out[SNMP_BUF_SIZE];
    unsigned char response[SNMP_BUF_SIZE];
};

struct V2_work {
    Request rq;
    unsigned char out[SNMP_BUF_SIZE];
};

// An INTEGER of more than four octets still names a 32-bit value when the
// extra leading octets only repeat its sign.
bool fits_32_bits(const unsigned char* c, int len)
{
    if (len <= 4) return true;
    const unsigned char sign = (c[len - 4] & 0x80) ? 0xFF : 0x00;
    for (int i = 0; i < len - 4; ++i)
        if (c[i] != sign) return false;
    return true;
}

// Access: the last enabled entry that admits the sender, -1 for none.
int authorise_sender(const char* addr, int size)
{
    int entry = -1;
    for (int i = 0; i < SETTINGS_TABLE::SNMP_NUM; ++i)
        if (admin_settings.snmp[i].enable && prefix_check(addr, i) == 0) entry = i;
    if (entry < 0) {
        char line[160];
        std::snprintf(line, sizeof line, "Accessed port 161 from an unauthorized IP address(%s). data size : %d", addr,
                      size);
        log_limited(UNAUTHORIZED, addr, line, true);
    }
    return entry;
}

// Parse: the datagram into rq. 0, or recv_message's code for a message
// that is not served (its log line written).
int parse_request(const char* addr, const unsigned char* data, int size, Request& rq)
{
    Message_tree& tree = per_thread<Message_tree>();
    Analysis_status as{};
    if (size < 2 || size > SNMP_BUF_SIZE || analysis(data, size, tree, as) != 0) {
        log_rejected(UNDECODABLE, "due to failure to analysis.", addr);
        return 1;
    }
    const Complex* root = tree.root();
    if (parsed_data_check(root) != 0) {
        log_rejected(INCOMPLETE, "because required data is missing.", addr);
        return 1;
    }
    const Primitive* version_p = root->prim;
    const Complex* pdu = root->next;
    const Primitive* id_p = pdu->prim;
    const Primitive* second_p = id_p->next;   // error-status, or non-repeaters
    const Primitive* third_p = second_p->next;  // error-index, or max-repetitions
    if (id_p->length > 4) {
        log_rejected(REQUEST_ID, "because the requestID overflowed.", addr);
        return 2;
    }
    // Other integers beyond 32 bits cannot be taken as they were meant.
    if (version_p->length > 4 || second_p->length > 4 || third_p->length > 4) {
        log_rejected(UNDECODABLE, "due to failure to analysis.", addr);
        return 1;
    }
    rq.version = version_p->int_value;
    rq.community = version_p->next;
    rq.pdu = pdu->type;
    rq.req_id = id_p->int_value;
    rq.non_repeaters = second_p->int_value;
    rq.max_repetitions = third_p->int_value;
    rq.n = 0;
    const Complex* list = pdu->next;
    bool whole = list->prim_num == 0;
    for (const Complex* c = list->next; whole && c; c = c->samedep_next) {
        whole = c->type == BER::SEQUENCE && c->prim_num == 2 && c->prim->type == BER::OID && rq.n < MAX_VARBINDS;
        if (!whole) break;
        const Primitive* value = c->prim->next;
        Varbind& v = rq.vb[rq.n++];
        v.name = c->prim->char_value;
        v.value_type = value->type;
        v.int_value = value->int_value;
        v.int_fits = value->type != BER::INTEGER || fits_32_bits(data + c->end - value->length, value->length);
        v.str = value->type == BER::OCTET_STRING ? value->char_value : "";
        v.str_length = value->type == BER::OCTET_STRING ? value->length : 0;
        v.start = c->start;
        v.end = c->end;
    }
    if (!whole) {
        log_rejected(INCOMPLETE, "because required data is missing.", addr);
        return 1;
    }
    return 0;
}

// Version and community: SNMPv1 and SNMPv2c are secured by the community
// alone; 0, or recv_message's code.
int security_check(const char* addr, const Request& rq, int entry)
{
    if (rq.version == 2) {
        char why[64];
        std::snprintf(why, sizeof why, "because of the wrong version : %d", rq.version);
        log_rejected(VERSION, why, addr);
        return 3;
    }
    // The whole community must match: a received text that merely begins
    // with the configured one is no password.
    const auto& e = admin_settings.snmp[entry];
    const size_t conf_len = strnlen(e.community, sizeof e.community);
    const Primitive* c = rq.community;
    if (static_cast<size_t>(c->length) != conf_len || std::strlen(c->char_value) != conf_len ||
        std::memcmp(c->char_value, e.community, conf_len) != 0) {
        std::string why = "because of the wrong community(" + printable(c->char_value) + ").";
        log_rejected(COMMUNITY, why.c_str(), addr);
        return 4;
    }
    return 0;
}

// ---- Processing -------------------------------------------------------------------

// The response's VarBinds in reverse byte order, and its error.
struct Reply {
    unsigned char* buf;
    int total = 0;
    int status = 0;
    int index = 0;
    bool too_big = false;
    int community_len = 0;
    int64_t req_id = 0;

    bool fits() const { return getres_length(total, community_len, req_id) <= SNMP_RESPONSE_MAX; }
    // Keeps the first `count` bytes of VarBinds in message order; the
    // reversed buffer holds the latest ones at its front.
    void keep(int count)
    {
        std::memmove(buf, buf + (total - count), static_cast<size_t>(count));
        total = count;
    }
    void fail(int word, int at)
    {
        status = word & 0xFF;
        index = at;
    }
};

// Largest VarBind the encoder writes.
constexpr int VARBIND_ROOM = 4 + 2 + SNMP_OID_OCTETS_MAX + 4 + SNMP_STR_SIZE;

// One answer; false when it does not fit the buffer or cannot be encoded.
bool append(Reply& r, int word, const char* name, int i, const char* s)
{
    if (r.total + VARBIND_ROOM > SNMP_BUF_SIZE) return false;
    unsigned char e_index = 0, err = 0;
    const int before = r.total;
    r.total = create_objects(r.total, word, &e_index, &err, r.buf, name, i, s);
    return r.total != before;
}

// The request's own bindings, as they came.
void append_request_bindings(Reply& r, const Request& rq, const unsigned char* data)
{
    for (int i = 0; i < rq.n; ++i) {
        const int len = rq.vb[i].end - rq.vb[i].start;
        if (r.total + len > SNMP_BUF_SIZE) return;
        std::memmove(r.buf + len, r.buf, static_cast<size_t>(r.total));
        for (int k = 0; k < len; ++k) r.buf[k] = data[rq.vb[i].end - 1 - k];
        r.total += len;
    }
}

int request_bindings_size(const Request& rq)
{
    int n = 0;
    for (int i = 0; i < rq.n; ++i) n += rq.vb[i].end - rq.vb[i].start;
    return n;
}

// One lookup of a binding's name; name is rewritten for the walks.
int ask_mib(const Request& rq, char* name, char* str, int& value)
{
    str[0] = '\0';
    value = 0;
    const int word = check_oid(name, rq.pdu, str, value, BER::NUL, rq.version);
    if (g_trace) std::printf("oid=%s\nGET?=%d\nres=%d\n", name, rq.pdu, word);
    return word;
}

// GET and GET-NEXT: one answer per binding, in order.
void process_get(const Request& rq, Reply& r)
{
    char name[SNMP_NAME_SIZE];
    char str[SNMP_STR_SIZE];
    int value = 0;
    for (int i = 0; i < rq.n; ++i) {
        copy_text(name, rq.vb[i].name);
        const int word = ask_mib(rq, name, str, value);
        if (word & 0xFF) return r.fail(word, i + 1);
        if (!append(r, word, name, value, str) || !r.fits()) {
            r.too_big = true;
            return;
        }
    }
}

// GET-BULK: the non-repeaters once, then the repeaters row by row up to
// max-repetitions; the response ends with the last whole row that fits.
void process_getbulk(const Request& rq, Reply& r)
{
    const int non_rep = rq.non_repeaters < 0 ? 0 : rq.non_repeaters > rq.n ? rq.n : rq.non_repeaters;
    const int reps = rq.max_repetitions < 0 ? 0 : rq.max_repetitions;
    char str[SNMP_STR_SIZE];
    int value = 0;
    char name[SNMP_NAME_SIZE];
    for (int i = 0; i < non_rep; ++i) {
        copy_text(name, rq.vb[i].name);
        const int word = ask_mib(rq, name, str, value);
        if (word & 0xFF) return r.fail(word, i + 1);
        const int before = r.total;
        if (!append(r, word, name, value, str) || !r.fits()) {
            r.keep(before);
            return;
        }
    }
    const int m = rq.n - non_rep;
    if (m == 0) return;
    Bulk_rows& rows = per_thread<Bulk_rows>();
    auto& names = rows.names;
    auto& ended = rows.ended;
    for (int j = 0; j < m; ++j) {
        copy_text(names[j], rq.vb[non_rep + j].name);
        ended[j] = false;
    }
    for (int rep = 0; rep < reps; ++rep) {
        const int row_start = r.total;
        bool all_ended = true;
        for (int j = 0; j < m; ++j) {
            int word = RESP::END_OF_MIB;
            if (!ended[j]) {
                word = ask_mib(rq, names[j], str, value);
                if (word & 0xFF) return r.fail(word, non_rep + j + 1);
                ended[j] = (word >> 8 & 0xFF) == BER::END_OF_MIB_VIEW;
                all_ended = all_ended && ended[j];
            }
            if (!append(r, word, names[j], value, str) || !r.fits()) {
                r.keep(row_start);
                return;
            }
        }
        if (all_ended) return;
    }
}

// SET: all bindings or none. The answer carries the request's bindings, so
// one that could not be sent is refused before anything changes.
void process_set(const Request& rq, Reply& r)
{
    if (getres_length(request_bindings_size(rq), r.community_len, rq.req_id) > SNMP_RESPONSE_MAX) {
        r.too_big = true;
        return;
    }
    Set_binding* b = per_thread<Set_bindings>().b;
    for (int i = 0; i < rq.n; ++i) {
        const Varbind& v = rq.vb[i];
        b[i] = Set_binding{v.name, v.value_type, v.int_value, v.int_fits, v.str, v.str_length};
        if (g_trace) std::printf("type=%d\nstr_data=%s\nint_data=%d\noid=%s\n", v.value_type, v.str, v.int_value, v.name);
    }
    int index = 0;
    const int word = snmp_set(b, rq.n, rq.version, index);
    if (word) r.fail(word, index);
}

// Encode: the GetResponse into message. An error answers with the
// request's bindings; a response over the limit is replaced by tooBig (with
// the request's bindings in SNMPv1, none in SNMPv2c).
int encode_response(const char* addr, const Request& rq, const unsigned char* data, Reply& r, const char* community,
                    unsigned char* message)
{
    if (r.status || rq.pdu == BER::SET) {
        r.total = 0;
        append_request_bindings(r, rq, data);
    }
    if (r.too_big || !r.fits()) {
        char line[160];
        std::snprintf(line, sizeof line, "The created SNMP response message to %s will be discard because too big.",
                      addr);
        log_limited(TOO_BIG, addr, line);
        r.total = 0;
        if (rq.version == 0) append_request_bindings(r, rq, data);
        if (!r.fits()) r.total = 0;
        r.status = 1;
        r.index = 0;
    }
    const int n = create_getres(r.buf, community, rq.req_id, rq.version, static_cast<unsigned char>(r.index),
                                static_cast<unsigned char>(r.status), r.total);
    std::memcpy(message, r.buf, static_cast<size_t>(n));
    return n;
}

}  // namespace

bool Reject_limiter::admit(const char* addr, int reason, long now_s)
{
    Slot* free_slot = nullptr;
    for (int i = 0; i < SLOTS; ++i) {
        Slot& s = slots_[i];
        if (s.reason == reason && std::strcmp(s.addr, addr) == 0) {
            if (now_s - s.since < 60) {
                ++s.count;
                return false;
            }
            s.since = now_s;
            s.count = 0;
            return true;
        }
        if (!free_slot && s.reason < 0) free_slot = &s;
    }
    // With every slot taken, the other senders share one line a minute.
    Slot& s = free_slot ? *free_slot : slots_[SLOTS];
    if (!free_slot && s.reason >= 0 && now_s - s.since < 60) {
        ++s.count;
        return false;
    }
    copy_text(s.addr, free_slot ? addr : "other senders");
    s.reason = reason;
    s.since = now_s;
    s.count = 0;
    return true;
}

std::vector<Reject_limiter::Suppressed> Reject_limiter::due(long now_s)
{
    std::vector<Suppressed> out;
    for (Slot& s : slots_) {
        if (s.reason < 0 || now_s - s.since < 60) continue;
        if (s.count > 0) out.push_back({s.addr, s.reason, s.count});
        s.reason = -1;
        s.count = 0;
    }
    return out;
}

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

// Prefix 1-32 compares that many leading bits; 0 and anything else the
// whole address. An entry that is no address admits nobody.
int prefix_check(const char* addr, int num)
{
    if (num < 0 || num >= SETTINGS_TABLE::SNMP_NUM) return 1;
    const auto& e = admin_settings.snmp[num];
    uint32_t a = 0, b = 0;
    if (!parse_ipv4(addr, a) || !parse_ipv4(e.ip_noprefix, b)) return 1;
    const uint32_t mask = e.prefix >= 1 && e.prefix <= 32 ? ~0u << (32 - e.prefix) : ~0u;
    return (a & mask) == (b & mask) ? 0 : 1;
}

int getres_length(int total_count, int community_len, int64_t req_id)
{
    unsigned char id[8];
    int list = 1 + len_octets(static_cast<uint32_t>(total_count)) + total_count;
    int pdu_content = list + 6 + request_id_tlv(req_id, id);
    int pdu = 1 + len_octets(static_cast<uint32_t>(pdu_content)) + pdu_content;
    int body = 3 + 1 + len_octets(static_cast<uint32_t>(community_len)) + community_len + pdu;
    return 1 + len_octets(static_cast<uint32_t>(body)) + body;
}

int create_getres(unsigned char* message, const char* Community, int64_t req_id, int version, unsigned char e_index,
                  unsigned char err, int total_count)
{
    int n = total_count;
    auto put_reversed = [&](const unsigned char* f, int len) {
        for (int i = len - 1; i >= 0; --i) message[n++] = f[i];
    };
    unsigned char tmp[8];
    int c = 0;
    length_to_hex(static_cast<uint32_t>(total_count), c, tmp);
    put_reversed(tmp, c);
    message[n++] = BER::SEQUENCE;
    const unsigned char index[3] = {BER::INTEGER, 1, e_index};
    put_reversed(index, 3);
    const unsigned char status[3] = {BER::INTEGER, 1, err};
    put_reversed(status, 3);
    c = request_id_tlv(req_id, tmp);
    put_reversed(tmp, c);
    c = 0;
    length_to_hex(static_cast<uint32_t>(n), c, tmp);
    put_reversed(tmp, c);
    message[n++] = BER::RESPONSE;

    const int community_len = static_cast<int>(strnlen(Community, 31));
    unsigned char header[48];
    int h = 0;
    header[h++] = BER::SEQUENCE;
    length_to_hex(static_cast<uint32_t>(3 + 1 + len_octets(static_cast<uint32_t>(community_len)) + community_len + n),
                  h, header);
    header[h++] = BER::INTEGER;
    header[h++] = 1;
    header[h++] = static_cast<unsigned char>(version);
    header[h++] = BER::OCTET_STRING;
    length_to_hex(static_cast<uint32_t>(community_len), h, header);
    std::memcpy(header + h, Community, static_cast<size_t>(community_len));
    h += community_len;
    put_reversed(header, h);
    if (n >= 2 && n <= SNMP_RESPONSE_MAX) reverse_packet(message, n);
    return n;
}

namespace {

// What a v3 message carries beyond what a v2c one with an empty community
// does, at most: header, security parameters (engine ID and user name of
// 32 octets, a 48-octet code, the salt) and the scoped PDU's context.
constexpr int V3_OVERHEAD = 224;

const char* const STAT_WHY[V3::STATS] = {
    "because the user is configured for another security level", "because it is outside the time window",
    "because of an unknown user name",                           "because of an unknown engine ID",
    "because of a wrong digest",                                 "because it cannot be decrypted"};

// A PDU's first element, the request-id, of the PDU TLV at p.
size_t tlv_header(const unsigned char* p)
{
    return (p[1] & 0x80) ? 2 + (p[1] & 0x7F) : 2;
}

// The Report of one usmStats counter, answered at the level the check
// allows: signed for the time window, else without security.
int v3_report(const V3::Message& m, const V3::Checked& c, unsigned char* message)
{
    int32_t request_id = 0;
    V3::Scoped sc;
    if (c.scoped && V3::decode_scoped(c.scoped, c.scoped_len, sc)) request_id = sc.request_id;
    else if (!m.encrypted && V3::decode_scoped(m.data, m.data_len, sc)) request_id = sc.request_id;
    unsigned char vb[64];
    const int vb_len = add_packet_int(vb, V3::stat_name(c.stat), static_cast<int>(usm_stat(c.stat)), 0, BER::COUNTER32);
    reverse_packet(vb, vb_len);
    unsigned char id[8];
    const int id_len = request_id_tlv(request_id, id);
    USM::Bytes pdu;
    auto len = [&](size_t n) {
        unsigned char h[6];
        int k = 0;
        length_to_hex(static_cast<uint32_t>(n), k, h);
        pdu.insert(pdu.end(), h, h + k);
    };
    const size_t list = static_cast<size_t>(vb_len);
    const size_t content = static_cast<size_t>(id_len) + 6 + 1 + (list < 0x80 ? 1 : 2) + list;
    pdu.push_back(V3::REPORT);
    len(content);
    pdu.insert(pdu.end(), id, id + id_len);
    for (unsigned char b : {BER::INTEGER, 1, 0, BER::INTEGER, 1, 0}) pdu.push_back(b);
    pdu.push_back(BER::SEQUENCE);
    len(list);
    pdu.insert(pdu.end(), vb, vb + vb_len);

    V3::Outgoing o;
    o.msg_id = m.msg_id;
    o.engine_id = &usm_engine_id();
    o.boots = usm_engine_boots();
    o.time = usm_engine_time();
    o.auth = c.report_auth;
    o.user = c.report_auth ? &c.user : nullptr;
    o.user_name = m.user_name();
    o.pdu = pdu.data();
    o.pdu_len = pdu.size();
    return static_cast<int>(V3::encode(o, message, SNMP_BUF_SIZE));
}

// An SNMPv3 request: the security step, then the PDU through the same
// processing as a v2c request, and the response secured as the request was.
int recv_v3(const char* addr, int size, unsigned char* message, int* s_size)
{
    V3::Message m;
    if (!V3::decode(message, static_cast<size_t>(size), m)) {
        log_rejected(UNDECODABLE, "due to failure to analysis.", addr);
        return 1;
    }
    if (m.model != V3::USM_MODEL) {
        log_rejected(V3_SECURITY, "because of an unknown security model.", addr);
        return 1;
    }
    V3_work& work = per_thread<V3_work>();
    unsigned char* plain = work.plain;
    const V3::Checked c = V3::check_request(message, static_cast<size_t>(size), m, plain);
    if (c.verdict == V3::Verdict::DROP) {
        log_rejected(V3_SECURITY, "because of its security flags.", addr);
        return 1;
    }
    if (c.verdict == V3::Verdict::REPORT) {
        // Discovery is how every manager starts: not worth a line.
        if (c.stat != V3::UNKNOWN_ENGINE_IDS) {
            std::string why = std::string(STAT_WHY[c.stat]) + " (user \"" + printable(std::string(m.user_name()).c_str()) + "\").";
            log_rejected(static_cast<Reject>(V3_STAT_FIRST + static_cast<int>(c.stat)), why.c_str(), addr);
        }
        if (!(m.flags & V3::FLAG_REPORTABLE)) return 1;
        const int n = v3_report(m, c, message);
        if (n <= 0) return 1;
        *s_size = n;
        return 0;
    }
    V3::Scoped sc;
    if (!V3::decode_scoped(c.scoped, c.scoped_len, sc) || sc.pdu_len + 8 > SNMP_BUF_SIZE) {
        log_rejected(UNDECODABLE, "due to failure to analysis.", addr);
        return 1;
    }
    // The PDU inside a message of the v2c form, which the parse step reads.
    unsigned char* wrapped = work.wrapped;
    const size_t inner = 3 + 2 + sc.pdu_len;
    int w = 0;
    wrapped[w++] = BER::SEQUENCE;
    length_to_hex(static_cast<uint32_t>(inner), w, wrapped);
    for (unsigned char b : {BER::INTEGER, 1, V3::VERSION, BER::OCTET_STRING, 0}) wrapped[w++] = b;
    std::memcpy(wrapped + w, sc.pdu, sc.pdu_len);
    w += static_cast<int>(sc.pdu_len);

    Request& rq = work.rq;
    if (const int rc = parse_request(addr, wrapped, w, rq); rc != 0) return rc;
    unsigned char* out = work.out;
    unsigned char* response = work.response;
    Reply r;
    r.buf = out;
    r.community_len = V3_OVERHEAD + static_cast<int>(c.user.name.size());
    r.req_id = rq.req_id;
    switch (rq.pdu) {
    case BER::GETBULK: process_getbulk(rq, r); break;
    case BER::SET:
        if (c.user.read_write) process_set(rq, r);
        else r.fail(RESP::NO_ACCESS, 1);
        break;
    default: process_get(rq, r); break;
    }
    const int n = encode_response(addr, rq, wrapped, r, "", response);
    // The PDU of the v2c form: past the SEQUENCE header, version and community.
    size_t at = tlv_header(response);
    at += 3;
    at += 2;
    if (n < static_cast<int>(at) + 2) return 1;
    V3::Outgoing o;
    const USM::Bytes context(sc.context_engine, sc.context_engine + sc.context_engine_len);
    o.msg_id = m.msg_id;
    o.auth = m.flags & V3::FLAG_AUTH;
    o.priv = m.flags & V3::FLAG_PRIV;
    o.engine_id = &usm_engine_id();
    o.boots = usm_engine_boots();
    o.time = usm_engine_time();
    o.user = &c.user;
    o.context_engine = &context;
    o.pdu = response + at;
    o.pdu_len = static_cast<size_t>(n) - at;
    const size_t len = V3::encode(o, message, SNMP_BUF_SIZE);
    if (len == 0) return 1;
    *s_size = static_cast<int>(len);
    return 0;
}

}  // namespace

int recv_message(const char* srcaddr, int r_size, unsigned char* message, int* s_size)
{
    // SNMPv3 is authenticated by its own security: any address may ask.
    if (r_size >= 2 && V3::is_v3(message, static_cast<size_t>(r_size))) return recv_v3(srcaddr, r_size, message, s_size);
    if (!admin_settings.snmp_agent.snmp_v1v2c_enable) {
        log_rejected(V1V2C_OFF, "because SNMPv1/v2c is switched off.", srcaddr);
        return 3;
    }
    const int entry = authorise_sender(srcaddr, r_size);
    if (entry < 0) return 1;
    V2_work& work = per_thread<V2_work>();
    Request& rq = work.rq;
    int rc = parse_request(srcaddr, message, r_size, rq);
    if (rc == 0) rc = security_check(srcaddr, rq, entry);
    if (rc != 0) return rc;
    if (g_trace)
        std::printf("version=%d\ncom=(%d characters)\nreq_id=%lld\nnon_repeat=%d\nmax_repeat=%d\n", rq.version,
                    rq.community->length, static_cast<long long>(rq.req_id), rq.non_repeaters, rq.max_repetitions);

    Reply r;
    r.buf = work.out;
    r.community_len = rq.community->length;
    r.req_id = rq.req_id;
    switch (rq.pdu) {
    case BER::GETBULK: process_getbulk(rq, r); break;
    case BER::SET: process_set(rq, r); break;
    default: process_get(rq, r); break;
    }
    *s_size = encode_response(srcaddr, rq, message, r, admin_settings.snmp[entry].community, message);
    return 0;
}

void* RecvUdp(void*)
{
    std::printf("RecvUdp tid  : %ld\n", thread_tid());
    const SnmpListen listen = platform_snmp_listen();
    g_trace = listen.trace;
    unsigned char buf[SNMP_BUF_SIZE] = {};
    const std::string where = "UDP port " + std::to_string(listen.port);
    // A failure that repeats on every reopening is reported once, until a
    // datagram is received again.
    bool failing = false;
    auto fail = [&](const char* call, int err) {
        if (!failing) report_error(std::string("RecvUdp: ") + call, where, err);
        failing = true;
    };
    while (control) {
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        if (s < 0) {
            report_error("RecvUdp: socket()", where, errno);
            break;
        }
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(static_cast<uint16_t>(listen.port));
        local.sin_addr.s_addr = htonl(listen.addr);
        if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0) {
            report_error("RecvUdp: bind()", where, errno);
            close(s);
            break;
        }
        bool reopen = false;
        while (control && !reopen) {
            fd_set rd;
            FD_ZERO(&rd);
            FD_SET(s, &rd);
            timeval tv{1, 0};
            int r = select(s + 1, &rd, nullptr, nullptr, &tv);
            report_suppressed(now_s());
            if (r == 0 || (r < 0 && errno == EINTR)) continue;  // a signal is no failure
            if (r < 0) {
                fail("select()", errno);
                reopen = true;
                continue;
            }
            sockaddr_in from{};
            socklen_t from_len = sizeof from;
            ssize_t n = recvfrom(s, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
            // An empty datagram is nothing to answer; the socket and what is
            // queued on it stay.
            if (n == 0 || (n < 0 && (errno == EINTR || errno == EAGAIN))) continue;
            if (n < 0) {
                fail("recvfrom()", errno);
                reopen = true;
                continue;
            }
            failing = false;
            char addr[INET_ADDRSTRLEN] = "";
            inet_ntop(AF_INET, &from.sin_addr, addr, sizeof addr);
            int size = static_cast<int>(n);
            if (g_trace) {
                std::printf("recv:0x%xByte\r\n", size);
                trace_bytes(buf, size);
                std::printf("addr=%s\nport=%d\n\r", addr, ntohs(from.sin_port));
            }
            if (recv_message(addr, size, buf, &size) == 0) {
                if (g_trace) trace_bytes(buf, size);
                sendto(s, buf, static_cast<size_t>(size), 0, reinterpret_cast<sockaddr*>(&from), from_len);
            }
            std::memset(buf, 0, sizeof buf);
        }
        close(s);
    }
    snmp_pulses_wait();
    std::printf("end snmp thread\n");
    return nullptr;
}
