// The SNMP agent: its BER codec, the request handling with access control,
// and the private MIB with its walk order.
//
// Object identifiers travel through the agent as dotted text
// ("1.3.6.1.2.1.1.1.0"). The encoder builds a message from the innermost
// element outwards into a buffer that holds it in reverse byte order, and
// reverses it once at the end.
#pragma once

#include <ctime>
#include <cstdint>
#include <string>
#include <vector>

// ---- Tags -------------------------------------------------------------------
namespace BER {
constexpr int INTEGER = 0x02;
constexpr int OCTET_STRING = 0x04;
constexpr int NUL = 0x05;
constexpr int OID = 0x06;
constexpr int IPADDRESS = 0x40;
constexpr int COUNTER32 = 0x41;
constexpr int GAUGE32 = 0x42;
constexpr int TIMETICKS = 0x43;
constexpr int OPAQUE = 0x44;
constexpr int COUNTER64 = 0x46;
constexpr int OCTETS_N = 0x14;  // the response word's type of OCTET STRINGs with a length
constexpr int SEQUENCE = 0x30;
constexpr int GET = 0xA0;
constexpr int GETNEXT = 0xA1;
constexpr int RESPONSE = 0xA2;
constexpr int SET = 0xA3;
constexpr int TRAP = 0xA4;
constexpr int GETBULK = 0xA5;
constexpr int TRAP2 = 0xA7;
// Exceptions of SNMPv2c responses; only ever encoded.
constexpr int NO_SUCH_OBJECT = 0x80;
constexpr int NO_SUCH_INSTANCE = 0x81;
constexpr int END_OF_MIB_VIEW = 0x82;
}  // namespace BER

// ---- The response word ---------------------------------------------------------
// Result of every MIB lookup: bits 8-15 the value type to encode, bits 0-7
// the SNMP error-status (0 = noError). The MIB answers in the SNMPv2c
// vocabulary; snmp_error_model turns a word into what the request's version
// and PDU answer.
namespace RESP {
constexpr int INTEGER = 0x0200;
constexpr int OCTETS = 0x0400;
constexpr int NUL = 0x0500;
constexpr int OID = 0x0600;
constexpr int NO_SUCH_OBJECT = 0x8000;
constexpr int NO_SUCH_INSTANCE = 0x8100;
constexpr int END_OF_MIB = 0x8200;
constexpr int TOO_BIG = 0x0501;
constexpr int NO_SUCH_NAME = 0x0502;
constexpr int BAD_VALUE = 0x0503;
constexpr int READ_ONLY = 0x0504;
constexpr int GEN_ERR = 0x0505;
constexpr int WRONG_TYPE = 0x0507;
constexpr int WRONG_LENGTH = 0x0508;
constexpr int WRONG_VALUE = 0x050A;
constexpr int NO_CREATION = 0x050B;
constexpr int INCONSISTENT_VALUE = 0x050C;
constexpr int RESOURCE_UNAVAILABLE = 0x050D;
constexpr int COMMIT_FAILED = 0x050E;
constexpr int UNDO_FAILED = 0x050F;
constexpr int NOT_WRITABLE = 0x0511;
constexpr int NO_ACCESS = 0x0506;
// Values that are no text: an OCTET STRING of int_data octets (it may hold
// NULs), and a Counter32.
constexpr int OCTETS_N = 0x1400;
constexpr int COUNTER32 = 0x4100;
}  // namespace RESP

// The error model of a request: SNMPv2c keeps missing objects and the end of
// the MIB as exceptions inside the binding and names SET failures precisely;
// SNMPv1 answers noSuchName, badValue, readOnly or genErr instead.
// version 0 is SNMPv1, anything else SNMPv2c; pdu the request's tag.
int snmp_error_model(int word, int version, int pdu);

// ---- Limits ----------------------------------------------------------------------
constexpr int SNMP_BUF_SIZE = 2048;       // receive buffer; the response is built in it
constexpr int SNMP_RESPONSE_MAX = 1024;   // a longer response is never sent
constexpr int SNMP_STR_SIZE = 128;        // string values: 127 characters and a NUL
constexpr int SNMP_OID_TEXT_MAX = 64;     // characters of a decoded OID
constexpr int SNMP_OID_SUBIDS_MAX = 20;   // sub-identifiers of an OID (the first octet counts for two)
constexpr int SNMP_OID_OCTETS_MAX = 64;   // content octets of an encoded OID
// Room for a name text: a decoded name, plus the ".0" a system-group GET
// appends, plus the NUL.
constexpr int SNMP_NAME_SIZE = 72;

