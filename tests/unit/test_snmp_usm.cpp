// SNMPv3 user-based security: key derivation, message authentication codes,
// the privacy cipher, the engine ID, the time window and the users' key table.
#include <gtest/gtest.h>

#include <cstring>

#include "common.h"
#include "sandbox.h"
#include "settings_table.h"
#include "snmp_usm.h"

namespace {

using USM::Auth;
using USM::Bytes;
using USM::Priv;

Bytes unhex(const std::string& h)
{
    Bytes out;
    for (size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return out;
}

const Bytes kEngine2 = unhex("000000000000000000000002");

// Passphrase "maplesyrup", engine ID 00...02. SHA-1: the sample results of
// the USM standard's appendix. SHA-2: computed once per the same algorithm
// with Python's hashlib (an independent implementation); the algorithm was
// confirmed against snmpd 5.9.3, which answered requests signed and
// encrypted with keys derived this way for every protocol.
TEST(UsmKeysTest, PasswordToKeyAndLocalisationMatchPublishedAndIndependentVectors)
{
    struct Case {
        Auth auth;
        const char* ku;
        const char* kul;
    } cases[] = {
        {Auth::SHA1, "9fb5cc0381497b3793528939ff788d5d79145211", "6695febc9288e36282235fc7151f128497b38f3f"},
        {Auth::SHA224, "282a5867ee9aac639ad59df9572c7d3ac0fbc13a905b6df07dbbf00b",
         "0bd8827c6e29f8065e08e09237f177e410f69b90e1782be682075674"},
        {Auth::SHA256, "ab51014d1e077f6017df2b12bee5f5aa72993177e9bb569c4dff5a4ca0b4afac",
         "8982e0e549e866db361a6b625d84cccc11162d453ee8ce3a6445c2d6776f0f8b"},
        {Auth::SHA384,
         "e06eccdf2c68a06ed034723c9c26e0db3b669e1e2efed49150b55377a2e98f383c86fb836857444654b287c93f51ff64",
         "3b298f16164a11184279d5432bf169e2d2a48307de02b3d3f7e2b4f36eb6f0455a53689a3937eea07319a633d2ccba78"},
        {Auth::SHA512,
         "7e4396de5aadc77be853819b98c9406265b3a9c37cc3176569847a4e4f6fba63dd3a73d04924d31a63f95a601f9385af6be4ed1b37"
         "f87d040f7c6ed6f8d38a91",
         "22a5a36cedfcc085807a128d7bc6c2382167ad6c0dbc5fdff856740f3d84c099ad1ea87a8db096714d9788bd544047c9021e4229ce"
         "27e4c0a69250adfcffbb0b"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.auth));
        Bytes ku = USM::password_to_key(c.auth, "maplesyrup");
        EXPECT_EQ(USM::hex(ku), c.ku);
        EXPECT_EQ(USM::hex(USM::localize_key(c.auth, ku, kEngine2)), c.kul);
    }
    EXPECT_TRUE(USM::password_to_key(Auth::NONE, "maplesyrup").empty());
    EXPECT_TRUE(USM::password_to_key(Auth::SHA1, "").empty());
}

// The AES key: the first octets of the localized privacy key, extended by
// its own hash where it is too short. Which extension the net-snmp tools
// use for "AES-192" and "AES-256" was established against snmpd 5.9.3:
// with SHA-1 and SHA-224 users only this one decrypted; the values are
// from hashlib as above.
TEST(UsmKeysTest, PrivacyKeysTakeTheLocalizedKeyAndExtendItWhereShort)
{
    struct Case {
        Auth auth;
        Priv priv;
        const char* key;
    } cases[] = {
        {Auth::SHA1, Priv::AES128, "6695febc9288e36282235fc7151f1284"},
        {Auth::SHA1, Priv::AES192, "6695febc9288e36282235fc7151f128497b38f3f505e07eb"},
        {Auth::SHA1, Priv::AES256, "6695febc9288e36282235fc7151f128497b38f3f505e07eb9af25568fa1f5dbe"},
        {Auth::SHA224, Priv::AES256, "0bd8827c6e29f8065e08e09237f177e410f69b90e1782be682075674e82d9bf0"},
        {Auth::SHA256, Priv::AES256, "8982e0e549e866db361a6b625d84cccc11162d453ee8ce3a6445c2d6776f0f8b"},
        {Auth::SHA256, Priv::NONE, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.auth)) + "/" + std::to_string(static_cast<int>(c.priv)));
        Bytes kul = USM::localize_key(c.auth, USM::password_to_key(c.auth, "maplesyrup"), kEngine2);
        EXPECT_EQ(USM::hex(USM::priv_key(c.auth, c.priv, kul)), c.key);
    }
}

