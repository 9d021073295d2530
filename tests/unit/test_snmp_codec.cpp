// The BER codec: encoded lengths, integers, OIDs and VarBinds, and what the
// decoder takes and refuses.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "snmp.h"
#include "snmp_wire.h"

namespace {

using namespace snmp_wire;

std::string hex(const unsigned char* b, int n)
{
    std::string s;
    char t[4];
    for (int i = 0; i < n; ++i) {
        std::snprintf(t, sizeof t, i ? " %02X" : "%02X", b[i]);
        s += t;
    }
    return s;
}

// The value TLV of a VarBind encoded for the name 1.3 (VarBind: 30 L 06 01 2B value).
std::string int_value_tlv(int v, int type)
{
    unsigned char buf[64] = {};
    int n = add_packet_int(buf, "1.3", v, 0, type);
    reverse_packet(buf, n);
    return hex(buf + 5, n - 5);
}

// A message SEQUENCE around content, with the right outer length.
Bytes message(const Bytes& content) { return tlv(0x30, content); }

// GetRequest v2c "public" for name (content octets) with value.
Bytes get_request(const Bytes& name, const Bytes& value = {0x05, 0x00}, const Bytes& req_id = {0x01})
{
    Bytes vb = tlv(0x30, cat({tlv(0x06, name), value}));
    Bytes pdu = tlv(0xA0, cat({tlv(0x02, req_id), {0x02, 0x01, 0x00, 0x02, 0x01, 0x00}, tlv(0x30, vb)}));
    return message(cat({{0x02, 0x01, 0x01}, tlv(0x04, {'p', 'u', 'b', 'l', 'i', 'c'}), pdu}));
}

const Bytes SYS_DESCR = {0x2B, 6, 1, 2, 1, 1, 1, 0};

int decode(const Bytes& m, Message_tree& tree)
{
    Analysis_status as{};
    int r = analysis(m.data(), static_cast<int>(m.size()), tree, as);
    EXPECT_EQ(as.error_flag, r);
    return r;
}

}  // namespace

TEST(SnmpCodec, LengthsEncodeInTheirShortestForm)
{
    struct {
        uint32_t v;
        const char* want;
    } cases[] = {{0, "00"},          {127, "7F"},          {128, "81 80"},          {255, "81 FF"},
                 {256, "82 01 00"},  {65535, "82 FF FF"},  {65536, "83 01 00 00"},  {16777216, "84 01 00 00 00"}};
    for (const auto& c : cases) {
        unsigned char out[8];
        int n = 0;
        length_to_hex(c.v, n, out);
        EXPECT_EQ(hex(out, n), c.want) << c.v;
    }
}

TEST(SnmpCodec, IntegersAndTimeTicksEncodeAsTheAgentSendsThem)
{
    struct {
        int v, type;
        const char* want;
    } cases[] = {
        {0, 0x02, "02 01 00"},           {127, 0x02, "02 01 7F"},
        {128, 0x02, "02 02 00 80"},      {65535, 0x02, "02 03 00 FF FF"},
        {-1, 0x02, "02 04 FF FF FF FF"}, {16777216, 0x02, "02 04 01 00 00 00"},
        {-129, 0x02, "02 04 FF FF FF 7F"}, {200, 0x43, "43 01 C8"},
        {40000, 0x43, "43 02 9C 40"},    {2147483647, 0x02, "02 04 7F FF FF FF"},
    };
    for (const auto& c : cases) EXPECT_EQ(int_value_tlv(c.v, c.type), c.want) << c.v << " type " << c.type;
}

TEST(SnmpCodec, IntegersDecodeAsTwosComplement)
{
    struct {
        Bytes in;
        int want;
    } cases[] = {{{}, 0},           {{0x00, 0x80}, 128}, {{0x80}, -128},           {{0xFF}, -1},
                 {{0xFF, 0x7F}, -129}, {{0x7F}, 127},   {{0xFF, 0xFF, 0xFF, 0xFE}, -2}, {{0x01, 0x00, 0x00, 0x00}, 16777216}};
    for (const auto& c : cases) EXPECT_EQ(hex_to_int(c.in.data(), static_cast<int>(c.in.size())), c.want) << hex(c.in.data(), static_cast<int>(c.in.size()));
}

