// Configuration database layer: the one SQLite connection of the process,
// its statement helpers and the schema migration run at start-up.
//
// Every use of the connection happens under db_mutex. The web UI writes the
// same file, so statements that meet a lock are retried rather than failed.
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common.h"
#include "platform.h"
#include "settings_table.h"

// The configuration database.
static const char DBNAME[] = "/opt/KVT7400/db.sqlite3";
// The service's one connection: opened at start-up, used under the layer's lock.
static sqlite3* db = nullptr;

sqlite3* db_connection() { return db; }

namespace {

// Recursive: commit and rollback reopen the connection while holding it.
std::recursive_mutex db_mutex;

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string err_text(const char* label, int code)
{
    return std::string(label) + std::to_string(code) + ") " +
           (db ? sqlite3_errmsg(db) : sqlite3_errstr(code));
}

// Statement that could not be prepared because its table does not exist;
// the migration ladder relies on recognising this at once.
bool missing_table(int rc)
{
    if (rc != SQLITE_ERROR || db == nullptr) return false;
    return std::strncmp(sqlite3_errmsg(db), "no such table", 13) == 0;
}

// "webapp_di id=3" of an UPDATE statement, for the log: the table after
// "UPDATE", the id bound last or written after "where id=".
std::string update_target(const std::string& sql, const std::vector<SETTINGS_MAP::Value>& values)
{
    size_t t = sql.find("UPDATE ");
    std::string table = t == std::string::npos ? "?" : sql.substr(t + 7, sql.find(' ', t + 7) - (t + 7));
    size_t w = sql.rfind("where id=");
    std::string id = "?";
    if (w != std::string::npos && sql.compare(w + 9, 1, "?") == 0 && !values.empty()) {
        if (const int* n = std::get_if<int>(&values.back())) id = std::to_string(*n);
    } else if (w != std::string::npos) {
        id = sql.substr(w + 9, sql.find_first_not_of("0123456789", w + 9) - (w + 9));
    }
    return table + " id=" + id;
}

enum class SelectOutcome { ok, missing_table, stopped, failed };

// A lock is the web UI writing and passes, so a query waits it out. A
// damaged file or a failing disk does not pass: waiting for it would hold
// start-up, or the settings writer's reload, for as long as the service runs.
bool lasting_failure(int rc)
{
    switch (rc & 0xff) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
        return true;
    default:
        return false;
    }
}

SelectOutcome give_up(int rc, const std::string& sql)
{
    report_error(std::string("select_db: ") + sqlite3_errstr(rc) + " (" + std::to_string(rc) + "), no rows from",
                 sql);
    return SelectOutcome::failed;
}

// Start-up runs before the supervisor does; a SIGTERM then must still end a
// query that waits on a lock, so that the stop it asks for can happen.
bool may_retry() { return control == 1 && !sigterm_received; }

// Runs a query until one attempt completes, filling rows. Retries every
// 10 ms while the service runs. A closed connection or a damaged file can
// never succeed, so they end the query at once instead of holding the caller.
SelectOutcome run_select(const std::string& sql, DbRows& rows)
{
    rows.clear();
    while (may_retry()) {
        {
            std::lock_guard<std::recursive_mutex> lock(db_mutex);
            if (db == nullptr) {
                std::printf("ERROR2(%d) %s\n", SQLITE_MISUSE, "database not open");
                return SelectOutcome::stopped;
            }
            sqlite3_stmt* stmt = nullptr;
            int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
            if (rc != SQLITE_OK) {
                std::printf("ERROR2(%d) %s\n", rc, sqlite3_errmsg(db));
                sqlite3_finalize(stmt);
                if (missing_table(rc)) return SelectOutcome::missing_table;
                if (lasting_failure(rc)) return give_up(rc, sql);
            } else {
                while (sqlite3_step(stmt) == SQLITE_ROW) {
                    int n = sqlite3_column_count(stmt);
                    std::vector<std::string> row;
                    row.reserve(n);
                    for (int c = 0; c < n; ++c) {
                        const unsigned char* t = sqlite3_column_text(stmt, c);
                        row.emplace_back(t ? reinterpret_cast<const char*>(t) : "");
                    }
                    rows.push_back(std::move(row));
                }
                rc = sqlite3_finalize(stmt);
                if (rc == SQLITE_OK) return SelectOutcome::ok;
                std::printf("select ERROR3(%d) %s\n", rc, sqlite3_errmsg(db));
                std::printf("ERROR3(%d) %s\n%s\n", rc, sqlite3_errmsg(db), sql.c_str());
                rows.clear();
                if (lasting_failure(rc)) return give_up(rc, sql);
            }
        }
        sleep_ms(10);
    }
    rows.clear();
    return SelectOutcome::stopped;
}

}  // namespace

