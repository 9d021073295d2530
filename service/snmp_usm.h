// SNMPv3 user-based security: the key derivation, message signing and
// checking, the privacy cipher, the engine identity and the time window,
// as functions over byte buffers; and the table of the configured users'
// localized keys, which the SNMP threads look users up in.
//
// All cryptography is OpenSSL's libcrypto (EVP digests, HMAC and AES in
// CFB128 mode). A function that fails in libcrypto returns an empty key,
// false or -1; nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace USM {

using Bytes = std::vector<uint8_t>;

// The numbers are those of the user table's columns.
enum class Auth : int { NONE = 0, SHA1 = 1, SHA224 = 2, SHA256 = 3, SHA384 = 4, SHA512 = 5 };
enum class Priv : int { NONE = 0, AES128 = 1, AES192 = 2, AES256 = 3 };

constexpr int AUTH_LAST = 5;
constexpr int PRIV_LAST = 3;
constexpr size_t PASS_MIN = 8;   // passphrase length, in octets
constexpr size_t PASS_MAX = 64;
constexpr size_t USER_NAME_MAX = 32;  // user name, in octets
constexpr size_t SALT_SIZE = 8;  // msgPrivacyParameters of an AES message
constexpr uint32_t ENTERPRISE = 58213;
constexpr int32_t BOOTS_MAX = 2147483647;  // the engine is then latched out of every time window
constexpr int32_t TIME_WINDOW = 150;       // seconds either side

// Octets of the full digest (the localized key's length), of the message
// authentication code carried in msgAuthenticationParameters, and of the
// AES key; 0 for NONE.
size_t digest_length(Auth a);
size_t mac_length(Auth a);
size_t priv_key_length(Priv p);

// The password-to-key algorithm: the passphrase repeated to 1 MiB and
// hashed. Empty on a libcrypto failure or an empty passphrase.
Bytes password_to_key(Auth a, std::string_view passphrase);
// The key bound to one engine: H(Ku || engineID || Ku).
Bytes localize_key(Auth a, const Bytes& ku, const Bytes& engine_id);
// The AES key of a user from its localized privacy key: the first octets
// for AES-128; for AES-192 and AES-256, whose keys are longer than a SHA-1
// localized key, the key grows by the hash of what it holds so far until
// it is long enough (what the net-snmp tools do for "AES-192"/"AES-256").
Bytes priv_key(Auth a, Priv p, const Bytes& localized);

// HMAC of msg with the localized key, truncated to mac_length(a).
Bytes mac(Auth a, const Bytes& key, const uint8_t* msg, size_t len);
// Signs a whole message in place: its msgAuthenticationParameters are the
// mac_length(a) octets at mac_offset, zero while the code is computed.
bool sign(Auth a, const Bytes& key, uint8_t* msg, size_t len, size_t mac_offset);
// Checks a received message the same way, in constant time; the message
// itself is left as it came.
bool verify(Auth a, const Bytes& key, const uint8_t* msg, size_t len, size_t mac_offset);

// The AES initialisation vector: engineBoots and engineTime of the
// authoritative engine (big-endian) and the message's 64-bit salt.
Bytes aes_iv(uint32_t boots, uint32_t time, const uint8_t* salt);
// AES in CFB128 mode, in to out (same length, may be the same buffer).
bool aes_cfb(Priv p, const Bytes& key, const Bytes& iv, const uint8_t* in, size_t len, uint8_t* out, bool encrypt);

// The engine ID of enterprise 58213 in the MAC-address format.
Bytes engine_id_from_mac(const uint8_t (&mac)[6]);
// "00:1A:2B:3C:4D:5E" (either case, ':' or '-') into six octets.
bool parse_mac(std::string_view text, uint8_t (&mac)[6]);

// The time window of an authenticated message to this engine (the
// authoritative one): boots must match and time be within 150 s.
bool in_time_window(int32_t local_boots, int32_t local_time, int32_t msg_boots, int32_t msg_time);

// What this engine knows of another (authoritative) engine, for the
// messages it receives from it. `now` is this engine's own second count.
struct RemoteClock {
    int32_t boots = 0;
    int32_t time = 0;         // the other engine's time at `synced_at`
    int64_t synced_at = 0;    // this engine's second count then
    int32_t latest_received = 0;
};
// Takes in a newer boots/time from a message and then tells whether the
// message is inside the window.
bool remote_time_window(RemoteClock& c, int32_t msg_boots, int32_t msg_time, int64_t now);

// Lower-case hex digits of a byte string ("8000e365..."), for tests and
// tools; never used on keys outside tests.
std::string hex(const Bytes& b);

}  // namespace USM

// ---- The service's engine and users -------------------------------------------

// The engine ID from eth0's MAC address (computed on first use; all zero
// MAC when the address cannot be read, which is reported once).
const USM::Bytes& usm_engine_id();
// Counts this start: snmp_engine_boots + 1, saved; the engine time starts
// at 0 now. Called once by start-up after the settings are loaded.
void usm_engine_start();
// After the agent row was (re)loaded: a count below this start's is put
// back and saved again.
void usm_agent_loaded();
int32_t usm_engine_boots();
int32_t usm_engine_time();

// A user as the SNMP threads use it: keys localized to this engine.
struct UsmUser {
    std::string name;
    USM::Auth auth = USM::Auth::NONE;
    USM::Priv priv = USM::Priv::NONE;
    bool read_write = false;
    USM::Bytes auth_key;  // localized
    USM::Bytes priv_key;  // AES key
};
// Recomputes entry i (0-based) of the key table from the settings; an
// entry that is disabled, unnamed or misconfigured drops out of the table
// (a misconfiguration is reported once, naming the user number).
void usm_user_set(int i);
// The enabled user of that name; false when there is none.
bool usm_user_find(std::string_view name, UsmUser& out);
