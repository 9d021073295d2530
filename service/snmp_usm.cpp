// SNMPv3 user-based security: key derivation, HMAC, AES-CFB, the engine
// identity and the time window; and the table of the users' localized keys.
#include "snmp_usm.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>

#include "codes.h"
#include "common.h"
#include "platform.h"
#include "settings_table.h"

namespace USM {

namespace {

const EVP_MD* md_of(Auth a)
{
    switch (a) {
    case Auth::SHA1: return EVP_sha1();
    case Auth::SHA224: return EVP_sha224();
    case Auth::SHA256: return EVP_sha256();
    case Auth::SHA384: return EVP_sha384();
    case Auth::SHA512: return EVP_sha512();
    case Auth::NONE: break;
    }
    return nullptr;
}

const EVP_CIPHER* cipher_of(Priv p)
{
    switch (p) {
    case Priv::AES128: return EVP_aes_128_cfb128();
    case Priv::AES192: return EVP_aes_192_cfb128();
    case Priv::AES256: return EVP_aes_256_cfb128();
    case Priv::NONE: break;
    }
    return nullptr;
}

struct MdCtx {
    EVP_MD_CTX* p = EVP_MD_CTX_new();
    ~MdCtx() { EVP_MD_CTX_free(p); }
};

// One digest over several pieces.
Bytes digest(Auth a, std::initializer_list<std::pair<const uint8_t*, size_t>> pieces)
{
    const EVP_MD* md = md_of(a);
    MdCtx ctx;
    if (!md || !ctx.p || EVP_DigestInit_ex(ctx.p, md, nullptr) != 1) return {};
    for (const auto& [data, len] : pieces)
        if (EVP_DigestUpdate(ctx.p, data, len) != 1) return {};
    Bytes out(digest_length(a));
    unsigned int n = 0;
    if (EVP_DigestFinal_ex(ctx.p, out.data(), &n) != 1 || n != out.size()) return {};
    return out;
}

}  // namespace

size_t digest_length(Auth a)
{
    switch (a) {
    case Auth::SHA1: return 20;
    case Auth::SHA224: return 28;
    case Auth::SHA256: return 32;
    case Auth::SHA384: return 48;
    case Auth::SHA512: return 64;
    case Auth::NONE: break;
    }
    return 0;
}

size_t mac_length(Auth a)
{
    switch (a) {
    case Auth::SHA1: return 12;
    case Auth::SHA224: return 16;
    case Auth::SHA256: return 24;
    case Auth::SHA384: return 32;
    case Auth::SHA512: return 48;
    case Auth::NONE: break;
    }
    return 0;
}

size_t priv_key_length(Priv p)
{
    switch (p) {
    case Priv::AES128: return 16;
    case Priv::AES192: return 24;
    case Priv::AES256: return 32;
    case Priv::NONE: break;
    }
    return 0;
}

Bytes password_to_key(Auth a, std::string_view passphrase)
{
    const EVP_MD* md = md_of(a);
    MdCtx ctx;
    if (!md || !ctx.p || passphrase.empty() || EVP_DigestInit_ex(ctx.p, md, nullptr) != 1) return {};
    // The passphrase repeated over 1 MiB, fed in blocks of 64 octets.
    constexpr size_t kTotal = 1048576;
    uint8_t block[64];
    size_t at = 0;
    for (size_t done = 0; done < kTotal; done += sizeof block) {
        for (uint8_t& c : block) {
            c = static_cast<uint8_t>(passphrase[at]);
            if (++at == passphrase.size()) at = 0;
        }
        if (EVP_DigestUpdate(ctx.p, block, sizeof block) != 1) return {};
    }
    OPENSSL_cleanse(block, sizeof block);
    Bytes ku(digest_length(a));
    unsigned int n = 0;
    if (EVP_DigestFinal_ex(ctx.p, ku.data(), &n) != 1 || n != ku.size()) return {};
    return ku;
}

Bytes localize_key(Auth a, const Bytes& ku, const Bytes& engine_id)
{
    if (ku.size() != digest_length(a) || ku.empty()) return {};
    return digest(a, {{ku.data(), ku.size()}, {engine_id.data(), engine_id.size()}, {ku.data(), ku.size()}});
}

Bytes priv_key(Auth a, Priv p, const Bytes& localized)
{
    const size_t need = priv_key_length(p);
    if (need == 0 || localized.size() != digest_length(a) || localized.empty()) return {};
    Bytes k = localized;
    while (k.size() < need) {
        Bytes more = digest(a, {{k.data(), k.size()}});
        if (more.empty()) return {};
        k.insert(k.end(), more.begin(), more.end());
    }
    k.resize(need);
    return k;
}

Bytes mac(Auth a, const Bytes& key, const uint8_t* msg, size_t len)
{
    const EVP_MD* md = md_of(a);
    if (!md || key.empty()) return {};
    uint8_t full[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!HMAC(md, key.data(), static_cast<int>(key.size()), msg, len, full, &n) || n < mac_length(a)) return {};
    return Bytes(full, full + mac_length(a));
}

bool sign(Auth a, const Bytes& key, uint8_t* msg, size_t len, size_t mac_offset)
{
    const size_t m = mac_length(a);
    if (m == 0 || mac_offset > len || len - mac_offset < m) return false;
    std::memset(msg + mac_offset, 0, m);
    Bytes code = mac(a, key, msg, len);
    if (code.size() != m) return false;
    std::memcpy(msg + mac_offset, code.data(), m);
    return true;
}

bool verify(Auth a, const Bytes& key, const uint8_t* msg, size_t len, size_t mac_offset)
{
    const size_t m = mac_length(a);
    if (m == 0 || mac_offset > len || len - mac_offset < m) return false;
    Bytes copy(msg, msg + len);
    std::memset(copy.data() + mac_offset, 0, m);
    Bytes code = mac(a, key, copy.data(), copy.size());
    return code.size() == m && CRYPTO_memcmp(code.data(), msg + mac_offset, m) == 0;
}

Bytes aes_iv(uint32_t boots, uint32_t time, const uint8_t* salt)
{
    Bytes iv(16);
    for (int k = 0; k < 4; ++k) {
        iv[k] = static_cast<uint8_t>(boots >> (24 - 8 * k));
        iv[4 + k] = static_cast<uint8_t>(time >> (24 - 8 * k));
    }
    std::memcpy(iv.data() + 8, salt, SALT_SIZE);
    return iv;
}

bool aes_cfb(Priv p, const Bytes& key, const Bytes& iv, const uint8_t* in, size_t len, uint8_t* out, bool encrypt)
{
    const EVP_CIPHER* c = cipher_of(p);
    if (!c || key.size() != priv_key_length(p) || iv.size() != 16 || len > 0x7fffffff) return false;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx) return false;
    int n = 0, tail = 0;
    bool ok = EVP_CipherInit_ex(ctx, c, nullptr, key.data(), iv.data(), encrypt ? 1 : 0) == 1 &&
              EVP_CipherUpdate(ctx, out, &n, in, static_cast<int>(len)) == 1 &&
              EVP_CipherFinal_ex(ctx, out + n, &tail) == 1 && static_cast<size_t>(n + tail) == len;
    EVP_CIPHER_CTX_free(ctx);
    return ok;
}