TEST(SnmpCodec, SkipStrHeadRemovesOnlyALeadingKey)
{
    char a[64] = "2.3.5.1", b[64] = "20";
    EXPECT_EQ(skip_str_head(a, "2."), 0);
    EXPECT_STREQ(a, "3.5.1");
    EXPECT_EQ(skip_str_head(b, "2."), 1);
    EXPECT_STREQ(b, "20");
    EXPECT_EQ(char_count("1.3.6.1", '.'), 3);
}

TEST(SnmpCodec, ObjectIdentifiersRoundTripWithinTheirLimits)
{
    struct {
        const char* text;
        const char* octets;
    } cases[] = {
        {"1.3.6.1.4.1.58213.22", "2B 06 01 04 01 83 C6 65 16"},
        {"1.3.6.1.2.1.1.1.0", "2B 06 01 02 01 01 01 00"},
        {"1.3.127.128.16383.16384", "2B 7F 81 00 FF 7F 81 80 00"},
        {"1.3.4294967295", "2B 8F FF FF FF 7F"},
        {"2.100.3", "81 34 03"},
        {"0.0", "00"},
    };
    for (const auto& c : cases) {
        unsigned char octets[SNMP_OID_OCTETS_MAX];
        int n = 0;
        ASSERT_EQ(oid_to_hex(c.text, octets, n), 0) << c.text;
        EXPECT_EQ(hex(octets, n), c.octets) << c.text;
        char back[SNMP_OID_TEXT_MAX + 1];
        ASSERT_EQ(hex_to_oid(octets, back, n), 0) << c.text;
        EXPECT_STREQ(back, c.text);
    }
    unsigned char octets[SNMP_OID_OCTETS_MAX];
    int n = 0;
    for (const char* bad : {"", "1", "1.3.", ".1.3", "1..3", "1.3.x", "3.1", "1.40", "1.3.4294967296",
                            "1.3.1.1.1.1.1.1.1.1.1.1.1.1.1.1.1.1.1.1.1"}) {
        EXPECT_EQ(oid_to_hex(bad, octets, n), 1) << bad;
        EXPECT_EQ(n, 0) << bad;
    }
    char text[SNMP_OID_TEXT_MAX + 1];
    const Bytes refused[] = {
        {},                          // no octets
        {0x2B, 0x86},                // sub-identifier cut off
        {0x2B, 0x90, 0x80, 0x80, 0x80, 0x00},  // beyond 32 bits
        Bytes(20, 0x01),             // 21 sub-identifiers
        {0x2B, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F,
         0x8F, 0xFF, 0xFF, 0xFF, 0x7F, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F},  // 67 characters
    };
    for (const auto& b : refused) EXPECT_EQ(hex_to_oid(b.data(), text, static_cast<int>(b.size())), 1) << hex(b.data(), static_cast<int>(b.size()));
}

TEST(SnmpCodec, VarBindsLandInMessageOrderAfterTheReversal)
{
    unsigned char msg[SNMP_BUF_SIZE] = {};
    unsigned char e_index = 0, err = 0;
    int n = create_objects(0, RESP::INTEGER, &e_index, &err, msg, "1.3.6", 5, "");
    n = create_objects(n, RESP::OCTETS, &e_index, &err, msg, "1.3.7", 0, "ab");
    n = create_objects(n, RESP::END_OF_MIB, &e_index, &err, msg, "1.3.8", 0, "");
    n = create_objects(n, RESP::OID, &e_index, &err, msg, "1.3.9", 0, "1.3.6.1");
    n = create_objects(n, RESP::NO_SUCH_OBJECT, &e_index, &err, msg, "1.3.10", 0, "");
    n = create_objects(n, RESP::NO_SUCH_INSTANCE, &e_index, &err, msg, "1.3.11", 0, "");
    EXPECT_EQ(err, 0);
    EXPECT_EQ(e_index, 0);
    reverse_packet(msg, n);
    EXPECT_EQ(hex(msg, n), "30 07 06 02 2B 06 02 01 05 "
                           "30 08 06 02 2B 07 04 02 61 62 "
                           "30 06 06 02 2B 08 82 00 "
                           "30 09 06 02 2B 09 06 03 2B 06 01 "
                           "30 06 06 02 2B 0A 80 00 "
                           "30 06 06 02 2B 0B 81 00");

    std::memset(msg, 0, sizeof msg);
    n = create_objects(0, RESP::BAD_VALUE, &e_index, &err, msg, "1.3.6", 5, "");
    reverse_packet(msg, n);
    EXPECT_EQ(err, 3);
    EXPECT_EQ(e_index, 1);
    EXPECT_EQ(hex(msg, n), "30 06 06 02 2B 06 05 00");
}

