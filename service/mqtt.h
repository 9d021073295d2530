// The MQTT client: notifications of matched scenarios on the change topic,
// and remote reading and writing of one group of settings or live values
// per request. Groups are addressed by number (mqtt_id); their members are
// named d1, d2, ... by port.
#pragma once

#ifndef PICOJSON_USE_INT64
#error "build with PICOJSON_USE_INT64: requests carry 64-bit integers"
#endif
#include <picojson.h>

#include <ctime>
#include <deque>
#include <string>

// ---- Payloads ---------------------------------------------------------------

// Status code as MQTT reports it: 0 reads 5, 1-4 stay, upper and lower
// alerts read 3, cautions 2; above 8 reads 2, negative 5.
int send_status(int state);

// The data text of a group: "{" then `"dN":value,` per member, then "}"
// (so "{}" for a number without a group). Texts are JSON-escaped.
std::string mqtt_data(int mqtt_id);

// Results of mqtt_data_write besides 0 (written, or nothing to write).
constexpr int MQTT_WRITE_REFUSED = -1;  // a member failed its check: nothing changed
constexpr int MQTT_WRITE_BAD_TYPE = -2; // a member missing or of the wrong JSON type
constexpr int MQTT_WRITE_BUSY = -3;     // a pulse asked of an output already pulsing

// Applies a write of group mqtt_id. Every member is checked first, in
// ascending order; the first one that fails ends the request with nothing
// changed, nothing reloaded and nothing queued. Then all members are stored
// and the group's settings-save messages queued. A pulse member of 0 leaves
// its output as it is; a pulse on an output already pulsing is refused and
// logged with the output's number.
int mqtt_data_write(const picojson::object& data, int mqtt_id);

// Checks member `key` (port index `index`, from 0) of group mqtt_id against
// the current configuration: 0 when valid. On failure
// "mqtt_data_write: data error<id>(<key>)" is logged and 1 returned; the
// settings in memory are left as they are.
int data_check(int mqtt_id, const picojson::object& data, const std::string& key, int index);

// The same test without the reaction: true when `v` may be written to
// member `index` + 1 of group mqtt_id.
bool mqtt_member_valid(int mqtt_id, const picojson::value& v, int index);

// A text as the body of a JSON string: quotation marks, backslashes and
// control characters escaped, bytes that are not UTF-8 replaced by U+FFFD.
std::string json_escape(const std::string& text);

// ---- Documents --------------------------------------------------------------

// The answer to a request: {"unit_id":U,"time":"...","readwrite":R,
// "mqtt_id":M,"data":{...}} with the data text's trailing comma dropped.
std::string mqtt_response_document(int unitid, time_t arrival, long long readwrite, long long mqtt_id,
                                   const std::string& data);
// The notification of one mqtt_con record "time,kind,port,state,value,";
// false (doc untouched) when the record is not five integers.
bool mqtt_notification_document(const std::string& record, int unitid, std::string& doc);

// Handles one request payload arriving at `arrival`: parses it, writes when
// readwrite is 1, and puts the response document into reply. False, with
// reply "MQTT data error", when the request is unusable (not JSON, not an
// object, a member missing or of the wrong type).
struct MqttRequestIds {
    long long unit_id = 0, readwrite = 0, mqtt_id = 0;
};
bool mqtt_handle_request(const std::string& payload, time_t arrival, std::string& reply, MqttRequestIds* ids = nullptr);

extern const char MQTT_DATA_ERROR[];  // "MQTT data error"

// ---- Client -----------------------------------------------------------------

// Topic prefix + unit id + "/" + leaf from the current settings.
std::string mqtt_topic(const char* leaf);

// Change notifications waiting for the broker, oldest first. Beyond
// `capacity` the oldest are dropped and counted.
class MqttOutbox {
public:
    explicit MqttOutbox(size_t capacity = 1000);
    void push(const std::string& doc);
    bool empty() const { return waiting_.empty(); }
    size_t size() const { return waiting_.size(); }
    const std::string& front() const { return waiting_.front(); }
    void pop() { waiting_.pop_front(); }
    size_t dropped() const { return dropped_; }  // all drops so far
    // One document a line, and back; loading appends behind what waits.
    std::string save_text() const;
    void load_text(const std::string& text);

private:
    size_t capacity_;
    std::deque<std::string> waiting_;
    size_t dropped_ = 0;
};

// One subscriber connection with the settings now in force; returns when
// the link fails, the MQTT settings change or the service stops.
void mqtt_sub_session();
// Moves the records of mqtt_con into the outbox as notification documents.
void mqtt_take_records(MqttOutbox& box);
// The outbox file under /log: read back (and removed) at start, written at
// the stop when something still waits.
void mqtt_outbox_restore(MqttOutbox& box);
void mqtt_outbox_keep(const MqttOutbox& box);

void* mqtt_thread(void*);
void* mqtt_sub_thread(void*);
void* mqtt_cc_thread(void*);
