#include "fault_scenarios.h"

#include <sqlite3.h>

#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "db_test_support.h"
#include "monitor_table.h"
#include "process.h"
#include "sandbox.h"

namespace faults {

namespace {

using Clock = std::chrono::steady_clock;
const char* const DB = "/opt/KVT7400/db.sqlite3";
constexpr int T0 = 1735689600;  // 2025-01-01: the seeded status-log records
constexpr int SEEDED_ALL = 5, SEEDED_DIO = 3;

void pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
std::string fixed1(double v)
{
    char b[32];
    std::snprintf(b, sizeof b, "%.1f", v);
    return b;
}

// A random point of this row: the same seed and row give the same point.
int draw_ms(const Row& row, int lo, int hi)
{
    std::mt19937 rng(seed() + 7919u * static_cast<unsigned>(row.draw) + 131u * static_cast<unsigned>(row.fault) +
                     static_cast<unsigned>(row.point));
    return std::uniform_int_distribution<int>(lo, hi)(rng);
}

// The web UI's command for 1-Wire temperature probe n: a new name, all else off.
std::string probe_cmd(int n, const std::string& name)
{
    return "15," + std::to_string(n) + "," + name +
           ",0,,2147483647,2147483647,2147483647,2147483647,-2147483648,-2147483648,-2147483648,-2147483648,0,0,";
}
std::string probe_sql(int n) { return "SELECT name FROM webapp_wire_temp WHERE id=" + std::to_string(n); }

struct Expect {
    std::string sql, value;
};

// Another connection holding the write lock, as the web UI does while it
// writes: nobody else reads or writes the file until it is released.
std::unique_ptr<dbtest::Conn> hold_lock(const std::string& path)
{
    auto c = std::make_unique<dbtest::Conn>(path);
    c->exec("BEGIN EXCLUSIVE");
    return c;
}
void release(std::unique_ptr<dbtest::Conn>& lock)
{
    if (lock) lock->exec("COMMIT");
    lock.reset();
}

// Damage of 16 bytes: the header of a table's root page (its page type
// byte becomes invalid), or the file's own header when no table is named.
struct Damage {
    std::string path;
    long offset = 0;
    std::string original;