int open_db()
{
    try {
        std::lock_guard<std::recursive_mutex> lock(db_mutex);
        if (db != nullptr) {
            sqlite3_close(db);
            db = nullptr;
        }
        // Never create the file: a missing database is an error to report,
        // and an empty one would silently run the appliance unconfigured.
        int rc = sqlite3_open_v2(kvt_path(DBNAME).c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        if (rc == SQLITE_OK) {
            // sqlite3_open does not read the file; a damaged one only shows
            // on the first statement, so look at the schema now.
            rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master;", nullptr, nullptr, nullptr);
            // A file the web UI is writing at this moment is still a database.
            if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) rc = SQLITE_OK;
        }
        if (rc != SQLITE_OK) {
            std::string msg = err_text("ERROR1(", rc);
            sqlite3_close(db);
            db = nullptr;
            status_led_timer(1);
            report(msg);
            return 1;
        }
        return 0;
    } catch (...) {
        applog("DBopen try error");
        return 1;
    }
}

int close_db()
{
    std::lock_guard<std::recursive_mutex> lock(db_mutex);
    if (db != nullptr) {
        sqlite3_close(db);
        db = nullptr;
    }
    return 0;
}

int begin_trans()
{
    try {
        std::lock_guard<std::recursive_mutex> lock(db_mutex);
        int rc = sqlite3_exec(db, "BEGIN TRANSACTION", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) {
            std::string msg = err_text("trans ERROR(", rc);
            report(msg);
            return 1;
        }
        std::printf("BEGIN TRANSACTION\n");
        return 0;
    } catch (...) {
        applog("DBtrans try error");
        return 1;
    }
}

int commit_trans()
{
    try {
        for (int attempt = 0; attempt < 30; ++attempt) {
            {
                std::lock_guard<std::recursive_mutex> lock(db_mutex);
                int rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
                if (rc == SQLITE_OK) {
                    std::printf("COMMIT\n");
                    return 0;
                }
                std::string msg = err_text("comit ERROR(", rc);
                std::printf("%s\ncomit fail\n", msg.c_str());
                applog(msg);
            }
            sleep_ms(100);
            std::printf("%d\n", attempt);
        }
        // The transaction cannot be finished; a fresh connection drops it,
        // and the caller learns that its batch is lost.
        std::lock_guard<std::recursive_mutex> lock(db_mutex);
        close_db();
        open_db();
    } catch (...) {
        applog("DBtrans try error");
    }
    return 1;
}

int rollback_trans()
{
    try {
        std::lock_guard<std::recursive_mutex> lock(db_mutex);
        int rc = sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        int result = 0;
        if (rc == SQLITE_OK) {
            std::printf("ROLLBACK\n");
        } else {
            std::string msg = err_text("ROLLBACK ERROR(", rc);
            std::printf("%s\nROLLBACK fail\n", msg.c_str());
            applog(msg);
            result = 1;
        }
        close_db();
        open_db();
        return result;
    } catch (...) {
        applog("DBrollback try error");
        return 1;
    }
}

int create_db(const std::string& sql)
{
    try {
        std::lock_guard<std::recursive_mutex> lock(db_mutex);
        int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) return 0;
        std::string msg = err_text("ERROR(", rc);
        status_led_timer(1);
        report(msg);
        close_db();
        open_db();
        return rc;
    } catch (...) {
        applog("DBcreate try error");
        return 1;
    }
}

