// The codes every activity shares. Queue texts, the database, the mapped
// tables, SNMP and MQTT carry them as numbers; in the code they go by name.
#pragma once

#include <cstdint>

// Sensor kinds: the kind field of state records, trap and mail texts, and
// the `sensortype` of scenario entries.
namespace KIND {
constexpr int DIO = 1;       // digital I/O: ports 1-8 inputs, 9-16 relay outputs
constexpr int AI = 2;        // analog input
constexpr int WIRE_T = 3;    // 1-Wire temperature
constexpr int WIRE_H = 4;    // 1-Wire humidity
constexpr int VLXA_T = 5;    // VLXA temperature
constexpr int VLXA_H = 6;    // VLXA humidity
constexpr int VLXA_BAT = 7;  // VLXA battery
constexpr int NX40_T = 8;    // NX40 temperature
constexpr int NX40_BAT = 9;  // NX40 battery
constexpr int FIRST = DIO, LAST = NX40_BAT;
}  // namespace KIND

// Judged states of a channel.
namespace STATE {
constexpr int NONE = 0;           // disabled or not judged yet
constexpr int NORMAL = 1;
constexpr int CAUTION = 2;        // digital I/O
constexpr int ALERT = 3;          // digital I/O
constexpr int ERROR = 4;          // no valid reading
constexpr int UPPER_ALERT = 5;
constexpr int UPPER_CAUTION = 6;
constexpr int LOWER_CAUTION = 7;
constexpr int LOWER_ALERT = 8;

// A state as managers, mails and the value logs see it: 5 none, 1 normal,
// 2 caution, 3 alert, 4 error, the upper and lower states folded into
// caution and alert; `other` for a code outside 0..8.
constexpr int shown(int code, int other = 0)
{
    switch (code) {
    case NONE: return 5;
    case NORMAL:
    case CAUTION:
    case ALERT:
    case ERROR: return code;
    case UPPER_ALERT:
    case LOWER_ALERT: return ALERT;
    case UPPER_CAUTION:
    case LOWER_CAUTION: return CAUTION;
    default: return other;
    }
}
}  // namespace STATE

// What a digital port's level means (its `errortext_id`).
namespace ERRTEXT {
constexpr int LEVEL = 1;        // the level is announced, the state stays normal
constexpr int CAUTION_ON = 2;   // level 1 is a caution
constexpr int ALERT_ON = 3;     // level 1 is an alert
constexpr int CAUTION_OFF = 4;  // level 0 is a caution
constexpr int ALERT_OFF = 5;    // level 0 is an alert
}  // namespace ERRTEXT

// Sections of the settings writer: the kind of a db_save message.
namespace SAVE {
constexpr int DI = 1;
constexpr int DO = 2;
constexpr int AI = 10;
constexpr int WIRE_T = 15;
constexpr int WIRE_H = 16;
constexpr int VLXA = 20;
constexpr int SM_ERR_TIME = 24;
constexpr int NX40 = 25;
constexpr int BATTERY = 28;
constexpr int SMARTMESH_CYCLE = 29;
constexpr int TREND = 30;
constexpr int NETWORK = 32;
constexpr int SNMP = 33;
constexpr int SNMP_TRAP = 34;
constexpr int TRAP_SCENARIO = 35;
constexpr int TIME = 36;
constexpr int MQTT = 37;
constexpr int MQTT_SCENARIO = 38;
constexpr int MAIL = 39;
constexpr int MAIL_CLIENT = 40;
constexpr int MAIL_SCENARIO = 41;
constexpr int MAIL_REPORT = 42;
constexpr int SENSOR_LOG_CYCLE = 43;
constexpr int SYSLOG = 55;
constexpr int ONEWIRE_CONF = 58;
constexpr int SNMP_USER = 62;
constexpr int SNMP_AGENT = 63;
constexpr int WHOLE = 999;  // the index of a message that means the whole section
}  // namespace SAVE

// Values the service writes into the request flags of the shared table.
namespace REQ {
constexpr int32_t SAVED = 0;   // section saved, request handled
constexpr int32_t FAILED = 0;  // settings file refused or unreadable
constexpr int32_t DONE = 1;    // settings file handled, test trap sent
constexpr int32_t IMPORT = 3;  // settings file to import; after a save: its sender re-reads it
constexpr int32_t EXPORT = 4;  // settings file to export; after a save: to be applied
constexpr int32_t REREAD = IMPORT;  // section saved, its sender re-reads it
constexpr int32_t APPLY = EXPORT;   // section saved, to be applied
}  // namespace REQ

// Event bits of a scenario entry's `state` (and of a relay rule's
// onstate/offstate).
namespace EVENT {
constexpr int ON = 1 << 0;       // digital level 1
constexpr int OFF = 1 << 1;      // digital level other than 1
constexpr int CAUTION = 1 << 2;  // caution states (MQTT scenarios: the lower side)
constexpr int ALERT = 1 << 3;    // alert states (MQTT scenarios: the upper side)
constexpr int NORMAL = 1 << 4;
constexpr int NONE = 1 << 5;     // no state or error
}  // namespace EVENT
