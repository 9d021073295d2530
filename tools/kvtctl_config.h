// kvtctl config: one configuration record read from the database and changed
// the way the web UI changes it, by sending the record's settings command
// with every field as it stands but the ones named, then waiting until the
// settings writer has saved them. The records, their columns and the command
// positions come from the service's field maps (settings_map.h).
//
//   config KIND [N]                 the record's fields, one column=value a line
//   config KIND [N] FIELD=VALUE...  change fields, wait for the save
//   config [KIND] --help            kinds, or the fields of one kind
//
// Secrets (communities, passwords, passphrases) print as ***; a secret given
// as "-" is read from standard input. Returns 0 when done, 1 when the
// database cannot be read or the service did not save, 2 on a usage error
// (nothing is sent then).
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "codes.h"
#include "settings_map.h"

namespace kvtctl_config {

using SETTINGS_MAP::Field;
using SETTINGS_MAP::Section;
using SETTINGS_MAP::Type;

struct Kind {
    const char* name;
    const char* alias;  // nullptr: none
    int cmd;            // the settings command that sets it
    const char* what;
};

// The web UI's command channel reaches every kind here; the clock (36) is
// an action rather than a setting and is left to the web UI.
inline const Kind KINDS[] = {
    {"di", nullptr, 1, "digital inputs"},
    {"do", "relay", 2, "relay outputs"},
    {"ai", nullptr, 10, "analog inputs"},
    {"ow", "ow-temp", 15, "1-Wire temperature probes"},
    {"ow-humid", nullptr, 16, "1-Wire humidity probes"},
    {"nx40", "mesh", 25, "NX40 mesh sensors"},
    {"vlxa", nullptr, 20, "VLXA mesh sensors"},
    {"mesh-cycle", nullptr, 29, "mesh report cycles"},
    {"battery", nullptr, 28, "mesh battery thresholds in volts (1 VLXA, 2 NX40)"},
    {"trend", nullptr, 30, "trend rules"},
    {"network", nullptr, 32, "network settings"},
    {"snmp-manager", "snmp", 33, "SNMP managers (access list)"},
    {"trap", nullptr, 34, "SNMP trap receivers"},
    {"trap-scenario", nullptr, 35, "trap scenario entries"},
    {"snmp-user", nullptr, 62, "SNMPv3 users"},
    {"snmp-agent", nullptr, 63, "SNMP agent (the v1/v2c switch)"},
    {"mqtt", nullptr, 37, "MQTT broker"},
    {"mqtt-scenario", nullptr, 38, "MQTT scenario entries"},
    {"mail", nullptr, 39, "mail server"},
    {"mail-recipient", nullptr, 40, "mail recipients"},
    {"scenario", "mail-scenario", 41, "mail scenario entries"},
    {"mail-report", nullptr, 42, "mail reports"},
    {"logcycle", nullptr, 43, "sensor log cycles"},
    {"syslog", nullptr, 55, "system log destination"},
    {"ow-retry", nullptr, 58, "1-Wire read retries (1 temperature, 2 humidity)"},
};

// How long the settings writer may take to save a change.
constexpr int SAVE_TIMEOUT_MS = 10000;

inline const Kind* find_kind(const std::string& name)
{
    for (const Kind& k : KINDS)
        if (name == k.name || (k.alias && name == k.alias)) return &k;
    return nullptr;
}

inline const SETTINGS_MAP::Command& command_of(const Kind& k) { return *SETTINGS_MAP::command_layout(k.cmd); }
inline const Section& section_of(const Kind& k) { return *SETTINGS_MAP::section_of_save(command_of(k).save); }

// A field shown and changed: saved in a column and set by the command.
inline bool shown(const Field& f) { return f.column != nullptr; }
inline bool settable(const Field& f) { return f.column != nullptr && f.cmd != SETTINGS_MAP::NONE; }

inline bool secret(const Field& f)
{
    const std::string c = f.column ? f.column : "";
    return c.find("community") != std::string::npos || c.find("pass") != std::string::npos;
}

inline const Field* find_field(const Section& s, const std::string& name)
{
    for (int i = 0; i < s.record->count; ++i) {
        const Field& f = s.record->fields[i];
        if (shown(f) && (name == f.column || name == f.name)) return &f;
    }
    return nullptr;
}

// Hundredths as the command writes them: 255 is "2.55".
inline std::string in_units(const std::string& stored)
{
    const long v = std::strtol(stored.c_str(), nullptr, 10);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%ld.%02ld", v < 0 ? "-" : "", std::labs(v) / 100, std::labs(v) % 100);
    return buf;
}

// A value as the database stores it, from what the user typed; "" with
// *err set when it does not fit the field.
inline std::string stored_value(const Field& f, bool hundredths, const std::string& v, std::string* err)
{
    const std::string name = f.column;
    if (f.type == Type::Text) {
        if (v.size() > f.size - 1u)
            *err = name + ": at most " + std::to_string(f.size - 1) + " bytes, " + std::to_string(v.size()) + " given";
        else if (v.find(',') != std::string::npos) *err = name + ": no comma";
        for (unsigned char ch : v)
            if (ch < 0x20 || ch == 0x7f) *err = name + ": no control characters";
        return v;
    }
    if (f.type == Type::Bool) {
        if (v != "0" && v != "1") *err = name + ": 0 or 1";
        return v;
    }
    // Whole numbers; hundredths with at most two decimals.
    size_t i = v[0] == '-' ? 1 : 0, digits = 0, decimals = 0;
    bool point = false, ok = i < v.size();
    for (; ok && i < v.size(); ++i) {
        if (v[i] == '.' && hundredths && !point) point = true;
        else if (v[i] >= '0' && v[i] <= '9') ++(point ? decimals : digits);
        else ok = false;
    }
    ok = ok && digits > 0 && digits <= 9 && decimals <= 2 && !(point && decimals == 0);
    if (!ok) {
        *err = name + (hundredths ? ": a number with at most two decimals" : ": a whole number");
        return "";
    }
    if (!hundredths) return std::to_string(std::strtol(v.c_str(), nullptr, 10));
    const size_t dot = v.find('.');
    std::string frac = dot == std::string::npos ? "" : v.substr(dot + 1);
    frac.resize(2, '0');
    const long whole = std::labs(std::strtol(v.substr(0, dot).c_str(), nullptr, 10));
    const long h = whole * 100 + std::strtol(frac.c_str(), nullptr, 10);
    return std::to_string(v[0] == '-' ? -h : h);
}

// The database, read only.
class Db {
public:
    explicit Db(const std::string& path) : path_(path)
    {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            error_ = db_ ? sqlite3_errmsg(db_) : "out of memory";
            return;
        }
        sqlite3_busy_timeout(db_, 2000);
    }
    ~Db() { sqlite3_close(db_); }
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;
    const std::string& error() const { return error_; }

