// BER codec of the SNMP agent: the subset of the Basic Encoding Rules that
// SNMPv1 and SNMPv2c messages need. Every function works on fixed buffers
// and keeps no state, so any thread may call it.
#include "snmp.h"

#include <climits>
#include <cstring>

Complex* Message_tree::new_complex()
{
    if (nc_ >= MAX_COMPLEX) return nullptr;
    Complex* c = &c_[nc_++];
    *c = Complex{};
    return c;
}

Primitive* Message_tree::new_primitive()
{
    if (np_ >= MAX_PRIMITIVE) return nullptr;
    Primitive* p = &p_[np_++];
    p->type = p->length = p->int_value = p->code = 0;
    p->char_value[0] = '\0';
    p->next = nullptr;
    return p;
}

namespace {

// Writes v in decimal at out; returns the characters written.
int put_uint(char* out, uint32_t v)
{
    char tmp[10];
    int n = 0;
    do {
        tmp[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    for (int i = 0; i < n; ++i) out[i] = tmp[n - 1 - i];
    return n;
}

// Parses one decimal sub-identifier of an OID text; false unless it is 1
// to 10 digits that fit 32 bits.
bool parse_subid(const char*& p, uint32_t& v)
{
    uint64_t acc = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9') {
        acc = acc * 10 + static_cast<unsigned>(*p - '0');
        if (++digits > 10 || acc > 0xFFFFFFFFull) return false;
        ++p;
    }
    v = static_cast<uint32_t>(acc);
    return digits > 0;
}

// One VarBind, built front to back in vb: SEQUENCE { name, value }, where
// value is the already encoded value TLV. Returns its size, 0 when the
// name is no OID.
int build_varbind(unsigned char* vb, const char* oid, const unsigned char* value, int value_len)
{
    unsigned char name[SNMP_OID_OCTETS_MAX];
    int name_len = 0;
    if (!oid || oid_to_hex(oid, name, name_len) != 0) return 0;
    int n = 0;
    vb[n++] = BER::SEQUENCE;
    length_to_hex(static_cast<uint32_t>(2 + name_len + value_len), n, vb);
    vb[n++] = BER::OID;
    vb[n++] = static_cast<unsigned char>(name_len);
    std::memcpy(vb + n, name, static_cast<size_t>(name_len));
    n += name_len;
    std::memcpy(vb + n, value, static_cast<size_t>(value_len));
    return n + value_len;
}

// Largest VarBind: SEQUENCE header (4), name (2 + 64), value (4 + 128).
constexpr int VARBIND_MAX = 4 + 2 + SNMP_OID_OCTETS_MAX + 4 + SNMP_STR_SIZE;

int put_reversed(unsigned char* send_data, int total_count, const unsigned char* vb, int size)
{
    for (int i = 0; i < size; ++i) send_data[total_count + i] = vb[size - 1 - i];
    return size;
}

int varbind_reversed(unsigned char* send_data, const char* oid, const unsigned char* value, int value_len,
                     int total_count)
{
    unsigned char vb[VARBIND_MAX];
    int size = build_varbind(vb, oid, value, value_len);
    return put_reversed(send_data, total_count, vb, size);
}

// INTEGER content: negatives in four octets, 0 in one, others minimal
// with a leading 00 when the top bit is set (never for TimeTicks).
int int_content(int value, int type, unsigned char* out)
{
    uint32_t u = static_cast<uint32_t>(value);
    if (value < 0) {
        for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(u >> (24 - 8 * i));
        return 4;
    }
    if (value == 0) {
        out[0] = 0;
        return 1;
    }
    int k = u < 0x100u ? 1 : u < 0x10000u ? 2 : u < 0x1000000u ? 3 : 4;
    int n = 0;
    if (k < 4 && type != BER::TIMETICKS && ((u >> (8 * (k - 1))) & 0x80u)) out[n++] = 0;
    for (int i = k - 1; i >= 0; --i) out[n++] = static_cast<unsigned char>(u >> (8 * i));
    return n;
}

// ---- Decoder -------------------------------------------------------------------

struct Decoder {
    const unsigned char* d;
    Message_tree& tree;
    Complex* last;  // the compound element met last, for the message-order chain
};

bool store_primitive(const unsigned char* c, int len, int tag, Primitive* p)
{
    p->type = tag;
    p->length = len;
    std::memset(p->char_value, 0, sizeof p->char_value);
    switch (tag) {
    case BER::INTEGER:
    case BER::COUNTER32:
    case BER::GAUGE32:
    case BER::TIMETICKS:
    case BER::COUNTER64:
        // No content is no integer; more octets than a 64-bit value (with
        // its sign octet) no value anyone sends.
        if (len < 1 || len > (tag == BER::COUNTER64 ? 9 : 8)) return false;
        p->int_value = hex_to_int(c, len);
        // The application types are unsigned: C8 is 200, not -56.
        if (tag != BER::INTEGER && len < 4 && (c[0] & 0x80))
            p->int_value = static_cast<int>(static_cast<uint32_t>(p->int_value) & (~0u >> (32 - 8 * len)));
        return true;
    case BER::OPAQUE:
    case BER::OCTET_STRING:
        if (len > SNMP_STR_SIZE - 1) return false;
        for (int i = 0; i < len && c[i]; ++i) p->char_value[i] = static_cast<char>(c[i]);
        p->int_value = -1;
        return true;
    case BER::OID:
        p->int_value = -1;
        return hex_to_oid(c, p->char_value, len) == 0;
    case BER::IPADDRESS: {
        if (len != 4) return false;
        char* o = p->char_value;
        for (int i = 0; i < 4; ++i) {
            if (i) *o++ = '.';
            o += put_uint(o, c[i]);
        }
        return true;
    }
    case BER::NUL:
        p->int_value = 0;
        return len == 0;
    default:
        return false;
    }
}

// Walks the elements of self's content [pos, end).
bool decode_children(Decoder& dc, Complex* self, int pos, int end)
{
    Primitive* last_prim = nullptr;
    Complex* last_child = nullptr;
    while (pos < end) {
        int tag = dc.d[pos];
        int cls = type_check(tag);
        if (cls < 0) return false;
        int len = 0;
        int n = length_check(dc.d + pos + 1, end - pos - 1, len);
        if (n < 0) return false;
        int start = pos + 1 + n;
        if (len > end - start) return false;
        if (cls == 1) {
            if (self->depth + 1 > Message_tree::MAX_DEPTH) return false;
            Complex* c = dc.tree.new_complex();
            if (!c) return false;
            c->type = tag;
            c->length = len;
            c->depth = self->depth + 1;
            c->start = pos;
            c->end = start + len;
            if (last_child) last_child->samedep_next = c;
            last_child = c;
            dc.last->next = c;
            dc.last = c;
            if (!decode_children(dc, c, start, start + len)) return false;
        } else {
            Primitive* p = dc.tree.new_primitive();
            if (!p || !store_primitive(dc.d + start, len, tag, p)) return false;
            if (last_prim) last_prim->next = p;
            else self->prim = p;
            last_prim = p;
            ++self->prim_num;
        }
        pos = start + len;
    }
    return true;
}

}  // namespace

void length_to_hex(uint32_t value, int& count, unsigned char* out)
{
    int k = value < 0x80u ? 0 : value < 0x100u ? 1 : value < 0x10000u ? 2 : value < 0x1000000u ? 3 : 4;
    if (k == 0) {
        out[count++] = static_cast<unsigned char>(value);
        return;
    }
    out[count++] = static_cast<unsigned char>(0x80 | k);
    for (int i = k - 1; i >= 0; --i) out[count++] = static_cast<unsigned char>(value >> (8 * i));
}

void data_to_hex(uint32_t value, int flag, int& count, unsigned char* out)
{
    int groups = 1;
    while (groups < 5 && (value >> (7 * groups))) ++groups;
    for (int g = groups - 1; g >= 0; --g) {
        unsigned char b = static_cast<unsigned char>((value >> (7 * g)) & 0x7F);
        if (g > 0 || flag) b |= 0x80;
        out[count++] = b;
    }
}

int oid_to_hex(const char* oid, unsigned char* save, int& num)
{
    num = 0;
    uint32_t v[SNMP_OID_SUBIDS_MAX];
    int n = 0;
    const char* p = oid;
    while (true) {
        if (n == SNMP_OID_SUBIDS_MAX || !parse_subid(p, v[n])) return 1;
        ++n;
        if (*p == '\0') break;
        if (*p != '.') return 1;
        ++p;
    }
    if (n < 2 || v[0] > 2 || (v[0] < 2 && v[1] >= 40) || v[1] > 0xFFFFFFFFu - 80) return 1;
    unsigned char tmp[SNMP_OID_SUBIDS_MAX * 5];
    int count = 0;
    data_to_hex(v[0] * 40 + v[1], 0, count, tmp);
    for (int i = 2; i < n; ++i) data_to_hex(v[i], 0, count, tmp);
    if (count > SNMP_OID_OCTETS_MAX) return 1;
    std::memcpy(save, tmp, static_cast<size_t>(count));
    num = count;
    return 0;
}

int hex_to_oid(const unsigned char* bdata, char* save_r, int size)
{
    std::memset(save_r, 0, SNMP_OID_TEXT_MAX + 1);
    if (size < 1 || (bdata[size - 1] & 0x80)) return 1;
    char text[SNMP_OID_SUBIDS_MAX * 11 + 1];
    int len = 0;
    int subids = 0;
    uint32_t v = 0;
    bool first = true;
    for (int i = 0; i < size; ++i) {
        if (v > (0xFFFFFFFFu >> 7)) return 1;
        v = (v << 7) | (bdata[i] & 0x7Fu);
        if (bdata[i] & 0x80) continue;
        if (first) {
            // The first sub-identifier carries two numbers.
            uint32_t a = v < 40 ? 0 : v < 80 ? 1 : 2;
            len += put_uint(text + len, a);
            text[len++] = '.';
            len += put_uint(text + len, v - 40 * a);
            subids = 2;
            first = false;
        } else {
            if (++subids > SNMP_OID_SUBIDS_MAX) return 1;
            text[len++] = '.';
            len += put_uint(text + len, v);
        }
        v = 0;
        if (len > SNMP_OID_TEXT_MAX) return 1;
    }
    std::memcpy(save_r, text, static_cast<size_t>(len));
    return 0;
}

int hex_to_int(const unsigned char* bdata, int len)
{
    uint32_t acc = 0;
    for (int i = 0; i < len; ++i) acc = (acc << 8) | bdata[i];
    if (len > 0 && len < 4 && (bdata[0] & 0x80)) acc |= ~0u << (8 * len);
    return static_cast<int>(acc);
}

int length_check(const unsigned char* data, int remaining, int& len)
{
    len = 0;
    if (remaining < 1) return -1;
    int b = data[0];
    if (b < 0x80) {
        len = b;
        return 1;
    }
    int n = b & 0x7F;
    if (n == 0) return 1;  // indefinite form: taken as length 0
    if (n > 4 || 1 + n > remaining) return -1;
    uint32_t v = 0;
    for (int i = 1; i <= n; ++i) v = (v << 8) | data[i];
    if (v > static_cast<uint32_t>(INT_MAX)) return -1;
    len = static_cast<int>(v);
    return 1 + n;
}

int add_packet_string(unsigned char* send_data, const char* oid, const char* str, int length, int total_count)
{
    if (length < 0 || length > SNMP_STR_SIZE) return 0;
    unsigned char value[4 + SNMP_STR_SIZE];
    int n = 0;
    value[n++] = BER::OCTET_STRING;
    length_to_hex(static_cast<uint32_t>(length), n, value);
    if (length) std::memcpy(value + n, str, static_cast<size_t>(length));
    return varbind_reversed(send_data, oid, value, n + length, total_count);
}

int add_packet_oid(unsigned char* send_data, const char* oid, const char* v_oid, int total_count)
{
    unsigned char value[2 + SNMP_OID_OCTETS_MAX];
    int len = 0;
    if (oid_to_hex(v_oid, value + 2, len) != 0) return 0;
    value[0] = BER::OID;
    value[1] = static_cast<unsigned char>(len);
    return varbind_reversed(send_data, oid, value, 2 + len, total_count);
}

int add_packet_int(unsigned char* send_data, const char* oid, int value, int total_count, int type)
{
    unsigned char tlv[7];
    int len = int_content(value, type, tlv + 2);
    tlv[0] = static_cast<unsigned char>(type);
    tlv[1] = static_cast<unsigned char>(len);
    return varbind_reversed(send_data, oid, tlv, 2 + len, total_count);
}

int add_packet_null(unsigned char* send_data, const char* oid, int total_count, int eom_flag)
{
    const unsigned char tlv[2] = {static_cast<unsigned char>(eom_flag == 1 ? BER::END_OF_MIB_VIEW : BER::NUL), 0};
    return varbind_reversed(send_data, oid, tlv, 2, total_count);
}

void reverse_packet(unsigned char* buf, int len)
{
    for (int i = 0, j = len - 1; i < j; ++i, --j) {
        unsigned char t = buf[i];
        buf[i] = buf[j];
        buf[j] = t;
    }
}

int char_count(const char* str, char c)
{
    int n = 0;
    for (; str && *str; ++str)
        if (*str == c) ++n;
    return n;
}

int skip_str_head(char* str, const char* key)
{
    size_t k = std::strlen(key);
    if (std::strncmp(str, key, k) != 0) return 1;
    size_t rest = std::strlen(str + k);
    if (rest > 63) rest = 63;
    std::memmove(str, str + k, rest);
    str[rest] = '\0';
    return 0;
}

void date_and_time(const struct tm& t, unsigned char* date)
{
    int year = t.tm_year + 1900;
    date[0] = static_cast<unsigned char>(year >> 8);
    date[1] = static_cast<unsigned char>(year & 0xFF);
    date[2] = static_cast<unsigned char>(t.tm_mon + 1);
    date[3] = static_cast<unsigned char>(t.tm_mday);
    date[4] = static_cast<unsigned char>(t.tm_hour);
    date[5] = static_cast<unsigned char>(t.tm_min);
    date[6] = static_cast<unsigned char>(t.tm_sec);
    date[7] = 0;
    // The appliance's zone is always given as UTC+9:00.
    date[8] = '+';
    date[9] = 9;
    date[10] = 0;
}

void get_date_string(unsigned char* date)
{
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    date_and_time(t, date);
}

int type_check(int tag)
{
    switch (tag) {
    case BER::INTEGER:
    case BER::OCTET_STRING:
    case BER::NUL:
    case BER::OID:
    case BER::IPADDRESS:
    case BER::COUNTER32:
    case BER::GAUGE32:
    case BER::TIMETICKS:
    case BER::OPAQUE:
    case BER::COUNTER64:
        return 0;
    case BER::SEQUENCE:
    case BER::GET:
    case BER::GETNEXT:
    case BER::RESPONSE:
    case BER::SET:
    case BER::TRAP:
    case BER::GETBULK:
    case BER::TRAP2:
        return 1;
    default:
        return -1;
    }
}

int analysis(const unsigned char* data, int length, Message_tree& tree, Analysis_status& as)
{
    as = Analysis_status{0, 0, length, length, length};
    tree.clear();
    auto fail = [&] {
        as.error_flag = 1;
        return 1;
    };
    if (length < 2 || type_check(data[0]) != 1) return fail();
    int len = 0;
    int n = length_check(data + 1, length - 1, len);
    if (n < 0 || len != length - 1 - n) return fail();
    Complex* root = tree.new_complex();
    root->type = data[0];
    root->length = len;
    root->start = 0;
    root->end = length;
    Decoder dc{data, tree, root};
    if (!decode_children(dc, root, 1 + n, length)) return fail();
    as.break_flag = 1;
    return 0;
}

int parsed_data_check(const Complex* complex)
{
    const Complex* msg = complex;
    if (!msg || msg->type != BER::SEQUENCE || msg->prim_num < 2) return 1;
    if (msg->prim->type != BER::INTEGER || msg->prim->next->type != BER::OCTET_STRING) return 1;
    const Complex* pdu = msg->next;
    if (!pdu || pdu->depth != 1 || pdu->prim_num < 3) return 1;
    if (pdu->type != BER::GET && pdu->type != BER::GETNEXT && pdu->type != BER::SET && pdu->type != BER::GETBULK)
        return 1;
    for (const Primitive* p = pdu->prim; p; p = p->next)
        if (p->type != BER::INTEGER) return 1;
    const Complex* list = pdu->next;
    if (!list || list->depth != 2 || list->type != BER::SEQUENCE) return 1;
    const Complex* vb = list->next;
    if (!vb || vb->depth != 3 || vb->type != BER::SEQUENCE || vb->prim_num < 2) return 1;
    return vb->prim->type == BER::OID ? 0 : 1;
}

int create_objects(int total_count, int response, unsigned char* e_index, unsigned char* err, unsigned char* message,
                   const char* oid, int int_data, const char* str_data)
{
    unsigned char vb[VARBIND_MAX];
    int size = 0;
    *err = static_cast<unsigned char>(response & 0xFF);
    if (*err) {
        *e_index = 1;
        size = add_packet_null(vb, oid, 0, 0);
    } else {
        switch ((response >> 8) & 0xFF) {
        case BER::INTEGER: size = add_packet_int(vb, oid, int_data, 0, BER::INTEGER); break;
        case BER::OCTET_STRING: size = add_packet_string(vb, oid, str_data, static_cast<int>(strnlen(str_data, SNMP_STR_SIZE - 1)), 0); break;
        case BER::OID: size = add_packet_oid(vb, oid, str_data, 0); break;
        case BER::OCTETS_N: size = add_packet_string(vb, oid, str_data, int_data, 0); break;
        case BER::COUNTER32: size = add_packet_int(vb, oid, int_data, 0, BER::COUNTER32); break;
        case BER::END_OF_MIB_VIEW: size = add_packet_null(vb, oid, 0, 1); break;
        case BER::NO_SUCH_OBJECT:
        case BER::NO_SUCH_INSTANCE: {
            const unsigned char tlv[2] = {static_cast<unsigned char>(response >> 8), 0};
            size = varbind_reversed(vb, oid, tlv, 2, 0);
            break;
        }
        default: size = add_packet_null(vb, oid, 0, 0); break;
        }
    }
    if (size == 0 || total_count + size > SNMP_BUF_SIZE) return total_count;
    std::memmove(message + size, message, static_cast<size_t>(total_count));
    std::memcpy(message, vb, static_cast<size_t>(size));
    return total_count + size;
}
