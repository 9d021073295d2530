// SNMPv3 messages: the message header, the user-based security parameters
// and the scoped PDU, read from a datagram and written around a PDU. One
// encoder serves the agent's responses and reports, the traps and the
// informs; the security step of a received request (engine, user, level,
// digest, time window, decryption) is here too, with the usmStats counters
// it keeps.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "snmp_usm.h"

namespace V3 {

constexpr int VERSION = 3;
constexpr int USM_MODEL = 3;
constexpr uint8_t FLAG_AUTH = 0x01;
constexpr uint8_t FLAG_PRIV = 0x02;
constexpr uint8_t FLAG_REPORTABLE = 0x04;
constexpr int32_t MAX_MESSAGE_SIZE = 2048;  // what this engine receives and sends
constexpr int INFORM = 0xA6;
constexpr int REPORT = 0xA8;

// A received message; the pointers point into the datagram.
struct Message {
    int32_t msg_id = 0;
    int32_t max_size = 0;
    uint8_t flags = 0;
    int32_t model = 0;
    const uint8_t* engine_id = nullptr;
    size_t engine_id_len = 0;
    int32_t boots = 0;
    int32_t time = 0;
    const uint8_t* user = nullptr;
    size_t user_len = 0;
    size_t auth_offset = 0;  // msgAuthenticationParameters' octets in the datagram
    size_t auth_len = 0;
    const uint8_t* priv = nullptr;  // msgPrivacyParameters
    size_t priv_len = 0;
    const uint8_t* data = nullptr;  // the scoped PDU's encoding, or the encrypted octets
    size_t data_len = 0;
    bool encrypted = false;

    std::string_view user_name() const { return {reinterpret_cast<const char*>(user), user_len}; }
};

// The scoped PDU; pdu is the whole PDU element (tag to end).
struct Scoped {
    const uint8_t* context_engine = nullptr;
    size_t context_engine_len = 0;
    const uint8_t* context_name = nullptr;
    size_t context_name_len = 0;
    int pdu_tag = 0;
    const uint8_t* pdu = nullptr;
    size_t pdu_len = 0;
    int32_t request_id = 0;  // 0 when it cannot be read
};

// True when the datagram is a message SEQUENCE whose version is 3.
bool is_v3(const uint8_t* msg, size_t len);
// Reads the header and the security parameters; false for anything that is
// not a well-formed SNMPv3 message (every INTEGER within its range, the
// flags one octet, the engine ID and user name at most 32 octets).
bool decode(const uint8_t* msg, size_t len, Message& out);
// Reads a plaintext scoped PDU; false when it is none.
bool decode_scoped(const uint8_t* p, size_t len, Scoped& out);

// An outgoing message around one PDU, secured as `user` with the keys it
// carries (localized to `engine_id`, the authoritative engine): signed when
// it has an authentication protocol and `auth` is set, encrypted when it
// also has a privacy protocol and `priv` is set.
struct Outgoing {
    int32_t msg_id = 0;
    bool reportable = false;
    bool auth = false;
    bool priv = false;
    const USM::Bytes* engine_id = nullptr;
    int32_t boots = 0;
    int32_t time = 0;
    const UsmUser* user = nullptr;     // nullptr: no user name, no security
    std::string_view user_name;        // used when user is nullptr
    const USM::Bytes* context_engine = nullptr;
    const uint8_t* pdu = nullptr;
    size_t pdu_len = 0;
};
// The message into out (cap octets); its length, 0 when it does not fit or
// libcrypto failed.
size_t encode(const Outgoing& o, uint8_t* out, size_t cap);

// usmStats counters, in the order of their object numbers.
enum Stat { UNSUPPORTED_SEC_LEVELS, NOT_IN_TIME_WINDOWS, UNKNOWN_USER_NAMES, UNKNOWN_ENGINE_IDS, WRONG_DIGESTS,
            DECRYPTION_ERRORS, STATS };
// Name of a counter's instance ("1.3.6.1.6.3.15.1.1.N.0").
const char* stat_name(Stat s);

// The outcome of the security step of a request to this engine.
enum class Verdict { ACCEPT, DROP, REPORT };
struct Checked {
    Verdict verdict = Verdict::DROP;
    Stat stat = STATS;       // the counter a report carries
    bool report_auth = false;  // the report is signed (time window)
    UsmUser user;            // the user, once known
    const uint8_t* scoped = nullptr;  // the plaintext scoped PDU on ACCEPT
    size_t scoped_len = 0;
};
// Runs the security step on a decoded request: this engine's ID, the user,
// the level the user is configured for (the least and only one accepted),
// the digest, the time window of boots/time, and the decryption into
// plain (V3::MAX_MESSAGE_SIZE octets). Counts the counter of a report.
Checked check_request(const uint8_t* msg, size_t len, const Message& m, uint8_t* plain);

}  // namespace V3

// The usmStats counters of the agent: counted by the SNMP thread (through
// check_request), read by the MIB.
uint32_t usm_stat(V3::Stat s);
