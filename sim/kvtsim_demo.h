// kvtsim init --demo: a sandbox made from the factory one in which every
// kind of channel has something to show. The copied factory database is
// changed through the web UI's tables, and the simulated board, its 1-Wire
// probes and the mesh report files are set to match, so that a fresh start
// gives a reading on every kind within the first minute.
#pragma once

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

#include "../service/mesh_report.h"
#include "sim_board.h"
#include "sim_onewire_state.h"

namespace kvtsim_demo {

// The demo's wireless sensors and 1-Wire probes, fixed so that the README's
// examples can name them.
constexpr const char* NX40_ID = "0a:1b:2c";
constexpr const char* VLXA_ID = "00170d00003eab12";
constexpr uint64_t TEMP_SERIAL = 0x4B5400000001ULL;   // DS18B20 on bus 0, sensor Temp1
constexpr uint64_t HUMID_SERIAL = 0x4B5400000002ULL;  // DS2450 on bus 0, sensor Humid1

// Loopback ports the demo points MQTT and mail at; another port comes from
// the environment (KVT_MQTT_PORT, KVT_SMTP_PORT) when one is taken.
inline bool port_from_env(const char* name, int fallback, int& port, std::string& err)
{
    port = fallback;
    const char* v = std::getenv(name);
    if (!v || !*v) return true;
    char* end = nullptr;
    const long p = std::strtol(v, &end, 10);
    if (*end != '\0' || p < 1 || p > 65535) {
        err = std::string(name) + "=" + v + " is not a port number";
        return false;
    }
    port = static_cast<int>(p);
    return true;
}

// Thresholds in the order the tables list them: alert max and its clear,
// caution max and its clear, caution min and its clear, alert min and its
// clear.
inline std::string thresholds(const char* prefix, int am, int amc, int cm, int cmc, int cn, int cnc, int an,
                              int anc)
{
    char buf[400];
    std::snprintf(buf, sizeof buf,
                  "%1$salert_max_val=%2$d, %1$salert_max_clear=%3$d, %1$scaution_max_val=%4$d, "
                  "%1$scaution_max_clear=%5$d, %1$scaution_min_val=%6$d, %1$scaution_min_clear=%7$d, "
                  "%1$salert_min_val=%8$d, %1$salert_min_clear=%9$d",
                  prefix, am, amc, cm, cmc, cn, cnc, an, anc);
    return buf;
}

inline std::string settings_sql(const std::string& temp_id, const std::string& humid_id, int mqtt_port,
                                int smtp_port)
{
    const std::string t = thresholds("", 3500, 3400, 3000, 2900, 1000, 1100, 500, 600);
    return
        // Digital inputs 1-4 and relays 1-4 announce every change.
        "UPDATE webapp_di SET enable=1, log=1, errortext_id=1 WHERE id<=4;"
        "UPDATE webapp_do SET enable=1, log=1, errortext_id=1 WHERE id<=4;"
        // Analog inputs 1-3: 4-20 mA shown as mA, normal between 6 and 16 mA.
        "UPDATE webapp_ai SET enable=1, log=1, range_type=0, input_min=400, input_max=2000, "
        "output_min=400, output_max=2000, unit='mA', " +
        thresholds("", 1800, 1750, 1600, 1550, 600, 650, 450, 500) +
        " WHERE id<=3;"
        "UPDATE webapp_wire_temp SET enable=1, log=1, device_ID='" + temp_id + "', " + t + " WHERE id=1;"
        "UPDATE webapp_wire_humid SET enable=1, log=1, device_ID='" + humid_id + "', " +
        thresholds("", 8000, 7800, 7000, 6800, 2000, 2200, 1000, 1200) + " WHERE id=1;"
        "UPDATE webapp_nx40 SET enable=1, log=1, device_ID='" + NX40_ID + "', " + t + " WHERE id=1;"
        "UPDATE webapp_vlxa SET enable=1, t_log=1, h_log=1, device_ID='" + VLXA_ID + "', " +
        thresholds("t_", 3500, 3400, 3000, 2900, 1000, 1100, 500, 600) + ", " +
        thresholds("h_", 8000, 7800, 7000, 6800, 2000, 2200, 1000, 1200) + " WHERE id=1;"
        // SNMP for managers on 127.0.0.1, traps (SNMPv2c) to receiver 1 there.
        "UPDATE webapp_snmp_config SET snmp_access_ipaddr='127.0.0.1', snmp_access_community='public', "
        "snmp_access_enable=1 WHERE id=1;"
        "UPDATE webapp_snmp_trap_send SET snmp_trap_send_sendto='127.0.0.1', "
        "snmp_trap_send_community='public', snmp_trap_send_version=1 WHERE id=1;"
        // MQTT: a broker on loopback; scenario 1 publishes every digital
        // change, scenario 2 every analog state change.
        "UPDATE webapp_mqttconfig SET mqtt_id=1, mqtt_addr='127.0.0.1', mqtt_port=" + std::to_string(mqtt_port) +
        ", mqtt_tls=0 WHERE id=1;"
        "UPDATE webapp_mqtt_scenario SET sensortype=1, sensor=1, state=3, enable=1 WHERE id=1;"
        "UPDATE webapp_mqtt_scenario SET sensortype=2, sensor=1, state=60, enable=1 WHERE id=2;"
        // Mail: an SMTP server on loopback, destination 1 told of a digital
        // input going on and of analog alerts (entries 0 and 1, rows 1 and 2).
        "UPDATE webapp_mailconfig SET mail_smtp='127.0.0.1', mail_smtp_port=" + std::to_string(smtp_port) +
        ", mail_mailaddr='kvt7400@example.com', mail_sendmail=1 WHERE id=1;"
        "UPDATE webapp_mail_client SET mailclient_addr='ops@example.com' WHERE id=1;"
        "UPDATE webapp_mail_client_scenario SET sensortype=1, sensor=1, state=1, enable=1 WHERE id=1;"
        "UPDATE webapp_mail_client_scenario SET sensortype=2, sensor=1, state=8, enable=1 WHERE id=2;";
}

inline bool apply_sql(const std::string& db_path, const std::string& sql, std::string& err)
{
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        err = "open " + db_path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return false;
    }
    char* msg = nullptr;
    const bool ok = sqlite3_exec(db, ("BEGIN;" + sql + "COMMIT;").c_str(), nullptr, nullptr, &msg) == SQLITE_OK;
    if (!ok) err = "update " + db_path + ": " + (msg ? msg : "unknown error");
    sqlite3_free(msg);
    sqlite3_close(db);
    return ok;
}