// ---- Decoded message tree -------------------------------------------------------
struct Primitive {
    int type;        // tag
    int length;      // content octets
    int int_value;   // INTEGER and TimeTicks; -1 for OCTET STRING and OID
    int code;
    char char_value[SNMP_STR_SIZE];  // OCTET STRING text, OID or IpAddress dotted text
    Primitive* next;                 // next primitive of the same compound element
};

struct Complex {
    int type;
    int length;
    int depth;       // 0 for the message SEQUENCE
    int start;       // offset of its tag octet in the datagram
    int end;         // offset just past its content
    int prim_num;
    Primitive* prim;
    Complex* samedep_next;  // following compound element at the same depth
    Complex* next;          // next compound element in message order
};

struct Analysis_status {
    int error_flag;
    int break_flag;
    int total_length;
    int pre_length;
    int pre_comp_length;
};

// The decoded tree owns its nodes: a fixed pool, reused by every message it
// decodes, so a request costs no allocation and nothing has to be freed.
// Message SEQUENCE -> PDU -> VarBindList -> VarBind is as deep as a request
// goes; the pools hold the largest request a 2048-byte datagram can carry
// with real variable bindings.
class Message_tree {
public:
    static constexpr int MAX_DEPTH = 3;
    static constexpr int MAX_COMPLEX = 256;
    static constexpr int MAX_PRIMITIVE = 512;

    void clear() { nc_ = np_ = 0; }
    Complex* root() { return nc_ ? &c_[0] : nullptr; }
    const Complex* root() const { return nc_ ? &c_[0] : nullptr; }
    Complex* new_complex();      // nullptr when the pool is used up
    Primitive* new_primitive();  // nullptr when the pool is used up

private:
    Complex c_[MAX_COMPLEX];
    Primitive p_[MAX_PRIMITIVE];
    int nc_ = 0;
    int np_ = 0;
};

// Extra variable bindings of one trap.
struct Trap_Expansion_Varbinds {
    unsigned char type;
    int port;
    int value;
    int state;
    char port_oid[64];
    char state_oid[64];
    char value_oid[64];
    char systraps[64];
};

// ---- Codec ------------------------------------------------------------------------
// Appends the BER length of value at out[count] and advances count.
void length_to_hex(uint32_t value, int& count, unsigned char* out);
// Appends one sub-identifier in base 128 at out[count]; flag 1 also sets
// bit 7 on the last octet (more groups follow).
void data_to_hex(uint32_t value, int flag, int& count, unsigned char* out);
// Dotted text to OID content octets (at most SNMP_OID_OCTETS_MAX); num gets
// the octet count. 0 on success, 1 for a text that is no OID of at most 20
// sub-identifiers (num is then 0).
int oid_to_hex(const char* oid, unsigned char* save, int& num);
// size content octets to dotted text in save_r (SNMP_OID_TEXT_MAX + 1
// bytes, cleared first). 0 on success, 1 for octets that are no OID within
// the limits.
int hex_to_oid(const unsigned char* bdata, char* save_r, int size);
// Two's-complement content octets to int; length 0 gives 0. Octets beyond
// the fourth keep only the low 32 bits.
int hex_to_int(const unsigned char* bdata, int len);
// Decodes the BER length at data (remaining octets available there):
// returns the number of length octets, -1 when they do not fit or are more
// than 4 after the first.
int length_check(const unsigned char* data, int remaining, int& len);

// Each encodes one VarBind (name oid and a value) and writes it in reverse
// byte order at send_data[total_count]; returns the octets written (0 when
// the name or value cannot be encoded).
int add_packet_string(unsigned char* send_data, const char* oid, const char* str, int length, int total_count);
int add_packet_oid(unsigned char* send_data, const char* oid, const char* v_oid, int total_count);
int add_packet_int(unsigned char* send_data, const char* oid, int value, int total_count, int type);
int add_packet_null(unsigned char* send_data, const char* oid, int total_count, int eom_flag);
void reverse_packet(unsigned char* buf, int len);
int char_count(const char* str, char c);
// If str begins with key, removes it in place and returns 0; otherwise 1.
int skip_str_head(char* str, const char* key);
// DateAndTime of local time t: year (2 octets), month, day, hour, minute,
// second, deci-seconds 0, then the zone '+', 9, 0. Writes 11 octets.
void date_and_time(const struct tm& t, unsigned char* date);
// The same for the current local time.
void get_date_string(unsigned char* date);
// 0 primitive, 1 compound, -1 unsupported.
int type_check(int tag);
// Decodes one datagram into tree; 0 on success, 1 when it is no message the
// agent can read (as.error_flag is then 1).
int analysis(const unsigned char* data, int length, Message_tree& tree, Analysis_status& as);
// 0 when the tree has the shape of an SNMP request, 1 otherwise.
int parsed_data_check(const Complex* complex);
// Appends one response VarBind for oid by the response word to the reversed
// VarBinds of message (SNMP_BUF_SIZE bytes); returns the new byte count
// (unchanged when the VarBind cannot be encoded or does not fit).
int create_objects(int total_count, int response, unsigned char* e_index, unsigned char* err, unsigned char* message,
                   const char* oid, int int_data, const char* str_data);