    Damage(const std::string& file, const std::string& table) : path(file)
    {
        if (table.empty()) return;
        dbtest::Conn c(path);
        offset = (std::stol(c.scalar("SELECT rootpage FROM sqlite_master WHERE name='" + table + "'", true)) - 1) *
                 std::stol(c.scalar("PRAGMA page_size", true));
    }
    void apply()
    {
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        original.assign(16, '\0');
        f.seekg(offset);
        f.read(original.data(), 16);
        f.seekp(offset);
        f.write(std::string(16, '\xff').data(), 16);
        // Another writer changed the file: the change counter tells every
        // connection to drop the pages it has cached.
        unsigned char c[4];
        f.seekg(24);
        f.read(reinterpret_cast<char*>(c), 4);
        for (int k = 3; k >= 0 && ++c[k] == 0; --k) {
        }
        f.seekp(24);
        f.write(reinterpret_cast<char*>(c), 4);
    }
    void undo() const
    {
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(offset);
        f.write(original.data(), 16);
    }
};

// The status log as a previous run left it in /log.
void seed_status_log(TestSandbox& sb)
{
    static MONITOR_TABLE::Status_Log log{};
    log = {};
    for (int k = 0; k < SEEDED_ALL; ++k) log.all_status_log.all[k] = {T0 + 60 * k, 2, k + 1, 5, 7000 + k};
    log.all_status_log.w = SEEDED_ALL;
    for (int k = 0; k < SEEDED_DIO; ++k) log.dio_status_log.dio[k] = {T0 + 60 * k, 1, k + 1, 3, 0};
    log.dio_status_log.w = SEEDED_DIO;
    std::ofstream(sb.path("/log/mmapfile_status"), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(&log), sizeof log);
}

// Readable: the whole layout, indices in range, every record between them
// of a real time, kind and state, and the seeded records still there.
bool status_log_readable(TestSandbox& sb, const char* path, std::string& why)
{
    static MONITOR_TABLE::Status_Log log;
    std::ifstream in(sb.path(path), std::ios::binary | std::ios::ate);
    if (!in || static_cast<size_t>(in.tellg()) != sizeof log) {
        why = std::string(path) + " missing or of the wrong size";
        return false;
    }
    in.seekg(0);
    in.read(reinterpret_cast<char*>(&log), sizeof log);
    auto walk = [&](const MONITOR_TABLE::StatusEntry* e, int cap, int r, int w, int seeded, const char* name) {
        if (!MONITOR_TABLE::ring_indices_valid(r, w, cap)) {
            why = std::string(name) + " indices out of range";
            return false;
        }
        int found = 0, records = 0;
        for (int k = r; k != w; k = (k + 1) % cap, ++records) {
            if (e[k].time < 946684800 || e[k].type < 1 || e[k].type > 9 || e[k].state < 0 || e[k].state > 8) {
                why = std::string(name) + " record " + std::to_string(k) + " undecodable (time " +
                      std::to_string(e[k].time) + ")";
                return false;
            }
            if (e[k].time < T0 + 60 * seeded && e[k].port >= 1 && e[k].port <= seeded) ++found;
        }
        if (found != seeded) {
            why = std::string(name) + " lost seeded records";
            return false;
        }
        why = std::to_string(records) + " records";
        return true;
    };
    std::string all;
    if (!walk(log.all_status_log.all, MONITOR_TABLE::ALL_LOG_NUM, log.all_status_log.r, log.all_status_log.w,
              SEEDED_ALL, "all"))
        return false;
    all = why;
    if (!walk(log.dio_status_log.dio, MONITOR_TABLE::DIO_LOG_NUM, log.dio_status_log.r, log.dio_status_log.w,
              SEEDED_DIO, "dio"))
        return false;
    why = all + " + " + why;
    return true;
}

// One row's run: the sandbox, the settings committed before the fault and
// the settings that must arrive in the end.
struct Run {
    const Row& row;
    TestSandbox sb;
    QueueCleanup queue{sb.root()};
    std::string db = sb.path(DB);
    std::vector<Expect> committed;   // in the database before the fault
    std::vector<Expect> eventually;  // sent before the stop: in it once the restart settled
    Outcome out;
    bool unreadable = false;  // the file header is damaged: no query can answer
    std::function<void()> after_restart;

    explicit Run(const Row& r) : row(r)
    {
        // Committed in an earlier run, as the web UI saw them saved.
        dbtest::Conn c(db);
        for (int i = 1; i <= 8; ++i) {
            std::string name = "kept-" + std::to_string(i);
            c.exec("UPDATE webapp_di SET name='" + name + "' WHERE id=" + std::to_string(i));
            committed.push_back({"SELECT name FROM webapp_di WHERE id=" + std::to_string(i), name});
        }
        c.exec("UPDATE webapp_smartmesh_cycle SET cycle_minutes=41 WHERE id=3");
        committed.push_back({"SELECT cycle_minutes FROM webapp_smartmesh_cycle WHERE id=3", "41"});
        seed_status_log(sb);
    }

    void fail(const std::string& what)
    {
        out.ok = false;
        note("FAILED: " + what);
    }
    void note(const std::string& what) { out.text += (out.text.empty() ? "" : "; ") + what; }

    int send(const std::string& text) { return run_tool("kvtctl", sb.root(), {"send", text}); }
    int kvtsim(const std::vector<std::string>& args) { return run_tool("kvtsim", sb.root(), args); }

    // The value of a query, "" when the file cannot answer it.
    std::string cell(const std::string& sql)
    {
        try {
            return dbtest::Conn(db).scalar(sql, true);
        } catch (const std::exception&) {
            return "";
        }
    }
    int holding(const std::vector<Expect>& ex)
    {
        int n = 0;
        for (const auto& e : ex) n += cell(e.sql) == e.value ? 1 : 0;
        return n;
    }
    bool wait_committed(const std::string& sql, const std::string& value, int ms)
    {
        return wait_until([&] { return cell(sql) == value; }, ms);
    }