TEST(SnmpCodec, DateAndTimeIsLocalTimeInTheFixedZone)
{
    struct tm t{};
    t.tm_year = 2024 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 31;
    t.tm_hour = 23;
    t.tm_min = 59;
    t.tm_sec = 58;
    unsigned char d[11];
    date_and_time(t, d);
    EXPECT_EQ(hex(d, 11), "07 E8 0C 1F 17 3B 3A 00 2B 09 00");
}

TEST(SnmpCodec, DecoderReadsARequestIntoItsChain)
{
    static Message_tree tree;
    Bytes m = get_request(SYS_DESCR, {0x05, 0x00}, {0x12, 0x34});
    ASSERT_EQ(decode(m, tree), 0);
    const Complex* root = tree.root();
    ASSERT_EQ(parsed_data_check(root), 0);
    EXPECT_EQ(root->prim->int_value, 1);
    EXPECT_STREQ(root->prim->next->char_value, "public");
    EXPECT_EQ(root->next->type, 0xA0);
    EXPECT_EQ(root->next->prim->int_value, 0x1234);
    const Complex* vb = root->next->next->next;
    EXPECT_STREQ(vb->prim->char_value, "1.3.6.1.2.1.1.1.0");
    EXPECT_EQ(vb->prim->next->type, 0x05);
    EXPECT_EQ(vb->depth, 3);

    // IpAddress, TimeTicks and a string with a NUL inside.
    ASSERT_EQ(decode(get_request(SYS_DESCR, {0x40, 0x04, 10, 0, 0, 5}), tree), 0);
    EXPECT_STREQ(tree.root()->next->next->next->prim->next->char_value, "10.0.0.5");
    ASSERT_EQ(decode(get_request(SYS_DESCR, {0x43, 0x01, 0xC8}), tree), 0);
    EXPECT_EQ(tree.root()->next->next->next->prim->next->int_value, 200);
    // A Gauge32 is taken (a SET of one is answered wrongType, not dropped).
    ASSERT_EQ(decode(get_request(SYS_DESCR, {0x42, 0x01, 0xC8}), tree), 0);
    EXPECT_EQ(tree.root()->next->next->next->prim->next->type, 0x42);
    EXPECT_EQ(tree.root()->next->next->next->prim->next->int_value, 200);
    ASSERT_EQ(decode(get_request(SYS_DESCR, {0x04, 0x03, 'a', 0, 'b'}), tree), 0);
    EXPECT_STREQ(tree.root()->next->next->next->prim->next->char_value, "a");
}