// ---- Request handling ---------------------------------------------------------
void* RecvUdp(void*);
// message holds the r_size-byte datagram (buffer of SNMP_BUF_SIZE); on 0 it
// holds the response of *s_size bytes. 1 sender not allowed, undecodable or
// incomplete; 2 request-id over 4 octets; 3 wrong version; 4 wrong community.
int recv_message(const char* srcaddr, int r_size, unsigned char* message, int* s_size);
int prefix_check(const char* addr, int num);
int create_getres(unsigned char* message, const char* Community, int64_t req_id, int version, unsigned char e_index,
                  unsigned char err, int total_count);
// Length create_getres will return for these parts.
int getres_length(int total_count, int community_len, int64_t req_id);

// Rejected datagrams in the application log: at most one line per sender
// and reason a minute; what follows within the minute is counted, and the
// count is reported once the minute is over. Time is given in seconds.
class Reject_limiter {
public:
    static constexpr int SLOTS = 64;  // senders tracked at once; the rest share one slot
    struct Suppressed {
        std::string addr;
        int reason;
        int count;
    };
    // True when the line for this sender and reason is to be written now.
    bool admit(const char* addr, int reason, long now_s);
    // Counts whose minute has passed, cleared as they are handed out.
    std::vector<Suppressed> due(long now_s);

private:
    struct Slot {
        char addr[16];
        int reason = -1;
        long since = 0;
        int count = 0;
    };
    Slot slots_[SLOTS + 1];  // the last one is the shared slot
};

// ---- Private MIB -------------------------------------------------------------------
// The private root of the model ("1.3.6.1.4.1.58213.22." or "....23."),
// set by oid_change.
const char* oid_head();
extern const char oid_head_7400[];
extern const char oid_head_6100[];
extern const char oid_basic_head[];

void oid_change();
// oid (SNMP_NAME_SIZE bytes) is rewritten in place for GET-NEXT and
// GET-BULK; str_data (SNMP_STR_SIZE) and int_data carry a SET's value in
// and the result out. Returns the response word in the error model of
// version (snmp_error_model); a SET goes through snmp_set as one binding.
int check_oid(char* oid, int type, char* str_data, int& int_data, int value_type, int version);

// One binding of a SET request.
struct Set_binding {
    const char* name;
    int value_type;        // tag of the value
    int int_data;          // an INTEGER's value
    bool int_fits;         // the INTEGER lies within 32 bits
    const char* str_data;  // an OCTET STRING's text
    int str_length;        // its octets as received (longer than the text when it holds a NUL)
};
// A SET is all or nothing: every binding is checked first (access, type,
// length, range, and the rules between fields, each binding seeing the
// values of the ones before it); only when all pass are they applied in
// order, and one persistence message is queued per record changed. Returns
// 0, or the error word in the version's error model with error_index the
// binding at fault (from 1; 0 with undoFailed).
int snmp_set(const Set_binding* b, int n, int version, int& error_index);
// Successor of oid into next (SNMP_NAME_SIZE bytes): 0, 1 at the end of
// the MIB, -1 when the agent gives no successor.
int check_oid_num(const char* oid, char* next);
// Successor inside the private tree of the n numbers after the root, as
// text after the root: 0, 1 at the end, -1 for a number out of range.
int get_next_oid(const int* nums, int n, char* dst);
int remove_oid_zero(char* str);