// A report whose time lies ten years ahead counts as recent (a collector
// that keeps reporting), so the demo's sensors read from any start.
inline bool write_report(const std::string& root, int kind, const char* id, int a, int b, int c, std::string& err)
{
    MESH::Report r;
    r.time = static_cast<long long>(std::time(nullptr)) + 10LL * 366 * 86400;
    r.v[0] = a;
    r.v[1] = b;
    r.v[2] = c;
    const std::string path = root + MESH::report_path(kind, id);
    const std::string dir = path.substr(0, path.find_last_of('/'));
    mkdir(dir.substr(0, dir.find_last_of('/')).c_str(), 0777);
    mkdir(dir.c_str(), 0777);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << MESH::report_line(r);
    if (!out) err = "write " + path + ": " + std::strerror(errno);
    return static_cast<bool>(out);
}

// Turns the factory sandbox at root into the demo.
inline bool make_demo(const std::string& root, std::string& err)
{
    int mqtt_port, smtp_port;
    if (!port_from_env("KVT_MQTT_PORT", 1883, mqtt_port, err) || !port_from_env("KVT_SMTP_PORT", 2525, smtp_port, err))
        return false;

    simow::Mapping ow;
    if (!simow::state_map(root, ow, err)) return false;
    uint8_t temp_rom[8], humid_rom[8];
    simow::make_rom(simow::DS18B20, TEMP_SERIAL, temp_rom);
    simow::make_rom(simow::DS2450, HUMID_SERIAL, humid_rom);
    const bool probes = simow::add_probe(ow.st, 0, simow::DS18B20, temp_rom, 2150) >= 0 &&
                        simow::add_probe(ow.st, 0, simow::DS2450, humid_rom, 4500) >= 0;
    ow.st->next_serial = 2;  // probes added later get new serials
    simow::state_unmap(ow);
    if (!probes) {
        err = "cannot add the demo's 1-Wire probes";
        return false;
    }

    simboard::Mapping board;
    if (!simboard::board_map(root, board, err)) return false;
    for (int ch = 0; ch < 3; ++ch) simboard::ai_set_source(board.hdr->analog, board.fpga, ch, simboard::AI_CURRENT, 12000000);
    simboard::board_unmap(board);

    return write_report(root, MESH::NX40_KIND, NX40_ID, 2150, 0, 360, err) &&
           write_report(root, MESH::VLXA_KIND, VLXA_ID, 2210, 4560, 300, err) &&
           apply_sql(root + "/opt/KVT7400/db.sqlite3",
                     settings_sql(simow::rom_text(temp_rom), simow::rom_text(humid_rom), mqtt_port, smtp_port), err);
}

}  // namespace kvtsim_demo
