// Figures of the event pipeline: one judgement pass over the 368 channels
// judged every 100 ms, one minute step over their lists, and (when the
// simulator is at hand) idle CPU and memory of the whole service with every
// sensor enabled.
//
// usage: events_bench [--no-sim] [--sim PATH_TO_kvt7400sim] [--db FACTORY_DB]
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common.h"
#include "events.h"
#include "sim_board.h"

using Clock = std::chrono::steady_clock;

namespace {

MONITOR_TABLE::RequestFlg flg;
MONITOR_TABLE::Sensor_condition cond;
MONITOR_TABLE::Status_Log slog;
MONITOR_TABLE::Trend_per trend;

template <typename S>
void thresholds(S& s)
{
    s.enable = true;
    s.alert_max_val = 3000;
    s.alert_max_clear = 2900;
    s.caution_max_val = 2500;
    s.caution_max_clear = 2400;
    s.caution_min_val = 1000;
    s.caution_min_clear = 1100;
    s.alert_min_val = 500;
    s.alert_min_clear = 600;
}

void setup(bool trend_all, int minutes)
{
    static MONITOR_TABLE_CLASS m;
    m.requestflg = &flg;
    m.sensor_condition = &cond;
    m.status_log = &slog;
    m.trend_per = &trend;
    monitor = &m;
    std::memset(&sensor_settings, 0, sizeof sensor_settings);
    set_sensor_data();
    for (auto& d : sensor_data.digitalI) d.alert_max_ls.fill_zero(1440);
    auto& ss = sensor_settings;
    ss.trend[1] = {true, minutes, 50, 50, 50, 50, 50, false};
    const int tid = trend_all ? 1 : 0;
    for (auto& d : ss.digitalI) d.enable = true, d.errortext_id = 3, d.trend_id = tid;
    for (auto& d : ss.digitalO) d.enable = true, d.errortext_id = 2;
    for (auto& a : ss.analog) thresholds(a), a.trend_id = tid, a.err_sampling = 3;
    for (auto& t : ss.onewire_temperature) thresholds(t), t.trend_id = tid;
    for (auto& t : ss.onewire_humidity) thresholds(t), t.trend_id = tid;
    for (auto& t : ss.kvt_nx40) thresholds(t), t.trend_id = tid;
    for (auto& v : ss.veloxa) {
        v.enable = true;
        v.t_alert_max_val = v.h_alert_max_val = 3000;
        v.t_alert_max_clear = v.h_alert_max_clear = 2900;
        v.t_caution_max_val = v.h_caution_max_val = 2500;
        v.t_caution_max_clear = v.h_caution_max_clear = 2400;
        v.t_caution_min_val = v.h_caution_min_val = 1000;
        v.t_caution_min_clear = v.h_caution_min_clear = 1100;
        v.t_alert_min_val = v.h_alert_min_val = 500;
        v.t_alert_min_clear = v.h_alert_min_clear = 600;
        v.t_trend_id = v.h_trend_id = tid;
    }
    // Values spread over every band so each judgement takes its own path.
    int k = 0;
    auto val = [&k] { return 300 + (k++ * 137) % 3000; };
    for (int i = 0; i < 16; ++i) cond.digitalio[i] = {i % 2, 0};
    for (auto& e : cond.analog) e = {val(), 0};
    for (auto& e : cond.onewire_temperature) e = {val(), 0};
    for (auto& e : cond.onewire_humidity) e = {val(), 0};
    for (auto& e : cond.veloxa) e.sensor_temperature = {val(), 0}, e.sensor_humidity = {val(), 0};
    for (auto& e : cond.kvt_nx40) e.sensor_temperature = {val(), 0};
}

const int JUDGED_KINDS[] = {1, 2, 3, 4, 5, 6, 8};

int judged_channels()
{
    int n = 0;
    for (int k : JUDGED_KINDS) n += kind_channels(k);
    return n;
}

struct Stat {
    double mean_us, max_us, p99_us;
};

template <typename F>
Stat measure(int rounds, F f)
{
    std::vector<double> us;
    us.reserve(rounds);
    for (int r = 0; r < rounds; ++r) {
        auto t0 = Clock::now();
        f();
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    std::sort(us.begin(), us.end());
    double sum = 0;
    for (double x : us) sum += x;
    return {sum / rounds, us.back(), us[static_cast<size_t>(rounds * 0.99)]};
}

void drain_state_log()
{
    while (!state_log.empty()) state_log.pop();
}

void bench_passes()
{
    const long long T = 1700000000;
    setup(false, 10);
    for (int k : JUDGED_KINDS) state_pass(k, T);  // first judgement: every channel changes
    drain_state_log();
    Stat pass = measure(2000, [&] {
        for (int k : JUDGED_KINDS) state_pass(k, T);
    });
    std::printf("judgement pass, %d channels:        mean %8.1f us  p99 %8.1f us  max %8.1f us  (target < 100 us)\n",
                judged_channels(), pass.mean_us, pass.p99_us, pass.max_us);

    setup(false, 10);
    Stat step = measure(200, [&] {
        for (int k : JUDGED_KINDS) state_minute_step(k, T);
    });
    std::printf("minute step, no trend channels:      mean %8.1f us  p99 %8.1f us  max %8.1f us  (target < 5000 us)\n",
                step.mean_us, step.p99_us, step.max_us);

    setup(true, 1440);
    Stat trend_step = measure(200, [&] {
        for (int k : JUDGED_KINDS) state_minute_step(k, T);
        drain_state_log();
    });
    std::printf("minute step, all trend, 1440 min:    mean %8.1f us  p99 %8.1f us  max %8.1f us  (target < 5000 us)\n",
                trend_step.mean_us, trend_step.p99_us, trend_step.max_us);
    monitor = nullptr;
}

// ---- the whole simulator --------------------------------------------------

std::string dir_of_exe()
{
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    buf[n] = 0;
    std::string p(buf);
    return p.substr(0, p.rfind('/'));
}

bool db_enable_all(const std::string& path)
{
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
    const char* sql =
        "UPDATE webapp_di SET enable=1; UPDATE webapp_do SET enable=1; UPDATE webapp_ai SET enable=1;"
        "UPDATE webapp_wire_temp SET enable=1; UPDATE webapp_wire_humid SET enable=1;"
        "UPDATE webapp_vlxa SET enable=1; UPDATE webapp_nx40 SET enable=1;";
    bool ok = sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

long long cpu_ticks(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(in)), {});
    size_t p = s.rfind(')');
    if (p == std::string::npos) return -1;
    // Fields after the command: state is field 3; utime 14, stime 15.
    std::vector<std::string> f;
    size_t i = p + 2;
    while (i < s.size()) {
        size_t j = s.find(' ', i);
        f.push_back(s.substr(i, j - i));
        if (j == std::string::npos) break;
        i = j + 1;
    }
    if (f.size() < 13) return -1;
    return std::atoll(f[11].c_str()) + std::atoll(f[12].c_str());
}

long rss_kb(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

bool file_has(const std::string& path, const std::string& text)
{
    std::ifstream in(path);
    std::string s((std::istreambuf_iterator<char>(in)), {});
    return s.find(text) != std::string::npos;
}

int bench_simulator(const std::string& sim, const std::string& factory_db)
{
    if (access(sim.c_str(), X_OK) != 0 || access(factory_db.c_str(), R_OK) != 0) {
        std::printf("simulator figures skipped: %s or %s not found\n", sim.c_str(), factory_db.c_str());
        return 0;
    }
    char tmpl[] = "/tmp/kvt-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    std::string root = tmpl, err;
    if (!simboard::sandbox_init(root, factory_db, err) || !db_enable_all(root + "/opt/KVT7400/db.sqlite3")) {
        std::printf("simulator figures skipped: sandbox %s: %s\n", root.c_str(), err.c_str());
        return 1;
    }
    const std::string console = root + "/sim/console.log";
    std::fflush(stdout);  // the child must not repeat buffered figures
    pid_t pid = fork();
    if (pid == 0) {
        FILE* out = std::freopen(console.c_str(), "w", stdout);
        (void)out;
        setenv("KVT_ROOT", root.c_str(), 1);
        execl(sim.c_str(), sim.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // The state threads start on the next whole minute after start-up.
    auto deadline = Clock::now() + std::chrono::seconds(100);
    while (Clock::now() < deadline && !file_has(console, "NX40B_sensor_state_thread tid"))
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    bool running = file_has(console, "NX40B_sensor_state_thread tid");
    if (running) {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const long hz = sysconf(_SC_CLK_TCK);
        long long c0 = cpu_ticks(pid);
        auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(20));
        long long c1 = cpu_ticks(pid);
        double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        double cpu_pct = 100.0 * static_cast<double>(c1 - c0) / static_cast<double>(hz) / wall;
        std::printf("simulator idle, every sensor enabled: CPU %5.2f %% of one core over %.0f s  RSS %ld kB  (target < 1 %%)\n",
                    cpu_pct, wall, rss_kb(pid));
    } else {
        std::printf("simulator figures skipped: state threads did not start (see %s)\n", console.c_str());
    }
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!std::getenv("KVT_KEEP_SANDBOX")) {
        std::string cmd = "rm -rf '" + root + "'";
        if (std::system(cmd.c_str()) != 0) std::printf("could not remove %s\n", root.c_str());
    }
    return running ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string dir = dir_of_exe();
    std::string sim = dir + "/../kvt7400sim";
#ifdef KVT_DB_DIR
    std::string db = std::string(KVT_DB_DIR) + "/db.sqlite3";
#else
    std::string db = dir + "/../db/db.sqlite3";
#endif
    bool with_sim = true;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--no-sim") with_sim = false;
        else if (a == "--sim" && i + 1 < argc) sim = argv[++i];
        else if (a == "--db" && i + 1 < argc) db = argv[++i];
        else {
            std::fprintf(stderr, "usage: events_bench [--no-sim] [--sim PATH] [--db FACTORY_DB]\n");
            return 2;
        }
    }
    bench_passes();
    return with_sim ? bench_simulator(sim, db) : 0;
}