// Rules of the private MIB's SET, exposed for their tests. k is the place
// in the threshold block (alert_max_val, alert_max_clear, caution_max_val,
// caution_max_clear, caution_min_val, caution_min_clear, alert_min_val,
// alert_min_clear).
bool threshold_ok(const int th[8], int k, int v, int lo, int hi, bool analog);
// Applies a VLXA threshold write to th; false (th unchanged) when refused.
bool vlxa_threshold_apply(int th[8], int k, int v);
int scenario_word(int sensortype, int sensor, int state, bool enable);
// Relay pulses started by SET run beside the agent; RecvUdp waits for them
// before it returns.
bool snmp_pulse_running(int output);
// Starts a pulse beside the caller (MQTT writes share the agent's pulses, so
// one output never runs two); false when one already runs on it.
bool relay_pulse_start(int output, int seconds);
void snmp_pulses_wait();

// ---- Traps ---------------------------------------------------------------------
// Subtrees of the traps under the private root, as text after `oid_head`.
extern const char oid_systraps[];             // "3.1.": the test trap
extern const char oid_trapinfo[];             // "3.2.": the test trap's binding
extern const char oid_test[];                 // "6"
extern const char oid_complement_systraps[];  // "3.3.": complement trap N
extern const char oid_complement_trapinfo[];  // "3.4.": the packed word
extern const char oid_expansion_varbinds[];   // "3.5.": expansion trap of a kind
// The scan of the trap scenario entries for the current message: restart
// it (between messages) and where it stands.
void trap_senario_reset();
int trap_senario_pos();

void* snmp_trap_thread(void*);
// Destination (0-7) of the next matching scenario entry at or after
// trap_port, which moves past it; -1 when no entry is left.
int trap_senario_check(int type, int port, int state, double value, int flg);
// 0 when the trap was sent.
int trap_send_action_expansion(const char* ip, const char* community, int version,
                               const Trap_Expansion_Varbinds* TEV);
int trap_send_action_normal(const char* ip, const char* community, int version, const Trap_Expansion_Varbinds* TEV,
                            int value);
// 0 when sent (for a receiver of version 2 or 3: handed to the trap
// thread); 1 when not, or for a receiver of a version other than 0 to 3.
int send_test_trap(int num);
// Build and send one trap to dest_ip. Without TEV the binding is trapinfo =
// INTEGER value, with TEV its three expansion bindings; the 11-octet date
// comes last. 1 when nothing was sent or the message was over 1024 bytes
// (it is still sent then), else 0.
int create_trapV2(const char* Community, const char* systraps, const char* trapinfo, int value,
                  const unsigned char* date, const char* dest_ip, int e_status, int e_index,
                  const Trap_Expansion_Varbinds* TEV);
int create_trapV1(const char* Community, const char* systraps, const char* trapinfo, int value,
                  const unsigned char* date, const char* dest_ip, unsigned int time_stamp, int specific, int generic,
                  const Trap_Expansion_Varbinds* TEV);

// The wire form of one trap into out (SNMP_BUF_SIZE bytes): its length, 0
// when a name cannot be encoded or generic/specific is outside 0-255.
int build_trapV2(unsigned char* out, const char* Community, const char* systraps, const char* trapinfo, int value,
                 const unsigned char* date, int e_status, int e_index, const Trap_Expansion_Varbinds* TEV);
int build_trapV1(unsigned char* out, const char* Community, const char* systraps, const char* trapinfo, int value,
                 const unsigned char* date, unsigned int agent_addr, unsigned int time_stamp, int specific,
                 int generic, const Trap_Expansion_Varbinds* TEV);

// One trap_que message: up to six fields of up to 255 characters; missing
// fields read "0".
struct Trap_message {
    char text[6][256];  // kind, port, state, value, flag, previous state
    int type, port, state, flg, prev;
    double value;
    int level;  // integer part of the value, clamped to int
};
Trap_message parse_trap_message(const char* msg);
// State code carried by an expansion trap (and its state binding's suffix).
int trap_mapped_state(int state);
// The packed word of a complement trap: port bits 25-31, kind code, channel flag.
int trap_packed_word(int kind, int port);
// Complement trap number N of a message, -1 when it sends none.
int complement_trap_number(int kind, int level, int state, int prev);
// Scenario event bits of one event (EVENT:: bits).
int trap_event_bits(int type, int state, double value, int flg);
// Fills an expansion trap of message m below `root` (oid_head); false when
// an OID does not fit its field.
bool fill_expansion(const Trap_message& m, const char* root, Trap_Expansion_Varbinds& tev);
// Everything one message sends: expansion traps by scenario, complement
// traps to every receiver, with their console and application-log lines.
void trap_process_message(const char* msg);
