// MQTT request payloads, as the subscriber's message callback hands them
// over: parsed, a write applied to the records loaded from the factory
// database, the response document built.
#include <cstring>

#include "common.h"
#include "harness.h"
#include "platform.h"
#include "mqtt.h"

namespace {

constexpr time_t ARRIVAL = 1767225600;  // a fixed clock keeps runs repeatable
constexpr long long PULSE_GROUP = 113;  // pulses run on threads of their own

MONITOR_TABLE::Sensor_condition saved_live;

void setup(const std::string& root)
{
    // A held relay would pause every switching write for a second.
    fuzz_setup_from_factory_db(
        root, [] {
            for (auto& o : sensor_settings.digitalO) o.dokeep = false;
        },
        true);
    std::memcpy(&saved_live, monitor->sensor_condition, sizeof saved_live);
}

bool pulse_write(const std::string& payload)
{
    picojson::value v;
    std::string err;
    picojson::parse(v, payload.data(), payload.data() + payload.size(), &err);
    if (!err.empty() || !v.is<picojson::object>()) return false;
    const auto& o = v.get<picojson::object>();
    auto id = o.find("mqtt_id");
    auto rw = o.find("readwrite");
    return id != o.end() && id->second.is<int64_t>() && id->second.get<int64_t>() == PULSE_GROUP &&
           rw != o.end() && rw->second.is<int64_t>() && rw->second.get<int64_t>() == 1;
}

int feed(const uint8_t* data, size_t size)
{
    fuzz_restore_records();
    std::memcpy(monitor->sensor_condition, &saved_live, sizeof saved_live);
    const std::string payload(reinterpret_cast<const char*>(data), size);
    try {
        if (pulse_write(payload)) return FUZZ_REFUSED;
    } catch (const std::exception&) {
        // picojson's own refusal of huge numbers: the request handling
        // below meets the same text.
    }
    std::string reply;
    MqttRequestIds ids;
    const bool taken = mqtt_handle_request(payload, ARRIVAL, reply, &ids);
    fuzz_check_texts("mqtt request");
    if (!taken) {
        if (reply != MQTT_DATA_ERROR) fuzz_fail("refused request answered with " + reply);
        return FUZZ_REFUSED;
    }
    // The answer goes to a broker and on to other programs: it must be one
    // JSON object carrying the request's numbers.
    picojson::value doc;
    std::string err;
    picojson::parse(doc, reply.data(), reply.data() + reply.size(), &err);
    if (!err.empty() || !doc.is<picojson::object>()) fuzz_fail("response is not a JSON object: " + reply);
    const auto& o = doc.get<picojson::object>();
    auto num = [&o](const char* k) {
        auto it = o.find(k);
        return it != o.end() && it->second.is<int64_t>() ? it->second.get<int64_t>() : -1;
    };
    if (num("readwrite") != ids.readwrite || num("mqtt_id") != ids.mqtt_id)
        fuzz_fail("response numbers differ from the request's: " + reply);
    if (!o.count("data") || !o.at("data").is<picojson::object>()) fuzz_fail("response without a data object: " + reply);
    return FUZZ_TAKEN;
}

}  // namespace

extern const FuzzHarness MQTT_REQUEST_HARNESS{"mqtt_request", setup, feed, 4096, true};
