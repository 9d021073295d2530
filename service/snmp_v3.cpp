// SNMPv3 message reading and writing, and the security step of requests to
// this engine. Reading walks the BER elements in place (definite lengths
// only, as the standard requires); writing builds the message front to back
// and signs it where it lies.
#include "snmp_v3.h"

#include <openssl/rand.h>

#include <cstring>
#include <vector>

#include "snmp.h"

namespace {

using USM::Bytes;

// Written by the SNMP thread (check_request), read by the SNMP thread's MIB
// lookups; atomic so that a reader elsewhere never sees a torn value.
std::atomic<uint32_t> g_stats[V3::STATS];

// ---- Reading ----------------------------------------------------------------

struct Tlv {
    int tag = 0;
    const uint8_t* v = nullptr;
    size_t len = 0;
};

// One element at p (advanced past it); false when it does not fit before
// end or its length is not a definite one of at most four octets.
bool read_tlv(const uint8_t*& p, const uint8_t* end, Tlv& t)
{
    if (end - p < 2) return false;
    t.tag = p[0];
    size_t len = p[1];
    const uint8_t* q = p + 2;
    if (len & 0x80) {
        const size_t n = len & 0x7F;
        if (n == 0 || n > 4 || static_cast<size_t>(end - q) < n) return false;
        len = 0;
        for (size_t i = 0; i < n; ++i) len = (len << 8) | *q++;
    }
    if (static_cast<size_t>(end - q) < len) return false;
    t.v = q;
    t.len = len;
    p = q + len;
    return true;
}

bool read_tag(const uint8_t*& p, const uint8_t* end, int tag, Tlv& t) { return read_tlv(p, end, t) && t.tag == tag; }

// An INTEGER of 0 to 2^31-1.
bool read_uint31(const uint8_t*& p, const uint8_t* end, int32_t& out)
{
    Tlv t;
    if (!read_tag(p, end, BER::INTEGER, t) || t.len < 1 || t.len > 5) return false;
    if (t.v[0] & 0x80) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < t.len; ++i) v = (v << 8) | t.v[i];
    if (v > 0x7FFFFFFFu) return false;
    out = static_cast<int32_t>(v);
    return true;
}

// ---- Writing ----------------------------------------------------------------

void put_len(Bytes& b, size_t n)
{
    if (n < 0x80) {
        b.push_back(static_cast<uint8_t>(n));
        return;
    }
    int k = n < 0x100 ? 1 : n < 0x10000 ? 2 : 3;
    b.push_back(static_cast<uint8_t>(0x80 | k));
    for (int i = k - 1; i >= 0; --i) b.push_back(static_cast<uint8_t>(n >> (8 * i)));
}

size_t header_len(size_t n) { return n < 0x80 ? 2 : n < 0x100 ? 3 : n < 0x10000 ? 4 : 5; }

void put_tlv(Bytes& b, int tag, const uint8_t* v, size_t len)
{
    b.push_back(static_cast<uint8_t>(tag));
    put_len(b, len);
    if (len) b.insert(b.end(), v, v + len);
}

void put_tlv(Bytes& b, int tag, const Bytes& v) { put_tlv(b, tag, v.data(), v.size()); }

void put_uint31(Bytes& b, int32_t value)
{
    const uint32_t v = static_cast<uint32_t>(value < 0 ? 0 : value);
    uint8_t c[5];
    size_t n = 0;
    int k = v < 0x100u ? 1 : v < 0x10000u ? 2 : v < 0x1000000u ? 3 : 4;
    if ((v >> (8 * (k - 1))) & 0x80u) c[n++] = 0;
    for (int i = k - 1; i >= 0; --i) c[n++] = static_cast<uint8_t>(v >> (8 * i));
    put_tlv(b, BER::INTEGER, c, n);
}

// The salt of AES messages: a 64-bit count started at a random value,
// advanced per message. Written and read by any sending thread, atomically.
std::atomic<uint64_t> g_salt{0};