int insert_db(const std::string& sql)
{
    try {
        std::lock_guard<std::recursive_mutex> lock(db_mutex);
        sqlite3_stmt* stmt = nullptr;
        int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
        if (rc != SQLITE_OK) {
            std::printf("%s\n", err_text("ERROR(", rc).c_str());
            sqlite3_finalize(stmt);
            return 2;
        }
        // A statement that did not run is a failure, whatever its preparing
        // said: the migration must not count a column that was never added.
        int step = sqlite3_step(stmt);
        const bool step_ok = step == SQLITE_DONE || step == SQLITE_ROW;
        if (!step_ok) std::printf("%s\n", err_text("ERROR(", step).c_str());
        int fin = sqlite3_finalize(stmt);
        if (fin != SQLITE_OK && step_ok) std::printf("%s\n", err_text("ERROR(", fin).c_str());
        if (!step_ok) return 3;
        return fin == SQLITE_OK ? 0 : 4;
    } catch (...) {
        applog("DBinsert try error");
        return 2;
    }
}

int update_db(const std::string& sql, const std::vector<SETTINGS_MAP::Value>& values)
{
    int result = 0;
    for (int attempt = 0; attempt < 30; ++attempt) {
        if (attempt > 0) sleep_ms(100);
        std::lock_guard<std::recursive_mutex> lock(db_mutex);
        sqlite3_stmt* stmt = nullptr;
        int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
        if (rc != SQLITE_OK) {
            std::printf("%s\n", err_text("update ERROR6(", rc).c_str());
            sqlite3_finalize(stmt);
            result = 2;
            if (db == nullptr || lasting_failure(rc)) {
                report_error(std::string("update_db: ") + (db ? sqlite3_errstr(rc) : "database not open") + " in",
                             update_target(sql, values));
                return result;
            }
            continue;
        }
        // Values are bound, never spliced into the text: whatever a name
        // holds stays a value.
        for (size_t k = 0; k < values.size() && rc == SQLITE_OK; ++k) {
            const int pos = static_cast<int>(k) + 1;
            if (const int* n = std::get_if<int>(&values[k])) rc = sqlite3_bind_int(stmt, pos, *n);
            else {
                const std::string& t = std::get<std::string>(values[k]);
                rc = sqlite3_bind_text(stmt, pos, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
            }
        }
        if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
        if (rc != SQLITE_DONE) {
            std::printf("%s\n", err_text("update ERROR7(", rc).c_str());
            sqlite3_finalize(stmt);
            result = 3;
            // A full or damaged file stays so: 29 more attempts would only
            // hold the writer (and a stop) for another 3 s per statement.
            if (lasting_failure(rc) || (rc & 0xff) == SQLITE_FULL) {
                report_error(std::string("update_db: ") + sqlite3_errstr(rc) + " in", update_target(sql, values));
                return result;
            }
            continue;
        }
        // A row that is not there is a setting that silently goes unsaved:
        // the operator learns of it; the rest of the batch still counts.
        const int changed = sqlite3_changes(db);
        rc = sqlite3_finalize(stmt);
        if (rc != SQLITE_OK) {
            std::printf("%s\n", err_text("update ERROR8(", rc).c_str());
            result = 4;
            continue;
        }
        if (changed == 0) report_error("update_db: no row changed in", update_target(sql, values));
        return 0;
    }
    return result;
}

int update_db(const std::string& sql) { return update_db(sql, {}); }

DbRows select_rows(const std::string& sql, bool* table_missing)
{
    DbRows rows;
    SelectOutcome out = run_select(sql, rows);
    if (table_missing) *table_missing = (out == SelectOutcome::missing_table);
    return rows;
}

std::string select_db(const std::string& sql)
{
    if (control != 1) return "";
    DbRows rows;
    SelectOutcome out = run_select(sql, rows);
    if (out == SelectOutcome::missing_table) return "NG2";
    std::string text;
    for (const auto& row : rows) {
        for (const auto& cell : row) {
            text += cell;
            text += '$';
        }
        text += ',';
    }
    return text;
}

int delete_db()
{
    try {
        std::lock_guard<std::recursive_mutex> lock(db_mutex);
        int rc = sqlite3_exec(db, "DELETE from webapp_user", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) {
            std::printf("%s\n", err_text("ERROR(", rc).c_str());
            return rc;
        }
        return 0;
    } catch (...) {
        applog("DBdelete user try error");
        return 1;
    }
}

DbRows parse_result(const std::string& result)
{
    DbRows rows;
    size_t pos = 0;
    while (pos < result.size()) {
        size_t end = result.find(',', pos);
        if (end == std::string::npos) end = result.size();
        std::vector<std::string> row;
        size_t c = pos;
        while (c < end) {
            size_t d = result.find('$', c);
            if (d == std::string::npos || d > end) d = end;
            row.push_back(result.substr(c, d - c));
            c = d + 1;
        }
        rows.push_back(std::move(row));
        pos = end + 1;
    }
    return rows;
}

int alter(const DbRows& rows, int mode)
{
    if (mode != 1) return 0;
    for (const char* column : {"au_per", "al_per", "cu_per", "cl_per"})
        if (insert_db(std::string("ALTER table webapp_trend_list add column ") + column + " integer;") != 0) return 1;
    for (size_t r = 0; r < rows.size() && r < 6; ++r) {
        const auto& row = rows[r];
        if (row.size() < 5) continue;
        // An empty (NULL) percentage stays NULL rather than breaking the statement.
        const std::string p = row[4].empty() ? "NULL" : row[4];
        if (update_db("UPDATE webapp_trend_list SET au_per=" + p + ", al_per=" + p + ", cu_per=" + p +
                      ", cl_per=" + p + " where id=" + row[0]) != 0)
            return 1;
    }
    return 0;
}

int alter(const std::string& result, int mode) { return alter(parse_result(result), mode); }

namespace {

// The steps of the migration ladder. Each runs its statements in order and
// stops at the first that fails; true when all of them ran.
bool step_bat_config()
{
    if (select_db("SELECT * from webapp_bat_config;") != "NG2") return true;
    applog("DB version update 1.0.1->1.0.2");
    return create_db("CREATE TABLE webapp_bat_config (id integer primary key,alert "
                     "integer,alert_clear integer,caution integer,caution_clear "
                     "integer)") == 0 &&
           insert_db("INSERT INTO webapp_bat_config values(1,260,270,280,290);") == 0 &&
           insert_db("INSERT INTO webapp_bat_config values(2,260,270,280,290);") == 0;
}

bool step_db_version()
{
    applog("DB version update 1.0.2->1.0.3");
    // Read column by column so a "$" or "," in a rule name cannot shift
    // the percentage that seeds the new columns.
    return create_db("CREATE TABLE db_version (id integer primary key,version text)") == 0 &&
           insert_db("INSERT INTO db_version VALUES (1,'1.0.3')") == 0 &&
           alter(select_rows("SELECT * from webapp_trend_list;"), 1) == 0;
}

bool step_sm_errortime()
{
    applog("DB version update 1.0.3->1.0.13");
    return create_db("CREATE TABLE webapp_SM_errortime (id integer primary key,time integer)") == 0 &&
           insert_db("INSERT INTO webapp_SM_errortime values(1,300);") == 0 &&
           update_db("UPDATE db_version SET version='1.0.13' where id=1;") == 0;
}

bool step_onewire_conf()
{
    applog("DB version update 1.0.13->1.0.14");
    return create_db("CREATE TABLE webapp_onewire_conf (id integer primary key,num "
                     "integer,interval integer,log bool)") == 0 &&
           insert_db("INSERT INTO webapp_onewire_conf values(1,30,1000,0);") == 0 &&
           insert_db("INSERT INTO webapp_onewire_conf values(2,30,1000,0);") == 0 &&
           update_db("UPDATE db_version SET version='1.0.14' where id=1;") == 0;
}

bool step_bat_thresholds()
{
    applog("DB version update 1.0.14->1.1.1");
    return update_db("UPDATE webapp_bat_config SET alert=" + std::to_string(335) + " , alert_clear=" +
                     std::to_string(340) + " , caution=" + std::to_string(345) + " , caution_clear=" +
                     std::to_string(350) + " where id=" + std::to_string(2)) == 0 &&
           update_db("UPDATE db_version SET version='1.1.1' where id=1;") == 0;
}

bool step_snmpv3()
{
    applog("DB version update 1.1.1->1.1.2");
    return create_db("CREATE TABLE webapp_snmp_user (id integer primary key,snmp_user_name text,"
                     "snmp_user_auth integer,snmp_user_auth_pass text,snmp_user_priv integer,"
                     "snmp_user_priv_pass text,snmp_user_access integer,snmp_user_enable bool)") == 0 &&
           insert_db("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 8) "
                     "INSERT INTO webapp_snmp_user SELECT i, '', 0, '', 0, '', 0, 0 FROM n;") == 0 &&
           create_db("CREATE TABLE webapp_snmp_agent (id integer primary key,snmp_v1v2c_enable bool,"
                     "snmp_engine_boots integer)") == 0 &&
           insert_db("INSERT INTO webapp_snmp_agent values(1,1,0);") == 0 &&
           insert_db("ALTER TABLE webapp_snmp_trap_send ADD COLUMN snmp_trap_send_user integer;") == 0 &&
           insert_db("UPDATE webapp_snmp_trap_send SET snmp_trap_send_user=1;") == 0 &&
           update_db("UPDATE db_version SET version='1.1.2' where id=1;") == 0;
}

bool step_mqtt_tls()
{
    applog("DB version update 1.1.2->1.1.3");
    return insert_db("ALTER TABLE webapp_mqttconfig ADD COLUMN mqtt_tls integer;") == 0 &&
           insert_db("ALTER TABLE webapp_mqttconfig ADD COLUMN mqtt_cafile text;") == 0 &&
           insert_db("ALTER TABLE webapp_mqttconfig ADD COLUMN mqtt_certfile text;") == 0 &&
           insert_db("ALTER TABLE webapp_mqttconfig ADD COLUMN mqtt_keyfile text;") == 0 &&
           update_db("UPDATE webapp_mqttconfig SET mqtt_tls=0, mqtt_cafile='/etc/ssl/certs/ca-certificates.crt',"
                     " mqtt_certfile='', mqtt_keyfile='';") == 0 &&
           update_db("UPDATE db_version SET version='1.1.3' where id=1;") == 0;
}

struct LadderStep {
    const char* from;
    const char* to;
    bool (*run)();
};

const LadderStep kLadder[] = {
    {"1.0.1", "1.0.2", step_bat_config},   {"1.0.2", "1.0.3", step_db_version},
    {"1.0.3", "1.0.13", step_sm_errortime}, {"1.0.13", "1.0.14", step_onewire_conf},
    {"1.0.14", "1.1.1", step_bat_thresholds}, {"1.1.1", "1.1.2", step_snmpv3},
    {"1.1.2", "1.1.3", step_mqtt_tls},
};

// One step in one transaction: a step that fails leaves nothing half done,
// so the database stays at the version before it and a later start can
// try the step again.
bool run_step(const LadderStep& s)
{
    if (begin_trans() != 0) return false;
    if (s.run()) return commit_trans() == 0;
    std::lock_guard<std::recursive_mutex> lock(db_mutex);
    // A failed CREATE reopens the connection, which already dropped the
    // transaction.
    if (db != nullptr && sqlite3_get_autocommit(db) == 0) rollback_trans();
    return false;
}

}  // namespace

int check_db()
{
    std::string result = select_db("SELECT * from db_version;");
    std::string version;
    if (result == "NG2") {
        version = "1.0.1";
    } else {
        DbRows rows = parse_result(result);
        if (!rows.empty() && rows[0].size() > 1) version = rows[0][1];
    }

    if (version == std::end(kLadder)[-1].to) {
        applog("DB version OK");
        return 0;
    }
    // Each step brings the schema one version further and leads to the
    // next; a failed step ends the climb, and the service runs on the
    // tables as they are.
    bool climbing = false;
    for (const LadderStep& s : kLadder) {
        climbing = climbing || version == s.from;
        if (!climbing) continue;
        if (!run_step(s)) {
            report_error(std::string("check_db: DB version update ") + s.from + "->" + s.to +
                             " failed, version stays " + s.from + " in",
                         DBNAME);
            break;
        }
    }
    return 0;
}
