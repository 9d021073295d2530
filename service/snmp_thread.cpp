/*
 * RecvUdp: the SNMP agent.
 * Owns: the agent's UDP socket and its receive buffer, in which each
 *   response is built; the relay pulses its SETs start.
 * Waits on: the socket, at most 1 s at a time.
 * Order: one datagram at a time, answered before the next is read; only the
 *   first variable binding of a request is answered.
 * Stopped by: `control` dropping to 0 (seen within 1 s), or a socket that
 *   cannot be created or bound; it waits for running pulses to end.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "platform.h"
#include "settings_table.h"
#include "snmp.h"

namespace {

bool g_trace = false;  // per-request console lines

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

void log_rejected(const char* why, const char* addr)
{
    char line[256];
    std::snprintf(line, sizeof line, "The received SNMP message(SET/GET) from %s will be ignored %s", addr, why);
    applog(line);
}

void trace_bytes(const unsigned char* b, int n)
{
    for (int i = 0; i < n; ++i) std::printf("%02x ", b[i]);
    std::printf("\n");
}

}  // namespace

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

int recv_message(const char* srcaddr, int r_size, unsigned char* message, int* s_size)
{
    // The last enabled entry that admits the sender is the one used.
    int entry = -1;
    for (int i = 0; i < SETTINGS_TABLE::SNMP_NUM; ++i)
        if (admin_settings.snmp[i].enable && prefix_check(srcaddr, i) == 0) entry = i;
    if (entry < 0) {
        char line[160];
        std::snprintf(line, sizeof line, "Accessed port 161 from an unauthorized IP address(%s). data size : %d",
                      srcaddr, r_size);
        std::printf("%s\n", line);
        applog(line);
        return 1;
    }

    // One tree per thread: 100 KB that must not be allocated per request.
    static thread_local Message_tree tree;
    Analysis_status as{};
    if (r_size < 2 || r_size > SNMP_BUF_SIZE || analysis(message, r_size, tree, as) != 0) {
        log_rejected("due to failure to analysis.", srcaddr);
        return 1;
    }
    const Complex* root = tree.root();
    if (parsed_data_check(root) != 0) {
        log_rejected("because required data is missing.", srcaddr);
        return 1;
    }
    const Primitive* version_p = root->prim;
    const Primitive* community_p = version_p->next;
    const Complex* pdu = root->next;
    const Primitive* id_p = pdu->prim;
    const Primitive* second_p = id_p->next;   // error-status, or non-repeaters
    const Primitive* third_p = second_p->next;  // error-index, or max-repetitions
    const Primitive* name_p = pdu->next->next->prim;
    const Primitive* value_p = name_p->next;
    if (id_p->length > 4) {
        log_rejected("because the requestID overflowed.", srcaddr);
        return 2;
    }
    // Other integers beyond 32 bits cannot be taken as they were meant.
    if (version_p->length > 4 || second_p->length > 4 || third_p->length > 4 ||
        (pdu->type == BER::SET && value_p->type == BER::INTEGER && value_p->length > 4)) {
        log_rejected("due to failure to analysis.", srcaddr);
        return 1;
    }
    const int version = version_p->int_value;
    if (version == 2) {
        char why[64];
        std::snprintf(why, sizeof why, "because of the wrong version : %d", version);
        log_rejected(why, srcaddr);
        return 3;
    }
    // The whole community must match: a received text that merely begins
    // with the configured one is no password.
    const char* configured = admin_settings.snmp[entry].community;
    const size_t conf_len = strnlen(configured, sizeof admin_settings.snmp[entry].community);
    if (static_cast<size_t>(community_p->length) != conf_len || std::strlen(community_p->char_value) != conf_len ||
        std::memcmp(community_p->char_value, configured, conf_len) != 0) {
        std::string why = "because of the wrong community(" + printable(community_p->char_value) + ").";
        log_rejected(why.c_str(), srcaddr);
        return 4;
    }

    const int64_t req_id = id_p->int_value;
    const int non_repeaters = second_p->int_value;
    const int max_repetitions = third_p->int_value;
    if (g_trace)
        std::printf("version=%d\ncom=%s\nreq_id=%d\nnon_repeat=%d\nmax_repeat=%d\n", version,
                    printable(community_p->char_value).c_str(), id_p->int_value, non_repeaters, max_repetitions);

    char name[SNMP_NAME_SIZE];
    copy_text(name, name_p->char_value);
    char str_data[SNMP_STR_SIZE] = {};
    int int_data = 0;
    const int value_type = value_p->type;
    if (pdu->type == BER::SET) {
        if (value_type == BER::OCTET_STRING) copy_text(str_data, value_p->char_value);
        if (value_type == BER::INTEGER) int_data = value_p->int_value;
    }
    std::memset(message, 0, SNMP_RESPONSE_MAX);
    if (g_trace) std::printf("type=%d\nstr_data=%s\nint_data=%d\noid=%s\nGET?=%d\n", value_type, str_data, int_data, name, pdu->type);

    unsigned char e_index = 0, err = 0;
    int total = 0;
    int res = 0;
    const int community_len = static_cast<int>(conf_len);
    if (pdu->type == BER::GETBULK) {
        const int reps = max_repetitions < 1 ? 0 : max_repetitions > 10 ? 10 : max_repetitions;
        for (int i = 0; i < reps; ++i) {
            const int before = total;
            str_data[0] = '\0';
            int_data = 0;
            res = check_oid(name, pdu->type, str_data, int_data, value_type, version);
            total = create_objects(total, res, &e_index, &err, message, name, int_data, str_data);
            if (err) break;
            // A repetition that no longer fits is left out: the manager
            // asks again from the last name it got.
            if (i > 0 && getres_length(total, community_len, req_id) > SNMP_RESPONSE_MAX) {
                std::memmove(message, message + (total - before), static_cast<size_t>(before));
                total = before;
                break;
            }
            if (((res >> 8) & 0xFF) == BER::END_OF_MIB_VIEW || non_repeaters != 0) break;
        }
    } else {
        res = check_oid(name, pdu->type, str_data, int_data, value_type, version);
        total = create_objects(total, res, &e_index, &err, message, name, int_data, str_data);
    }
    if (g_trace) std::printf("res=%d\n", res);

    if (total > SNMP_RESPONSE_MAX || getres_length(total, community_len, req_id) > SNMP_RESPONSE_MAX) {
        std::memset(message, 0, SNMP_BUF_SIZE);
        e_index = 0;
        err = 0;
        total = create_objects(0, RESP::NUL, &e_index, &err, message, name, 0, "");
        char line[160];
        std::snprintf(line, sizeof line, "The created SNMP response message to %s will be discard because too big.",
                      srcaddr);
        applog(line);
        *s_size = create_getres(message, configured, req_id, version, 0, 1, total);
        return 0;
    }
    *s_size = create_getres(message, configured, req_id, version, e_index, err, total);
    return 0;
}

void* RecvUdp(void*)
{
    std::printf("RecvUdp tid  : %ld\n", thread_tid());
    const SnmpListen listen = platform_snmp_listen();
    g_trace = listen.trace;
    unsigned char buf[SNMP_BUF_SIZE] = {};
    while (control) {
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        if (s < 0) {
            std::printf("socket() error %x\n", errno);
            break;
        }
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(static_cast<uint16_t>(listen.port));
        local.sin_addr.s_addr = htonl(listen.addr);
        if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0) {
            std::printf("bind() error %x\n", errno);
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
            if (r == 0 || (r < 0 && errno == EINTR)) continue;  // a signal is no failure
            if (r < 0) {
                applog("select error");
                reopen = true;
                continue;
            }
            sockaddr_in from{};
            socklen_t from_len = sizeof from;
            ssize_t n = recvfrom(s, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
            if (n == -1) std::printf("recvfrom() errno = 0x%x\n", errno);
            if (n < 1) {
                reopen = true;
                continue;
            }
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