uint64_t next_salt()
{
    static const bool seeded = [] {
        uint64_t s = 0;
        if (RAND_bytes(reinterpret_cast<unsigned char*>(&s), sizeof s) != 1) s = 0x5DEECE66Dull;
        g_salt.store(s);
        return true;
    }();
    (void)seeded;
    return g_salt.fetch_add(1);
}

}  // namespace

namespace V3 {

bool is_v3(const uint8_t* msg, size_t len)
{
    const uint8_t* p = msg;
    const uint8_t* end = msg + len;
    Tlv seq, ver;
    if (!read_tag(p, end, BER::SEQUENCE, seq)) return false;
    p = seq.v;
    return read_tag(p, seq.v + seq.len, BER::INTEGER, ver) && ver.len == 1 && ver.v[0] == VERSION;
}

bool decode(const uint8_t* msg, size_t len, Message& m)
{
    const uint8_t* p = msg;
    const uint8_t* end = msg + len;
    Tlv seq, t;
    if (!read_tag(p, end, BER::SEQUENCE, seq) || p != end) return false;
    p = seq.v;
    end = seq.v + seq.len;
    int32_t version = 0;
    if (!read_uint31(p, end, version) || version != VERSION) return false;

    Tlv global;
    if (!read_tag(p, end, BER::SEQUENCE, global)) return false;
    const uint8_t* g = global.v;
    const uint8_t* gend = global.v + global.len;
    if (!read_uint31(g, gend, m.msg_id) || !read_uint31(g, gend, m.max_size) || m.max_size < 484) return false;
    if (!read_tag(g, gend, BER::OCTET_STRING, t) || t.len != 1) return false;
    m.flags = t.v[0];
    if (!read_uint31(g, gend, m.model) || m.model < 1 || g != gend) return false;

    Tlv sp;
    if (!read_tag(p, end, BER::OCTET_STRING, sp)) return false;
    const uint8_t* s = sp.v;
    const uint8_t* send = sp.v + sp.len;
    Tlv sseq;
    if (!read_tag(s, send, BER::SEQUENCE, sseq) || s != send) return false;
    s = sseq.v;
    send = sseq.v + sseq.len;
    if (!read_tag(s, send, BER::OCTET_STRING, t) || t.len > 32) return false;
    m.engine_id = t.v;
    m.engine_id_len = t.len;
    if (!read_uint31(s, send, m.boots) || !read_uint31(s, send, m.time)) return false;
    if (!read_tag(s, send, BER::OCTET_STRING, t) || t.len > USM::USER_NAME_MAX) return false;
    m.user = t.v;
    m.user_len = t.len;
    if (!read_tag(s, send, BER::OCTET_STRING, t)) return false;
    m.auth_offset = static_cast<size_t>(t.v - msg);
    m.auth_len = t.len;
    if (!read_tag(s, send, BER::OCTET_STRING, t) || s != send) return false;
    m.priv = t.v;
    m.priv_len = t.len;

    Tlv data;
    const uint8_t* d = p;
    if (!read_tlv(p, end, data) || p != end) return false;
    if (data.tag == BER::OCTET_STRING) {
        m.encrypted = true;
        m.data = data.v;
        m.data_len = data.len;
    } else if (data.tag == BER::SEQUENCE) {
        m.encrypted = false;
        m.data = d;
        m.data_len = static_cast<size_t>(end - d);
    } else {
        return false;
    }
    return true;
}

bool decode_scoped(const uint8_t* data, size_t len, Scoped& out)
{
    const uint8_t* p = data;
    // A decrypted scoped PDU may carry padding after its end.
    const uint8_t* end = data + len;
    Tlv seq, t;
    if (!read_tag(p, end, BER::SEQUENCE, seq)) return false;
    p = seq.v;
    end = seq.v + seq.len;
    if (!read_tag(p, end, BER::OCTET_STRING, t) || t.len > 32) return false;
    out.context_engine = t.v;
    out.context_engine_len = t.len;
    if (!read_tag(p, end, BER::OCTET_STRING, t) || t.len > 32) return false;
    out.context_name = t.v;
    out.context_name_len = t.len;
    const uint8_t* pdu = p;
    Tlv body;
    if (!read_tlv(p, end, body) || p != end || (body.tag & 0xE0) != 0xA0) return false;
    out.pdu_tag = body.tag;
    out.pdu = pdu;
    out.pdu_len = static_cast<size_t>(end - pdu);
    out.request_id = 0;
    const uint8_t* q = body.v;
    Tlv id;
    if (read_tag(q, body.v + body.len, BER::INTEGER, id) && id.len >= 1 && id.len <= 4) {
        uint32_t v = (id.v[0] & 0x80) ? 0xFFFFFFFFu : 0;
        for (size_t i = 0; i < id.len; ++i) v = (v << 8) | id.v[i];
        out.request_id = static_cast<int32_t>(v);
    }
    return true;
}

size_t encode(const Outgoing& o, uint8_t* out, size_t cap)
{
    static const Bytes empty;
    const UsmUser* u = o.user;
    const bool auth = o.auth && u && u->auth != USM::Auth::NONE;
    const bool priv = auth && o.priv && u->priv != USM::Priv::NONE;
    const Bytes& engine = o.engine_id ? *o.engine_id : empty;
    const Bytes& context = o.context_engine ? *o.context_engine : engine;

    Bytes scoped;
    scoped.reserve(o.pdu_len + 48);
    Bytes content;
    put_tlv(content, BER::OCTET_STRING, context);
    put_tlv(content, BER::OCTET_STRING, nullptr, 0);
    content.insert(content.end(), o.pdu, o.pdu + o.pdu_len);
    put_tlv(scoped, BER::SEQUENCE, content);

    uint8_t salt[USM::SALT_SIZE] = {};
    Bytes msg_data;
    if (priv) {
        const uint64_t s = next_salt();
        for (size_t i = 0; i < sizeof salt; ++i) salt[i] = static_cast<uint8_t>(s >> (56 - 8 * i));
        const Bytes iv = USM::aes_iv(static_cast<uint32_t>(o.boots), static_cast<uint32_t>(o.time), salt);
        if (!USM::aes_cfb(u->priv, u->priv_key, iv, scoped.data(), scoped.size(), scoped.data(), true)) return 0;
        put_tlv(msg_data, BER::OCTET_STRING, scoped);
    } else {
        msg_data.swap(scoped);
    }

    const std::string_view name = u ? std::string_view(u->name) : o.user_name;
    const size_t mac_len = auth ? USM::mac_length(u->auth) : 0;
    Bytes sp;  // the security parameters' SEQUENCE content
    put_tlv(sp, BER::OCTET_STRING, engine);
    put_uint31(sp, o.boots);
    put_uint31(sp, o.time);
    put_tlv(sp, BER::OCTET_STRING, reinterpret_cast<const uint8_t*>(name.data()), name.size());
    const size_t mac_in_sp = sp.size() + header_len(mac_len);
    const Bytes zeros(mac_len, 0);
    put_tlv(sp, BER::OCTET_STRING, zeros);
    put_tlv(sp, BER::OCTET_STRING, salt, priv ? sizeof salt : 0);
    Bytes sp_seq;
    put_tlv(sp_seq, BER::SEQUENCE, sp);

    Bytes global_content;
    put_uint31(global_content, o.msg_id);
    put_uint31(global_content, MAX_MESSAGE_SIZE);
    const uint8_t flags = static_cast<uint8_t>((auth ? FLAG_AUTH : 0) | (priv ? FLAG_PRIV : 0) |
                                               (o.reportable ? FLAG_REPORTABLE : 0));
    put_tlv(global_content, BER::OCTET_STRING, &flags, 1);
    put_uint31(global_content, USM_MODEL);

    Bytes body;
    put_uint31(body, VERSION);
    put_tlv(body, BER::SEQUENCE, global_content);
    const size_t sp_at = body.size() + header_len(sp_seq.size());
    put_tlv(body, BER::OCTET_STRING, sp_seq);
    body.insert(body.end(), msg_data.begin(), msg_data.end());

    const size_t total = header_len(body.size()) + body.size();
    if (total > cap) return 0;
    Bytes whole;
    whole.reserve(total);
    put_tlv(whole, BER::SEQUENCE, body);
    std::memcpy(out, whole.data(), total);
    if (auth) {
        const size_t at = header_len(body.size()) + sp_at + header_len(sp.size()) + mac_in_sp;
        if (!USM::sign(u->auth, u->auth_key, out, total, at)) return 0;
    }
    return total;
}

const char* stat_name(Stat s)
{
    static const char* const names[STATS] = {
        "1.3.6.1.6.3.15.1.1.1.0", "1.3.6.1.6.3.15.1.1.2.0", "1.3.6.1.6.3.15.1.1.3.0",
        "1.3.6.1.6.3.15.1.1.4.0", "1.3.6.1.6.3.15.1.1.5.0", "1.3.6.1.6.3.15.1.1.6.0",
    };
    return s >= 0 && s < STATS ? names[s] : "";
}

Checked check_request(const uint8_t* msg, size_t len, const Message& m, uint8_t* plain)
{
    Checked c;
    auto report = [&](Stat s, bool signed_report) {
        g_stats[s].fetch_add(1);
        c.verdict = Verdict::REPORT;
        c.stat = s;
        c.report_auth = signed_report;
        return c;
    };
    const bool want_auth = m.flags & FLAG_AUTH;
    const bool want_priv = m.flags & FLAG_PRIV;
    // Privacy without authentication is no level at all.
    if (want_priv && !want_auth) return c;

    const Bytes& engine = usm_engine_id();
    if (m.engine_id_len != engine.size() || std::memcmp(m.engine_id, engine.data(), engine.size()) != 0)
        return report(UNKNOWN_ENGINE_IDS, false);
    if (!usm_user_find(m.user_name(), c.user)) return report(UNKNOWN_USER_NAMES, false);
    const bool has_auth = c.user.auth != USM::Auth::NONE;
    const bool has_priv = c.user.priv != USM::Priv::NONE;
    // The user's configured level is the one a request must use: less is
    // refused, and more has no keys to work with.
    if (want_auth != has_auth || want_priv != has_priv) return report(UNSUPPORTED_SEC_LEVELS, false);
    if (want_auth) {
        if (m.auth_len != USM::mac_length(c.user.auth) || !USM::verify(c.user.auth, c.user.auth_key, msg, len, m.auth_offset))
            return report(WRONG_DIGESTS, false);
        if (!USM::in_time_window(usm_engine_boots(), usm_engine_time(), m.boots, m.time))
            return report(NOT_IN_TIME_WINDOWS, true);
    }
    if (want_priv) {
        if (!m.encrypted || m.priv_len != USM::SALT_SIZE || m.data_len > static_cast<size_t>(MAX_MESSAGE_SIZE))
            return report(DECRYPTION_ERRORS, false);
        const Bytes iv = USM::aes_iv(static_cast<uint32_t>(m.boots), static_cast<uint32_t>(m.time), m.priv);
        Scoped probe;
        if (!USM::aes_cfb(c.user.priv, c.user.priv_key, iv, m.data, m.data_len, plain, false) ||
            !decode_scoped(plain, m.data_len, probe))
            return report(DECRYPTION_ERRORS, false);
        c.scoped = plain;
        c.scoped_len = m.data_len;
    } else {
        if (m.encrypted) return c;
        c.scoped = m.data;
        c.scoped_len = m.data_len;
    }
    c.verdict = Verdict::ACCEPT;
    return c;
}

}  // namespace V3

uint32_t usm_stat(V3::Stat s) { return s >= 0 && s < V3::STATS ? g_stats[s].load() : 0; }