    // A change saved while the service runs normally: committed from now on.
    void commit_one(int n, const std::string& name)
    {
        send(probe_cmd(n, name));
        if (wait_committed(probe_sql(n), name, 5000)) committed.push_back({probe_sql(n), name});
        else fail("probe " + std::to_string(n) + " not saved");
    }

    // SIGTERM (unless already ended), expected exit 0; then, with the web
    // UI's lock (if any) released, the checks.
    void stop_and_check(SimProcess& p, bool killed_early_ok = false, std::unique_ptr<dbtest::Conn>* lock = nullptr)
    {
        auto t = Clock::now();
        if (p.running()) p.signal(SIGTERM);
        int rc = p.wait_exit(20000);
        const bool early = killed_early_ok && rc == 128 + SIGTERM &&
                           p.console().find("simulated board: sandbox") == std::string::npos;
        if (rc == -1) fail("no exit within 20 s (hang)");
        else if (rc != 0 && !early) fail("exit " + std::to_string(rc) + " (crash)");
        else
            note(early ? "ended before its handler was set"
                       : "exit 0 after " + fixed1(std::chrono::duration<double>(Clock::now() - t).count()) + " s");
        if (lock) release(*lock);
        check_settings_and_log();
    }

    void check_settings_and_log()
    {
        const int kept = holding(committed);
        if (unreadable) note("settings unreadable until the header is repaired");
        else if (kept != static_cast<int>(committed.size()))
            fail(std::to_string(committed.size() - kept) + " committed settings lost");
        else note(std::to_string(kept) + " committed kept");
        std::string why;
        if (status_log_readable(sb, "/log/mmapfile_status", why)) note("status log " + why);
        else fail("status log: " + why);
    }

    int buzzer_offs()
    {
        int n = 0;
        for (const auto& l : sb.journal()) n += l == "echo 0 > /sys/class/pwm/pwmchip0/pwm0/enable" ? 1 : 0;
        return n;
    }