TEST(SnmpCodec, DecoderRefusesWhatItCannotReadSafely)
{
    static Message_tree tree;
    Bytes good = get_request(SYS_DESCR);
    Bytes short_outer = good;
    short_outer[1] -= 1;
    Bytes trailing = good;
    trailing.push_back(0);
    Bytes nested = get_request(SYS_DESCR, tlv(0x30, {0x05, 0x00}));
    Bytes deep = message(tlv(0x30, tlv(0x30, tlv(0x30, tlv(0x30, {0x05, 0x00})))));
    Bytes many_subids(25, 0x01);
    many_subids[0] = 0x2B;
    // Cut messages are the corpus replay's: every cut of every seed is refused.
    struct {
        const char* what;
        Bytes m;
    } cases[] = {
        {"outer length one short of the datagram", short_outer},
        {"a byte after the message", trailing},
        {"InformRequest", message(cat({{0x02, 0x01, 0x01, 0x04, 0x00}, tlv(0xA6, {})}))},
        {"IpAddress of 5 octets", get_request(SYS_DESCR, {0x40, 0x05, 1, 2, 3, 4, 5})},
        {"zero-length integer", get_request(SYS_DESCR, {0x02, 0x00})},
        {"9-octet integer", get_request(SYS_DESCR, {0x02, 0x09, 0, 0, 0, 0, 0, 0, 0, 0, 1})},
        {"string of 128 octets", get_request(SYS_DESCR, tlv(0x04, Bytes(128, 'a')))},
        {"OID of 25 sub-identifiers", get_request(many_subids)},
        {"NULL with content", get_request(SYS_DESCR, {0x05, 0x01, 0x00})},
        {"value nested in the VarBind", nested},
        {"nesting deeper than a request", deep},
        {"primitive length past its element", get_request(SYS_DESCR, {0x04, 0x7F, 'a'})},
        {"length of 5 octets", message({0x04, 0x85, 0, 0, 0, 0, 1, 'a'})},
        {"a primitive at the top", {0x02, 0x01, 0x00}},
    };
    for (const auto& c : cases) EXPECT_EQ(decode(c.m, tree), 1) << c.what;

    // More compound elements than the pool holds.
    Bytes flood;
    for (int i = 0; i < 300; ++i) flood.insert(flood.end(), {0x30, 0x00});
    EXPECT_EQ(decode(message(tlv(0xA0, tlv(0x30, flood))), tree), 1);
    // The 127-octet string and the 20 sub-identifiers still pass.
    EXPECT_EQ(decode(get_request(SYS_DESCR, tlv(0x04, Bytes(127, 'a'))), tree), 0);
    EXPECT_EQ(decode(get_request(Bytes(19, 0x01)), tree), 0);
}

TEST(SnmpCodec, ShapeCheckWantsARequest)
{
    static Message_tree tree;
    Bytes vb = tlv(0x30, cat({tlv(0x06, SYS_DESCR), {0x05, 0x00}}));
    auto msg_with = [&](unsigned char pdu_tag, const Bytes& pdu_content) {
        return message(cat({{0x02, 0x01, 0x01}, tlv(0x04, {'p'}), tlv(pdu_tag, pdu_content)}));
    };
    Bytes ints = {0x02, 0x01, 0x01, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00};
    struct {
        const char* what;
        Bytes m;
        int want;
    } cases[] = {
        {"GetRequest", msg_with(0xA0, cat({ints, tlv(0x30, vb)})), 0},
        {"GetBulkRequest", msg_with(0xA5, cat({ints, tlv(0x30, vb)})), 0},
        {"a GetResponse is no request", msg_with(0xA2, cat({ints, tlv(0x30, vb)})), 1},
        {"two PDU integers", msg_with(0xA0, cat({Bytes(ints.begin(), ints.begin() + 6), tlv(0x30, vb)})), 1},
        {"no VarBind", msg_with(0xA0, cat({ints, tlv(0x30, {})})), 1},
        {"VarBind without value", msg_with(0xA0, cat({ints, tlv(0x30, tlv(0x30, tlv(0x06, SYS_DESCR)))})), 1},
        {"name is a string", msg_with(0xA0, cat({ints, tlv(0x30, tlv(0x30, {0x04, 0x01, 'x', 0x05, 0x00}))})), 1},
        {"community is an integer", message(cat({{0x02, 0x01, 0x01, 0x02, 0x01, 0x01}, tlv(0xA0, cat({ints, tlv(0x30, vb)}))})), 1},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(decode(c.m, tree), 0) << c.what;
        EXPECT_EQ(parsed_data_check(tree.root()), c.want) << c.what;
    }
}