    // The shown columns of row `id`, by column; false (error() says why)
    // when the row cannot be read.
    bool row(const Section& s, int id, std::map<std::string, std::string>& out)
    {
        std::string sql = "SELECT ";
        std::vector<const char*> cols;
        for (int i = 0; i < s.record->count; ++i)
            if (shown(s.record->fields[i])) cols.push_back(s.record->fields[i].column);
        for (size_t i = 0; i < cols.size(); ++i) sql += (i ? "," : "") + std::string(cols[i]);
        sql += std::string(" FROM ") + s.table + " WHERE id=?";
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
            error_ = std::string(s.table) + ": " + sqlite3_errmsg(db_);
            return false;
        }
        sqlite3_bind_int(st, 1, id);
        const int rc = sqlite3_step(st);
        if (rc == SQLITE_ROW)
            for (size_t i = 0; i < cols.size(); ++i) {
                const unsigned char* t = sqlite3_column_text(st, static_cast<int>(i));
                out[cols[i]] = t ? reinterpret_cast<const char*>(t) : "";
            }
        else error_ = std::string(s.table) + " row " + std::to_string(id) + ": " +
                      (rc == SQLITE_DONE ? "no such row" : sqlite3_errmsg(db_));
        sqlite3_finalize(st);
        return rc == SQLITE_ROW;
    }

private:
    std::string path_;
    sqlite3* db_ = nullptr;
    std::string error_;
};

inline int usage(const std::string& why)
{
    std::fprintf(stderr,
                 "kvtctl config: %s\n"
                 "usage: kvtctl config KIND [N] [FIELD=VALUE ...]   (kvtctl config [KIND] --help)\n",
                 why.c_str());
    return 2;
}

inline void help(const Kind* only)
{
    if (!only) {
        std::printf("usage: kvtctl config KIND [N] [FIELD=VALUE ...]\n"
                    "Prints a configuration record from the database, or changes the fields\n"
                    "named as the web UI does and waits until the service has saved them.\n"
                    "N counts from 1 (omitted: 1). A secret given as - is read from standard\n"
                    "input. kvtctl config KIND --help lists a kind's fields.\n\nKINDS\n");
        for (const Kind& k : KINDS) {
            const std::string name = k.alias ? std::string(k.name) + ", " + k.alias : k.name;
            std::printf("  %-24s 1-%-4d %s (command %d)\n", name.c_str(), section_of(k).entries, k.what, k.cmd);
        }
        return;
    }
    const Section& s = section_of(*only);
    std::printf("%s: %s, 1-%d, command %d, table %s\n", only->name, only->what, s.entries, only->cmd, s.table);
    const bool h = command_of(*only).hundredths;
    for (int i = 0; i < s.record->count; ++i) {
        const Field& f = s.record->fields[i];
        if (!shown(f)) continue;
        std::string type = f.type == Type::Bool ? "0 or 1"
                           : f.type == Type::Text ? "text of at most " + std::to_string(f.size - 1) + " bytes"
                           : h ? "number, two decimals" : "whole number";
        if (secret(f)) type += ", secret";
        if (!settable(f)) type += ", read only";
        std::printf("  %-28s %s\n", f.column, type.c_str());
    }
}