    void restart()
    {
        // The journal still holds the first run's start-up: this one's
        // is complete at its own second buzzer off.
        const int before = buzzer_offs();
        SimProcess p(sb.root());
        if (!wait_until([&] { return buzzer_offs() >= before + 2; }, 40000)) {
            fail("restart did not complete start-up");
            p.signal(SIGKILL);
            return;
        }
        std::vector<Expect> all = committed;
        all.insert(all.end(), eventually.begin(), eventually.end());
        if (unreadable) {
            if (!wait_until([&] { return sb.applog().find("ERROR1(") != std::string::npos; }, 5000))
                fail("restart did not report the unreadable database");
        } else if (!wait_until([&] { return holding(all) == static_cast<int>(all.size()); }, 15000))
            fail(std::to_string(all.size() - holding(all)) + " settings missing after the restart");
        else if (!eventually.empty()) note("all " + std::to_string(eventually.size()) + " sent saved after restart");
        std::string why;
        if (!status_log_readable(sb, "/tmp/mmapfile_status", why)) fail("status log after restart: " + why);
        p.signal(SIGTERM);
        if (p.wait_exit(20000) != 0) fail("restart did not stop with exit 0");
        else note("restart ok");
    }
};

void sigterm_startup(Run& r)
{
    const int at = draw_ms(r.row, 0, 7500);
    SimProcess p(r.sb.root());
    pause_ms(at);
    r.note("SIGTERM " + std::to_string(at) + " ms after launch");
    r.stop_and_check(p, true);
}

void sigterm_batch(Run& r)
{
    SimProcess p(r.sb.root());
    if (!p.wait_started(30000)) return r.fail("start-up");
    r.commit_one(1, "pre-" + std::to_string(seed() % 1000));
    const int at = draw_ms(r.row, 0, 800);
    // Forty changes back to back, as an import of names would make them.
    std::thread sender([&] {
        for (int n = 2; n <= 41; ++n) r.send(probe_cmd(n, "b" + std::to_string(n) + "-" + std::to_string(at)));
    });
    pause_ms(at);
    p.signal(SIGTERM);
    sender.join();
    for (int n = 2; n <= 41; ++n) r.eventually.push_back({probe_sql(n), "b" + std::to_string(n) + "-" + std::to_string(at)});
    r.note("SIGTERM " + std::to_string(at) + " ms into 40 saves");
    r.stop_and_check(p);
}

void locked_startup(Run& r, bool sigterm)
{
    auto lock = hold_lock(r.db);
    SimProcess p(r.sb.root());
    if (sigterm) {
        const int at = draw_ms(r.row, 1500, 6000);
        pause_ms(at);
        r.note("locked throughout, SIGTERM at " + std::to_string(at) + " ms");
        r.stop_and_check(p, false, &lock);  // with the lock still held: the stop must not wait for it
    } else {
        pause_ms(2000);
        release(lock);
        r.note("locked for the first 2 s");
        if (!p.wait_started(40000)) return r.fail("start-up did not complete after the release");
        r.commit_one(1, "after-lock");
        r.stop_and_check(p);
    }
}

void locked_batch(Run& r, int hold_ms, bool sigterm)
{
    SimProcess p(r.sb.root());
    if (!p.wait_started(30000)) return r.fail("start-up");
    r.commit_one(1, "pre-lock");
    auto lock = hold_lock(r.db);
    r.send(probe_cmd(2, "under-lock"));
    if (sigterm) {
        if (!p.wait_console("update ERROR7(", 5000)) r.fail("the batch never met the lock");
        r.note("SIGTERM while the batch waits on the lock");
        r.stop_and_check(p, false, &lock);  // with the lock still held: the stop must not wait for it
    } else {
        pause_ms(hold_ms);
        release(lock);
        r.note("locked " + fixed1(hold_ms / 1000.0) + " s");
        const bool rolled = p.console().find("database rollback") != std::string::npos ||
                            r.sb.applog().find("database rollback") != std::string::npos;
        if (hold_ms < 2500) {
            // Within the writer's retries: the batch waits and commits.
            if (!r.wait_committed(probe_sql(2), "under-lock", 5000)) r.fail("the waiting batch was not saved");
            else r.committed.push_back({probe_sql(2), "under-lock"});
            r.note(rolled ? "rolled back" : "batch waited and committed");
        } else {
            if (!rolled) r.fail("no rollback reported");
            else r.note("batch rolled back and reloaded");
            if (r.cell(probe_sql(2)) == "under-lock") r.fail("a rolled-back change is in the file");
            r.commit_one(3, "after-lock");
        }
        r.stop_and_check(p);
    }
}

void corrupt_startup(Run& r)
{
    Damage d(r.db, "webapp_wire_temp");
    d.apply();
    SimProcess p(r.sb.root());
    if (!p.wait_started(40000)) {
        r.fail("start-up did not complete on a damaged table (hang)");
    } else {
        r.note("started on a damaged table");
        r.send("29,1,19,");
        if (r.wait_committed("SELECT cycle_minutes FROM webapp_smartmesh_cycle WHERE id=1", "19", 5000))
            r.note("other tables still saved");
        else r.fail("a change to an undamaged table was not saved");
    }
    r.stop_and_check(p);
}

void corrupt_batch(Run& r, bool header)
{
    Damage d(r.db, header ? "" : "webapp_wire_temp");
    SimProcess p(r.sb.root());
    if (!p.wait_started(30000)) return r.fail("start-up");
    r.commit_one(1, "pre-damage");
    {
        // Damaged while the batch waits for the web UI's lock.
        auto lock = hold_lock(r.db);
        r.send(probe_cmd(2, "into-damage"));
        if (!p.wait_console("update ERROR7(", 5000)) r.fail("the batch never met the lock");
        d.apply();
        release(lock);
    }
    r.note(header ? "file header damaged mid-batch" : "table page damaged mid-batch");
    if (!wait_until([&] { return r.sb.applog().find("database rollback") != std::string::npos; }, 8000))
        r.fail("no rollback after the damage");
    if (!header) r.committed.pop_back();  // the probe row sits on the damaged page
    r.unreadable = header;
    if (!p.running()) r.fail("service ended");
    r.stop_and_check(p);
    if (header) {
        // The service never writes over a file it cannot read: with its
        // header put back, everything committed is there.
        r.after_restart = [&r, d] {
            d.undo();
            r.unreadable = false;
            r.check_settings_and_log();
            r.note("header repaired by hand");
        };
    }
}

void shell_failing(Run& r, bool at_startup)
{
    if (at_startup) r.kvtsim({"fault", "shell", "on"});
    SimProcess p(r.sb.root());
    if (!p.wait_started(30000)) return r.fail("start-up");
    if (!at_startup) r.kvtsim({"fault", "shell", "on"});
    const size_t journaled = r.sb.journal().size();
    // Renamed probes: each name change moves log files through the shell.
    for (int n = 1; n <= 4; ++n) r.commit_one(n, "shell-" + std::to_string(n));
    // A remote syslog: saved, then the daemon restarted through the shell.
    const std::string syslog_sql = "SELECT syslog_ip||':'||syslog_port FROM webapp_systemlog WHERE id=1";
    r.send("55,1,127.0.0.1,5514,");
    if (r.wait_committed(syslog_sql, "127.0.0.1:5514", 5000)) r.committed.push_back({syslog_sql, "127.0.0.1:5514"});
    else r.fail("syslog setting not saved");
    if (!r.sb.journal_has("systemctl restart busybox-syslog")) r.fail("no shell command met the fault");
    r.note(std::to_string(r.sb.journal().size() - journaled) + " commands failed meanwhile");
    if (!p.running()) r.fail("service ended");
    r.stop_and_check(p);
    r.kvtsim({"fault", "shell", "off"});
}

}  // namespace

unsigned seed()
{
    static const unsigned s = [] {
        const char* e = std::getenv("KVT_FAULT_SEED");
        unsigned v = e && *e ? static_cast<unsigned>(std::strtoul(e, nullptr, 10)) : std::random_device{}();
        std::printf("fault seed %u (KVT_FAULT_SEED=%u repeats these points)\n", v, v);
        std::fflush(stdout);
        return v;
    }();
    return s;
}

// In the order of the enumerations.
const char* fault_name(Fault f)
{
    static const char* const names[] = {"SIGTERM", "database locked", "database corrupt", "shell failing"};
    return names[static_cast<int>(f)];
}

const char* point_name(Point p)
{
    static const char* const names[] = {"start-up", "start-up, released", "start-up + SIGTERM", "save batch",
                                        "save batch, 1.5 s", "save batch, 5 s", "save batch + SIGTERM",
                                        "save batch, header"};
    return names[static_cast<int>(p)];
}

Outcome run(const Row& row, bool restart)
{
    seed();
    Run r(row);
    switch (row.fault) {
    case Fault::sigterm:
        if (row.point == Point::startup) sigterm_startup(r);
        else sigterm_batch(r);
        break;
    case Fault::locked:
        if (row.point == Point::startup_then_release) locked_startup(r, false);
        else if (row.point == Point::startup_sigterm) locked_startup(r, true);
        else if (row.point == Point::batch_sigterm) locked_batch(r, 0, true);
        else locked_batch(r, row.point == Point::batch_short ? 1500 : 5000, false);
        break;
    case Fault::corrupt:
        if (row.point == Point::startup) corrupt_startup(r);
        else corrupt_batch(r, row.point == Point::batch_header);
        break;
    case Fault::shell: shell_failing(r, row.point == Point::startup); break;
    }
    // A scenario that could not start the service has nothing to restart.
    if (restart && r.out.text.find("FAILED: start-up") == std::string::npos) r.restart();
    if (r.after_restart) r.after_restart();
    return r.out;
}

std::string row_name(const Row& row)
{
    std::string n = std::string(fault_name(row.fault)) + "_" + point_name(row.point) + "_" + std::to_string(row.draw);
    for (char& c : n)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return n;
}

void print_row(const Row& row, const Outcome& o)
{
    std::printf("fault matrix| %s | %s | %s | %s\n", fault_name(row.fault), point_name(row.point),
                o.ok ? "ok" : "FAILED", o.text.c_str());
    std::fflush(stdout);
}

}  // namespace faults
