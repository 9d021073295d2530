// Builds the factory configuration database and, from the same SQL, the
// databases of the older schema versions that the start-up migration has
// to bring forward. Each older version is the factory database with the
// later migration steps undone.
//
// usage: kvtdbgen <factory.sql> <output dir>
#include <sqlite3.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// What each migration step added, newest first; undoing the first k of
// them yields the database of the k-th older version.
struct Step {
    const char* version;  // version the database has after undoing
    const char* undo;     // statements that remove what the step added
};

const Step kSteps[] = {
    {"1.1.2",
     "ALTER TABLE webapp_mqttconfig DROP COLUMN mqtt_tls;"
     "ALTER TABLE webapp_mqttconfig DROP COLUMN mqtt_cafile;"
     "ALTER TABLE webapp_mqttconfig DROP COLUMN mqtt_certfile;"
     "ALTER TABLE webapp_mqttconfig DROP COLUMN mqtt_keyfile;"
     "UPDATE db_version SET version='1.1.2' WHERE id=1;"},
    {"1.1.1",
     "DROP TABLE webapp_snmp_user;"
     "DROP TABLE webapp_snmp_agent;"
     "ALTER TABLE webapp_snmp_trap_send DROP COLUMN snmp_trap_send_user;"
     "UPDATE db_version SET version='1.1.1' WHERE id=1;"},
    {"1.0.14",
     "UPDATE webapp_bat_config SET alert=260, alert_clear=270, caution=280,"
     " caution_clear=290 WHERE id=2;"
     "UPDATE db_version SET version='1.0.14' WHERE id=1;"},
    {"1.0.13",
     "DROP TABLE webapp_onewire_conf;"
     "UPDATE db_version SET version='1.0.13' WHERE id=1;"},
    {"1.0.3",
     "DROP TABLE webapp_SM_errortime;"
     "UPDATE db_version SET version='1.0.3' WHERE id=1;"},
    {"1.0.2",
     "DROP TABLE db_version;"
     "ALTER TABLE webapp_trend_list DROP COLUMN au_per;"
     "ALTER TABLE webapp_trend_list DROP COLUMN al_per;"
     "ALTER TABLE webapp_trend_list DROP COLUMN cu_per;"
     "ALTER TABLE webapp_trend_list DROP COLUMN cl_per;"},
    {"1.0.1", "DROP TABLE webapp_bat_config;"},
};

bool exec(sqlite3* db, const std::string& sql, const std::string& what)
{
    char* err = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        std::fprintf(stderr, "kvtdbgen: %s: %s\n", what.c_str(), err ? err : "unknown error");
        sqlite3_free(err);
        return false;
    }
    return true;
}

bool build(const std::string& path, const std::string& factory_sql, int undo_count)
{
    std::remove(path.c_str());
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
        std::fprintf(stderr, "kvtdbgen: cannot create %s\n", path.c_str());
        sqlite3_close(db);
        return false;
    }
    bool ok = exec(db, "BEGIN;", path) && exec(db, factory_sql, path);
    for (int i = 0; ok && i < undo_count; ++i) ok = exec(db, kSteps[i].undo, path);
    ok = ok && exec(db, "COMMIT;", path) && exec(db, "VACUUM;", path);
    sqlite3_close(db);
    if (!ok) std::remove(path.c_str());
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: kvtdbgen <factory.sql> <output dir>\n");
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in) {
        std::fprintf(stderr, "kvtdbgen: cannot read %s\n", argv[1]);
        return 1;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string sql = ss.str();
    const std::string dir = argv[2];

    if (!build(dir + "/db.sqlite3", sql, 0)) return 1;
    int k = 0;
    for (const Step& s : kSteps) {
        ++k;
        if (!build(dir + "/db-" + s.version + ".sqlite3", sql, k)) return 1;
    }
    return 0;
}
