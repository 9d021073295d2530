#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "common.h"
#include "harness.h"
#include "platform.h"
#include "settings_map.h"
#include "sim_board.h"

#ifndef KVT_DB_DIR
#define KVT_DB_DIR ""
#endif

namespace {

std::string made_root;  // the temporary sandbox this process made, if any

int remove_entry(const char* p, const struct stat*, int, struct FTW*) { return remove(p); }
void remove_made_root()
{
    if (!made_root.empty()) nftw(made_root.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

static_assert(std::is_trivially_copyable_v<SETTINGS_TABLE::Sensor_settings>);
static_assert(std::is_trivially_copyable_v<SETTINGS_TABLE::Admin_settings>);
SETTINGS_TABLE::Sensor_settings saved_sensor;
SETTINGS_TABLE::Admin_settings saved_admin;

}  // namespace

std::string fuzz_sandbox(const std::string& root, bool with_db)
{
    std::string dir = root;
    if (dir.empty()) {
        char tmpl[] = "/tmp/kvt-fuzz-XXXXXX";
        if (!mkdtemp(tmpl)) fuzz_fail("mkdtemp /tmp/kvt-fuzz-XXXXXX");
        dir = made_root = tmpl;
        std::atexit(remove_made_root);
        std::string db = with_db ? std::string(KVT_DB_DIR) + "/db.sqlite3" : "";
        std::string err;
        if (!simboard::sandbox_init(dir, db, err)) fuzz_fail("sandbox_init " + dir + ": " + err);
    }
    set_sandbox_root(dir);
    return dir;
}

void fuzz_map_tables()
{
    if (monitor) return;
    gpio1_open();
    gpio2_open();
    gpio3_open();
    monitor = new MONITOR_TABLE_CLASS();
    if (mmap_open() != 0) fuzz_fail("mmap_open in " + kvt_path("/tmp"));
    monitor->initializeData();
    monitor->requestflg->is_7400 = 1;
}

void fuzz_setup_from_factory_db(const std::string& root, void (*adjust)(), bool keep_db_open)
{
    fuzz_sandbox(root, true);
    fuzz_map_tables();
    if (open_db() != 0) fuzz_fail("open_db " + kvt_path("/opt/KVT7400/db.sqlite3"));
    init_structs();
    if (adjust) adjust();
    if (!keep_db_open) close_db();
    fuzz_snapshot_records();
}

bool fuzz_put_file(const std::string& service_path, const std::string& text)
{
    FILE* f = std::fopen(kvt_path(service_path).c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

void fuzz_fail(const std::string& what)
{
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

void fuzz_check_texts(const char* after)
{
    for (const SETTINGS_MAP::Section* s : SETTINGS_MAP::sections())
        for (int i = 0; i < s->entries; ++i) {
            const char* elem = SETTINGS_MAP::element(*s, i);
            for (int k = 0; k < s->record->count; ++k) {
                const SETTINGS_MAP::Field& f = s->record->fields[k];
                if (f.type == SETTINGS_MAP::Type::Text && !std::memchr(elem + f.offset, 0, f.size))
                    fuzz_fail(std::string(after) + ": text " + s->table + "." + f.name + "[" + std::to_string(i) +
                              "] runs past its array");
            }
        }
}

void fuzz_snapshot_records()
{
    std::memcpy(&saved_sensor, &sensor_settings, sizeof saved_sensor);
    std::memcpy(&saved_admin, &admin_settings, sizeof saved_admin);
}

void fuzz_restore_records()
{
    std::memcpy(&sensor_settings, &saved_sensor, sizeof saved_sensor);
    std::memcpy(&admin_settings, &saved_admin, sizeof saved_admin);
    db_save.clear();
    state_log.clear();
    trap_que.clear();
    mail_send.clear();
    mqtt_con.clear();
}

const FuzzHarness* fuzz_harness(const std::string& name)
{
    for (const FuzzHarness& h : fuzz_harnesses())
        if (name == h.name) return &h;
    return nullptr;
}

extern const FuzzHarness MQTT_REQUEST_HARNESS, COMMAND_TEXT_HARNESS, SETTINGS_FILE_HARNESS, MESH_REPORT_HARNESS,
    STATE_LOG_HARNESS, SYSTEM_FILES_HARNESS;

const std::vector<FuzzHarness>& fuzz_harnesses()
{
    static const std::vector<FuzzHarness> all{MQTT_REQUEST_HARNESS, COMMAND_TEXT_HARNESS, SETTINGS_FILE_HARNESS,
                                              MESH_REPORT_HARNESS,  STATE_LOG_HARNESS,    SYSTEM_FILES_HARNESS};
    return all;
}