Bytes engine_id_from_mac(const uint8_t (&mac)[6])
{
    // The enterprise number with the top bit set (the new format), then
    // format 3 (a MAC address) and the address.
    Bytes id(11);
    id[0] = static_cast<uint8_t>(0x80 | (ENTERPRISE >> 24));
    id[1] = static_cast<uint8_t>(ENTERPRISE >> 16);
    id[2] = static_cast<uint8_t>(ENTERPRISE >> 8);
    id[3] = static_cast<uint8_t>(ENTERPRISE);
    id[4] = 3;
    for (int k = 0; k < 6; ++k) id[5 + k] = mac[k];
    return id;
}

bool parse_mac(std::string_view text, uint8_t (&mac)[6])
{
    auto nibble = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    if (text.size() != 17) return false;
    for (int k = 0; k < 6; ++k) {
        int hi = nibble(text[3 * k]), lo = nibble(text[3 * k + 1]);
        if (hi < 0 || lo < 0) return false;
        if (k < 5 && text[3 * k + 2] != ':' && text[3 * k + 2] != '-') return false;
        mac[k] = static_cast<uint8_t>(hi * 16 + lo);
    }
    return true;
}

bool in_time_window(int32_t local_boots, int32_t local_time, int32_t msg_boots, int32_t msg_time)
{
    if (local_boots == BOOTS_MAX || msg_boots != local_boots) return false;
    const int64_t d = static_cast<int64_t>(msg_time) - local_time;
    return d >= -TIME_WINDOW && d <= TIME_WINDOW;
}