// HMAC-SHA-96 and the truncations of the SHA-2 protocols (12, 16, 24, 32
// and 48 octets); the full codes are the published HMAC test case "Jefe" /
// "what do ya want for nothing?".
TEST(UsmMacTest, CodesAreTheHmacTruncatedToTheProtocolLength)
{
    struct Case {
        Auth auth;
        const char* code;
    } cases[] = {
        {Auth::SHA1, "effcdf6ae5eb2fa2d27416d5"},
        {Auth::SHA224, "a30e01098bc6dbbf45690f3a7e9e6d0f"},
        {Auth::SHA256, "5bdcc146bf60754e6a042426089575c75a003f089d273983"},
        {Auth::SHA384, "af45d2e376484031617f78d2b58a6b1b9c7ef464f5a01b47e42ec3736322445e"},
        {Auth::SHA512, "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea2505549758bf75c05a994a6d034f65f8f0e6fd"},
    };
    const Bytes key = {'J', 'e', 'f', 'e'};
    const std::string data = "what do ya want for nothing?";
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.auth));
        EXPECT_EQ(USM::hex(USM::mac(c.auth, key, reinterpret_cast<const uint8_t*>(data.data()), data.size())), c.code);

        // Signing fills the zeroed field; checking accepts that message
        // and refuses one with any octet changed or under another key.
        const size_t m = USM::mac_length(c.auth);
        Bytes msg(40 + m, 0x5a);
        ASSERT_TRUE(USM::sign(c.auth, key, msg.data(), msg.size(), 20));
        Bytes zeroed = msg;
        std::memset(zeroed.data() + 20, 0, m);
        EXPECT_EQ(Bytes(msg.begin() + 20, msg.begin() + 20 + static_cast<long>(m)),
                  USM::mac(c.auth, key, zeroed.data(), zeroed.size()));
        EXPECT_TRUE(USM::verify(c.auth, key, msg.data(), msg.size(), 20));
        for (size_t at : {size_t{0}, size_t{20}, msg.size() - 1}) {
            Bytes bad = msg;
            bad[at] ^= 1;
            EXPECT_FALSE(USM::verify(c.auth, key, bad.data(), bad.size(), 20)) << "octet " << at;
        }
        EXPECT_FALSE(USM::verify(c.auth, Bytes{'J', 'e', 'f', 'f'}, msg.data(), msg.size(), 20));
        EXPECT_FALSE(USM::verify(c.auth, key, msg.data(), msg.size(), msg.size() - m + 1)) << "field past the end";
    }
}

// The IV is engineBoots, engineTime and the salt; boots 0x00010203, time
// 0x04050607 and salt 08..0f give the IV of the published AES-CFB128 test
// vectors (NIST SP 800-38A, F.3.13/15/17), whose first 20 octets of
// ciphertext follow.
TEST(UsmPrivacyTest, AesCfbWithTheBootsTimeSaltIvMatchesPublishedVectors)
{
    const uint8_t salt[8] = {8, 9, 10, 11, 12, 13, 14, 15};
    const Bytes iv = USM::aes_iv(0x00010203u, 0x04050607u, salt);
    EXPECT_EQ(USM::hex(iv), "000102030405060708090a0b0c0d0e0f");
    EXPECT_EQ(USM::hex(USM::aes_iv(2147483647u, 1u, salt)), "7fffffff0000000108090a0b0c0d0e0f");

    struct Case {
        Priv priv;
        const char* key;
        const char* cipher;
    } cases[] = {
        {Priv::AES128, "2b7e151628aed2a6abf7158809cf4f3c", "3b3fd92eb72dad20333449f8e83cfb4ac8a64537"},
        {Priv::AES192, "8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b", "cdc80d6fddf18cab34c25909c99a417467ce7f7f"},
        {Priv::AES256, "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
         "dc7e84bfda79164b7ecd8486985d386039ffed14"},
    };
    const Bytes plain = unhex("6bc1bee22e409f96e93d7e117393172aae2d8a57");
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.priv));
        Bytes out(plain.size());
        ASSERT_TRUE(USM::aes_cfb(c.priv, unhex(c.key), iv, plain.data(), plain.size(), out.data(), true));
        EXPECT_EQ(USM::hex(out), c.cipher);
        ASSERT_TRUE(USM::aes_cfb(c.priv, unhex(c.key), iv, out.data(), out.size(), out.data(), false));
        EXPECT_EQ(out, plain);
        // A key of another protocol's length is refused, not cut or padded.
        EXPECT_FALSE(USM::aes_cfb(c.priv, unhex("2b7e1516"), iv, plain.data(), plain.size(), out.data(), true));
    }
}