inline void print_record(const Section& s, const std::map<std::string, std::string>& row, bool hundredths)
{
    for (int i = 0; i < s.record->count; ++i) {
        const Field& f = s.record->fields[i];
        if (!shown(f)) continue;
        const std::string& v = row.at(f.column);
        std::printf("%s=%s\n", f.column,
                    secret(f) ? "***" : hundredths && f.type == Type::Int ? in_units(v).c_str() : v.c_str());
    }
}

// send(text) queues a command text and returns kvtctl's exit status.
inline int command(const std::string& root, const std::vector<std::string>& args,
                   const std::function<int(const std::string&)>& send)
{
    for (const std::string& a : args)
        if (a == "--help" || a == "-h") {
            const Kind* k = args.size() > 1 ? find_kind(args[1]) : nullptr;
            if (args.size() > 1 && !k && args[1] != a) return usage("unknown kind " + args[1]);
            help(k);
            return 0;
        }
    if (args.size() < 2) return usage("no kind (kvtctl config --help lists them)");
    const Kind* kind = find_kind(args[1]);
    if (!kind) return usage("unknown kind " + args[1]);
    const SETTINGS_MAP::Command& c = command_of(*kind);
    const Section& s = section_of(*kind);
    size_t next = 2;
    int n = 1;
    if (args.size() > 2 && args[2].find('=') == std::string::npos) {
        char* end = nullptr;
        const long v = std::strtol(args[2].c_str(), &end, 10);
        if (args[2].empty() || *end != '\0' || v < 1 || v > s.entries)
            return usage(std::string(kind->name) + ": no element " + args[2] + " (1-" + std::to_string(s.entries) + ")");
        n = static_cast<int>(v);
        next = 3;
    }
    const int entry = n - 1;

    // The changes, checked before anything is read or sent.
    std::map<const Field*, std::string> changes;  // field -> value as stored
    for (size_t i = next; i < args.size(); ++i) {
        const size_t eq = args[i].find('=');
        if (eq == std::string::npos) return usage("expected FIELD=VALUE, got " + args[i]);
        const std::string name = args[i].substr(0, eq);
        std::string value = args[i].substr(eq + 1);
        const Field* f = find_field(s, name);
        if (!f) return usage(std::string(kind->name) + " has no field " + name);
        if (!settable(*f)) return usage(std::string(kind->name) + ": " + name + " is read only");
        if (secret(*f) && value == "-") {
            char line[512];
            value = std::fgets(line, sizeof line, stdin) ? line : "";
            while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
        }
        std::string err;
        if (value.empty() && f->type != Type::Text) err = std::string(f->column) + ": no value";
        const std::string stored = err.empty() ? stored_value(*f, c.hundredths, value, &err) : "";
        if (!err.empty()) return usage(std::string(kind->name) + " " + std::to_string(n) + ": " + err);
        changes[f] = stored;
    }

    Db db(root + "/opt/KVT7400/db.sqlite3");
    // Rows of the entries the command carries: a positional group command
    // carries every entry up to the one changed.
    std::vector<std::map<std::string, std::string>> rows(static_cast<size_t>(entry + 1));
    const bool all_before = !changes.empty() && c.index == SETTINGS_MAP::Index::group;
    for (int e = all_before ? 0 : entry; e <= entry; ++e)
        if (!db.row(s, e + s.first_id, rows[static_cast<size_t>(e)])) {
            std::fprintf(stderr, "kvtctl config: %s\n", db.error().c_str());
            return 1;
        }
    if (changes.empty()) {
        print_record(s, rows[static_cast<size_t>(entry)], c.hundredths);
        return 0;
    }
    for (const auto& [f, v] : changes) rows[static_cast<size_t>(entry)][f->column] = v;

    const std::string text = SETTINGS_MAP::command_text(c, entry, [&](int e, const Field& f) -> std::string {
        if (!f.column) return "";
        const std::string& v = rows[static_cast<size_t>(e)].at(f.column);
        return c.hundredths && f.type == Type::Int ? in_units(v) : v;
    });
    // The service's queue takes texts shorter than 2048 bytes.
    if (text.size() >= 2048) {
        std::fprintf(stderr, "kvtctl config: %s %d: the command would be %zu bytes, more than the queue takes\n",
                     kind->name, n, text.size());
        return 1;
    }
    if (int rc = send(text); rc != 0) return rc;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(SAVE_TIMEOUT_MS);
    for (;;) {
        std::map<std::string, std::string> now;
        bool saved = db.row(s, entry + s.first_id, now);
        for (const auto& [f, v] : changes) saved = saved && now[f->column] == v;
        if (saved) {
            print_record(s, now, c.hundredths);
            return 0;
        }
        if (std::chrono::steady_clock::now() > deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::fprintf(stderr,
                 "kvtctl config: %s %d: the service did not save the change within %d s (is it running? its "
                 "application log says why it refused a command)\n",
                 kind->name, n, SAVE_TIMEOUT_MS / 1000);
    return 1;
}

}  // namespace kvtctl_config