bool remote_time_window(RemoteClock& c, int32_t msg_boots, int32_t msg_time, int64_t now)
{
    if (msg_boots > c.boots || (msg_boots == c.boots && msg_time > c.latest_received)) {
        c.boots = msg_boots;
        c.time = msg_time;
        c.synced_at = now;
        c.latest_received = msg_time;
    }
    if (c.boots == BOOTS_MAX || msg_boots < c.boots) return false;
    const int64_t local_notion = static_cast<int64_t>(c.time) + (now - c.synced_at);
    return !(msg_boots == c.boots && msg_time < local_notion - TIME_WINDOW);
}

std::string hex(const Bytes& b)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t v : b) {
        out += digits[v >> 4];
        out += digits[v & 15];
    }
    return out;
}

}  // namespace USM

// ---- The service's engine and users -------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;

// Written once by start-up (usm_engine_start) before the SNMP threads run;
// read by them.
Clock::time_point engine_started = Clock::now();
// This start's boot count: written once by start-up (usm_engine_start),
// read by the SNMP threads and by the loader (usm_agent_loaded); 0 before
// the start is counted.
std::atomic<int32_t> engine_boots{0};

// The key table: written by start-up and the settings writer (usm_user_set),
// read by the SNMP threads (usm_user_find); entries are copied under the lock.
std::mutex users_mutex;
struct Slot {
    bool present = false;
    UsmUser user;
};
std::array<Slot, SETTINGS_TABLE::SNMP_USER_NUM> users;

// Keys never linger in freed memory.
void wipe(USM::Bytes& b)
{
    if (!b.empty()) OPENSSL_cleanse(b.data(), b.size());
    b.clear();
}

}  // namespace

const USM::Bytes& usm_engine_id()
{
    static const USM::Bytes id = [] {
        uint8_t mac[6] = {};
        std::string text;
        if (!platform_eth0_mac(text) || !USM::parse_mac(text, mac))
            report_error("usm_engine_id: no MAC address of", "eth0 (engine ID from 00:00:00:00:00:00)");
        return USM::engine_id_from_mac(mac);
    }();
    return id;
}

void usm_engine_start()
{
    auto& agent = admin_settings.snmp_agent;
    // The largest value stays: the engine is then out of every time window
    // until an operator resets it, as the standard asks.
    if (agent.snmp_engine_boots < 0) agent.snmp_engine_boots = 0;
    if (agent.snmp_engine_boots < USM::BOOTS_MAX) ++agent.snmp_engine_boots;
    agent.changeflg = true;
    db_save.push_n(SAVE::SNMP_AGENT, SAVE::WHOLE);
    engine_started = Clock::now();
    engine_boots = agent.snmp_engine_boots;
    usm_engine_id();
}