TEST(UsmEngineTest, EngineIdIsEnterprise58213InMacFormat)
{
    uint8_t mac[6];
    ASSERT_TRUE(USM::parse_mac("00:1A:2B:3c:4d:5E", mac));
    EXPECT_EQ(USM::hex(USM::engine_id_from_mac(mac)), "8000e36503001a2b3c4d5e");
    for (const char* bad : {"", "00:1A:2B:3C:4D", "00:1A:2B:3C:4D:5E:6F", "00:1A:2B:3C:4D:5G", "001A2B3C4D5E00000"})
        EXPECT_FALSE(USM::parse_mac(bad, mac)) << bad;
}

TEST(UsmEngineTest, TimeWindowOfTheAuthoritativeEngine)
{
    struct Case {
        int32_t local_boots, local_time, msg_boots, msg_time;
        bool in;
    } cases[] = {
        {5, 1000, 5, 1000, true},   {5, 1000, 5, 1150, true},   {5, 1000, 5, 850, true},
        {5, 1000, 5, 1151, false},  {5, 1000, 5, 849, false},   {5, 1000, 4, 1000, false},
        {5, 1000, 6, 1000, false},  {2147483647, 10, 2147483647, 10, false},
        {5, 100, 5, -2147483647 - 1, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(USM::in_time_window(c.local_boots, c.local_time, c.msg_boots, c.msg_time), c.in)
            << c.local_boots << "/" << c.local_time << " vs " << c.msg_boots << "/" << c.msg_time;
}

TEST(UsmEngineTest, TimeWindowOfAnotherEngineFollowsItsNewerClock)
{
    USM::RemoteClock c;
    EXPECT_TRUE(USM::remote_time_window(c, 3, 500, 0));  // first contact: taken in
    EXPECT_EQ(c.boots, 3);
    EXPECT_TRUE(USM::remote_time_window(c, 3, 600, 100));
    EXPECT_EQ(c.latest_received, 600);
    // Its clock runs on with ours (at our second 200 it is at 700): a
    // message no newer than the latest one must lie within 150 s of that.
    EXPECT_TRUE(USM::remote_time_window(c, 3, 550, 200));
    EXPECT_FALSE(USM::remote_time_window(c, 3, 549, 200));
    EXPECT_FALSE(USM::remote_time_window(c, 3, 600, 400));
    EXPECT_EQ(c.latest_received, 600);
    // A newer one is taken in, however far behind.
    EXPECT_TRUE(USM::remote_time_window(c, 3, 601, 400));
    EXPECT_EQ(c.synced_at, 400);
    EXPECT_FALSE(USM::remote_time_window(c, 2, 5000, 400));
    EXPECT_TRUE(USM::remote_time_window(c, 4, 1, 400));  // it restarted
    EXPECT_EQ(c.boots, 4);
    USM::RemoteClock latched;
    EXPECT_FALSE(USM::remote_time_window(latched, 2147483647, 1, 0));
}

// The users' key table over the simulated board: its eth0 MAC address in
// the ifconfig answer is 00:1A:2B:3C:4D:5E.
TEST(UsmUsersTest, KeysAreLocalizedToTheBoardEngineAndMisconfiguredUsersLeftOut)
{
    TestSandbox sb;
    reset_run_flags();
    EXPECT_EQ(USM::hex(usm_engine_id()), "8000e36503001a2b3c4d5e");

    auto& users = admin_settings.snmp_user;
    std::memset(&users, 0, sizeof users);
    auto set = [&](int i, const char* name, int auth, const char* ap, int priv, const char* pp, bool enable) {
        SETTINGS_TABLE::Snmp_user& u = users[i];
        copy_text(u.snmp_user_name, name);
        u.snmp_user_auth = auth;
        copy_text(u.snmp_user_auth_pass, ap);
        u.snmp_user_priv = priv;
        copy_text(u.snmp_user_priv_pass, pp);
        u.snmp_user_access = i % 2;
        u.snmp_user_enable = enable;
        usm_user_set(i);
    };
    set(0, "ops", 3, "maplesyrup", 1, "maplesyrup", true);
    set(1, "short", 3, "seven77", 0, "", true);
    set(2, "shortpriv", 1, "maplesyrup", 3, "1234567", true);
    set(3, "off", 1, "maplesyrup", 0, "", false);
    set(4, "privnoauth", 0, "", 1, "maplesyrup", true);
    set(5, "badproto", 6, "maplesyrup", 0, "", true);
    set(6, "long", 1, std::string(65, 'x').c_str(), 0, "", true);
    set(7, std::string(33, 'n').c_str(), 1, "maplesyrup", 0, "", true);

    UsmUser u;
    ASSERT_TRUE(usm_user_find("ops", u));
    EXPECT_EQ(u.auth, Auth::SHA256);
    EXPECT_EQ(u.priv, Priv::AES128);
    EXPECT_FALSE(u.read_write);
    const Bytes kul = USM::localize_key(Auth::SHA256, USM::password_to_key(Auth::SHA256, "maplesyrup"),
                                        unhex("8000e36503001a2b3c4d5e"));
    EXPECT_EQ(u.auth_key, kul);
    EXPECT_EQ(u.priv_key, Bytes(kul.begin(), kul.begin() + 16));
    for (const char* name : {"short", "shortpriv", "off", "privnoauth", "badproto", "long", "", "OPS"})
        EXPECT_FALSE(usm_user_find(name, u)) << name;
    EXPECT_FALSE(usm_user_find(std::string(33, 'n'), u));

    // A change replaces the entry; the passphrases never reach the log.
    set(0, "ops2", 1, "maplesyrup", 0, "", true);
    EXPECT_FALSE(usm_user_find("ops", u));
    EXPECT_TRUE(usm_user_find("ops2", u));
    const std::string log = sb.applog();
    EXPECT_NE(log.find("SNMPv3 user 2"), std::string::npos) << log;
    for (const char* secret : {"maplesyrup", "seven77", "1234567", "xxxxxxxx"})
        EXPECT_EQ(log.find(secret), std::string::npos) << secret;
}

}  // namespace

namespace {

TEST(UsmEngineTest, BootsCountsThisStartAndAReloadNeverTakesItBack)
{
    TestSandbox sb;
    reset_run_flags();
    db_save.clear();
    auto agent_row = [](const char* boots) { setsettings(DbRows{{"1", "1", boots}}, "webapp_snmp_agent"); };
    agent_row("41");
    usm_engine_start();
    EXPECT_EQ(usm_engine_boots(), 42);
    EXPECT_EQ(admin_settings.snmp_agent.snmp_engine_boots, 42);
    EXPECT_EQ(db_save.size(), 1u);
    EXPECT_EQ(db_save.front(), "63,999,");
    db_save.clear();

    // The row as it was before this start (its save rolled back).
    agent_row("41");
    EXPECT_EQ(admin_settings.snmp_agent.snmp_engine_boots, 42);
    EXPECT_EQ(db_save.size(), 1u) << "saved again";
    db_save.clear();
    agent_row("42");
    EXPECT_TRUE(db_save.empty());
    EXPECT_EQ(usm_engine_boots(), 42);
}

TEST(UsmEngineTest, BootsStopsAtItsLargestValue)
{
    TestSandbox sb;
    reset_run_flags();
    setsettings(DbRows{{"1", "1", "2147483647"}}, "webapp_snmp_agent");
    usm_engine_start();
    EXPECT_EQ(usm_engine_boots(), 2147483647);
    db_save.clear();
}

}  // namespace