void usm_agent_loaded()
{
    // A reload after a rolled-back batch may bring back the count of the
    // previous start; this start keeps its own and saves it again, so that
    // messages of the previous start stay outside the time window.
    auto& agent = admin_settings.snmp_agent;
    const int32_t own = engine_boots;
    if (own == 0 || agent.snmp_engine_boots >= own) return;
    agent.snmp_engine_boots = own;
    agent.changeflg = true;
    db_save.push_n(SAVE::SNMP_AGENT, SAVE::WHOLE);
}

int32_t usm_engine_boots() { return engine_boots; }

int32_t usm_engine_time()
{
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - engine_started).count();
    return s > USM::BOOTS_MAX ? USM::BOOTS_MAX : static_cast<int32_t>(s);
}

void usm_user_set(int i)
{
    if (i < 0 || i >= SETTINGS_TABLE::SNMP_USER_NUM) return;
    const SETTINGS_TABLE::Snmp_user& s = admin_settings.snmp_user[i];
    const std::string who = "SNMPv3 user " + std::to_string(i + 1);
    Slot next;
    const bool wanted = s.snmp_user_enable && s.snmp_user_name[0] != '\0';
    if (wanted) {
        UsmUser& u = next.user;
        u.name = s.snmp_user_name;
        u.read_write = s.snmp_user_access == 1;
        const std::string_view auth_pass = s.snmp_user_auth_pass;
        const std::string_view priv_pass = s.snmp_user_priv_pass;
        auto pass_ok = [](std::string_view p) { return p.size() >= USM::PASS_MIN && p.size() <= USM::PASS_MAX; };
        if (u.name.size() > USM::USER_NAME_MAX) {
            report_error("usm_user_set: name longer than 32 characters, user left out:", who);
        } else if (s.snmp_user_auth < 0 || s.snmp_user_auth > USM::AUTH_LAST || s.snmp_user_priv < 0 ||
            s.snmp_user_priv > USM::PRIV_LAST) {
            report_error("usm_user_set: unknown protocol number, user left out:", who);
        } else if (s.snmp_user_auth == 0 && s.snmp_user_priv != 0) {
            report_error("usm_user_set: privacy needs authentication, user left out:", who);
        } else if ((s.snmp_user_auth != 0 && !pass_ok(auth_pass)) || (s.snmp_user_priv != 0 && !pass_ok(priv_pass))) {
            report_error("usm_user_set: passphrase not 8 to 64 characters, user left out:", who);
        } else {
            u.auth = static_cast<USM::Auth>(s.snmp_user_auth);
            u.priv = static_cast<USM::Priv>(s.snmp_user_priv);
            next.present = true;
            if (u.auth != USM::Auth::NONE) {
                USM::Bytes ku = USM::password_to_key(u.auth, auth_pass);
                u.auth_key = USM::localize_key(u.auth, ku, usm_engine_id());
                wipe(ku);
                if (u.auth_key.empty()) next.present = false;
            }
            if (next.present && u.priv != USM::Priv::NONE) {
                USM::Bytes ku = USM::password_to_key(u.auth, priv_pass);
                USM::Bytes kul = USM::localize_key(u.auth, ku, usm_engine_id());
                u.priv_key = USM::priv_key(u.auth, u.priv, kul);
                wipe(ku);
                wipe(kul);
                if (u.priv_key.empty()) next.present = false;
            }
            if (!next.present) report_error("usm_user_set: key derivation failed in libcrypto, user left out:", who);
        }
    }
    {
        std::lock_guard<std::mutex> lock(users_mutex);
        std::swap(users[static_cast<size_t>(i)], next);
    }
    wipe(next.user.auth_key);
    wipe(next.user.priv_key);
}

bool usm_user_find(std::string_view name, UsmUser& out)
{
    std::lock_guard<std::mutex> lock(users_mutex);
    for (const Slot& s : users)
        if (s.present && s.user.name == name) {
            out = s.user;
            return true;
        }
    return false;
}
