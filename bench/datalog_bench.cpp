// Figures of the data logs. (1) Bytes written per day per kind with every
// channel logged at the factory period, built with the service's own line
// rules, beside the log-storage estimate the settings writer derives the
// retention from. (2) CPU used by all log threads together over 10
// simulated minutes of the simulator under libfaketime (ten times as fast),
// every channel logged and a line every tick. Prints figures; judges nothing.
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "command.h"
#include "common.h"
#include "datalog.h"
#include "sandbox.h"

using namespace DATALOG;

namespace {

constexpr int PERIOD = 60;  // factory period of every kind, in ticks
constexpr int SIM_SECONDS = 600;
constexpr int SPEED = 10;

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every channel logged under a factory-like name, reading 23.45 and normal.
void every_channel_logged(MONITOR_TABLE::Sensor_condition& live)
{
    auto& ss = sensor_settings;
    for (int i = 0; i < 8; ++i) copy_text(ss.analog[i].name, "AI" + std::to_string(i + 1)), ss.analog[i].log = true;
    for (int i = 0; i < 128; ++i)
        copy_text(ss.onewire_temperature[i].name, "Temp" + std::to_string(i + 1)), ss.onewire_temperature[i].log = true;
    for (int i = 0; i < 16; ++i)
        copy_text(ss.onewire_humidity[i].name, "Humid" + std::to_string(i + 1)), ss.onewire_humidity[i].log = true;
    for (int i = 0; i < 100; ++i)
        copy_text(ss.kvt_nx40[i].name, "NX40_" + std::to_string(i + 1)), ss.kvt_nx40[i].log = true;
    const MONITOR_TABLE::SensorElement v{2345, 1};
    for (auto& e : live.analog) e = v;
    for (auto& e : live.onewire_temperature) e = v;
    for (auto& e : live.onewire_humidity) e = v;
    for (auto& e : live.kvt_nx40) e.sensor_temperature = e.sensor_battery = v;
    for (int k = 0; k < 14; ++k) admin_settings.sensor_log_cycle[k].cycle_minutes = PERIOD;
}

void day_figures()
{
    static MONITOR_TABLE::Sensor_condition live{};
    every_channel_logged(live);
    std::tm t{};
    t.tm_year = 126, t.tm_mon = 11, t.tm_mday = 5;
    const int rows = 86400 / PERIOD;
    // Group of the estimate of each started kind: analog, 1-Wire temperature,
    // 1-Wire humidity, NX40.
    std::map<int, double> measured;
    std::printf("bytes per day per kind, every channel logged, a line every %d ticks (%d lines)\n", PERIOD, rows);
    std::printf("  %-16s %12s %12s %12s\n", "kind", "value log", "trend log", "filter log");
    for (const Kind& k : KINDS) {
        if (!k.started) continue;
        double value = 3 + sensor_header(k, sensor_settings).size();
        double trend = 3 + trend_header(k, sensor_settings).size();
        double filter = 3 + filter_header(k, sensor_settings).size();
        TrendWindow w;
        int v[MAX_CHANNELS];
        for (int& x : v) x = 2345;
        for (int s = 0; s < TREND_WINDOW; ++s) w.add(v, k.count);
        for (int r = 0; r < rows; ++r) {
            t.tm_hour = r * PERIOD / 3600, t.tm_min = r * PERIOD / 60 % 60, t.tm_sec = r * PERIOD % 60;
            value += sensor_line(k, t, sensor_settings, live).size();
            filter += filter_line(k, t, sensor_data).size();
            if (r % (TREND_WINDOW / PERIOD) == 0) trend += trend_line(k, t, sensor_settings, w).size();
        }
        std::printf("  %-16s %12.0f %12.0f %12.0f\n", k.word, value, trend, filter);
        measured[k.source] += value;
    }
    std::printf("  %-16s %12zu   (one line a day into the monthly file)\n", "MeshBat",
                bat_log_line(t, live).size());
    for (const ExtraGroup& g : EXTRA_GROUPS) {
        double bytes = 0;
        for (int m = 0; m < 1440; ++m) t.tm_hour = m / 60, t.tm_min = m % 60, bytes += extra_line(g, t, live).size();
        std::printf("  extra %-10s %12.0f   (RAM only, a line a minute)\n", g.word, bytes);
    }

    // The estimate's row and header sizes of the value logs.
    struct Group {
        const char* name;
        int source, n, row_base, header;
    } groups[] = {{"analog", SRC_AI, 8, 45, 264},
                  {"1-Wire temperature", SRC_WIRE_T, 128, 405, 4224},
                  {"1-Wire humidity", SRC_WIRE_H, 16, 69, 528},
                  {"NX40", SRC_NX40, 100, 321, 3300}};
    std::printf("value logs per day against the log-storage estimate\n");
    for (const Group& g : groups) {
        const double estimate = static_cast<double>(8 * g.n + g.row_base) * rows + g.header;
        std::printf("  %-20s written %10.0f   estimate %10.0f   ratio %.2f\n", g.name, measured[g.source], estimate,
                    measured[g.source] / estimate);
    }
    LogStorageEstimate e = estimate_log_storage(sensor_settings, admin_settings);
    std::printf("  retention from the estimate: %d months\n", e.retention);
}

std::string faketime_lib()
{
    for (const char* p :
         {"/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1",
          "/usr/lib/aarch64-linux-gnu/faketime/libfaketimeMT.so.1", "/usr/lib/faketime/libfaketimeMT.so.1"})
        if (access(p, R_OK) == 0) return p;
    return "";
}

long thread_ticks(pid_t pid, long tid)
{
    std::string s = read_file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/stat");
    size_t p = s.rfind(") ");
    if (p == std::string::npos) return 0;
    std::istringstream in(s.substr(p + 2));
    std::string f;
    long utime = 0, stime = 0;
    for (int k = 3; k <= 15 && in >> f; ++k) {
        if (k == 14) utime = std::atol(f.c_str());
        if (k == 15) stime = std::atol(f.c_str());
    }
    return utime + stime;
}

// The data logs' starters, writers and copiers (not the status log).
bool is_log_thread(const std::string& name)
{
    return name != "state_log_thread" &&
           (name.find("_log_thread") != std::string::npos || name.find("logfile_thread") != std::string::npos);
}

int cpu_figures()
{
    const std::string sim = std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/../kvt7400sim";
    const std::string lib = faketime_lib();
    if (access(sim.c_str(), X_OK) != 0 || lib.empty()) {
        std::printf("CPU figures skipped: %s or libfaketime not found\n", sim.c_str());
        return 0;
    }
    TestSandbox sb;
    sqlite3* db = nullptr;
    const bool ok =
        sqlite3_open(sb.path("/opt/KVT7400/db.sqlite3").c_str(), &db) == SQLITE_OK &&
        sqlite3_exec(db,
                     "UPDATE webapp_ai SET log=1; UPDATE webapp_wire_temp SET log=1;"
                     "UPDATE webapp_wire_humid SET log=1;"
                     "UPDATE webapp_nx40 SET log=1; UPDATE webapp_vlxa SET t_log=1, h_log=1;"
                     "UPDATE webapp_sensor_log_cycle SET cycle_minutes=1 WHERE id<=8;",
                     nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    if (!ok) {
        std::printf("CPU figures skipped: no configuration database in %s\n", sb.root().c_str());
        return 1;
    }
    const std::string log = sb.root() + "/sim/console.log";
    std::vector<std::string> env = {"KVT_ROOT=" + sb.root(), "LD_PRELOAD=" + lib,
                                    "FAKETIME=@2026-12-05 09:59:50 x" + std::to_string(SPEED),
                                    "FAKETIME_DONT_FAKE_MONOTONIC=1"};
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        if (!freopen(log.c_str(), "w", stdout) || dup2(fileno(stdout), 2) < 0) _exit(126);
        char* argv[] = {const_cast<char*>(sim.c_str()), nullptr};
        execve(sim.c_str(), argv, envp.data());
        _exit(127);
    }
    // The writers are running once the extra logs have started theirs.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (read_file(log).find("extra_NX40_log_thread tid") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::map<long, std::string> names;
    std::istringstream lines(read_file(log));
    for (std::string l; std::getline(lines, l);) {
        size_t p = l.find(" tid  : ");
        if (p != std::string::npos && is_log_thread(l.substr(0, p)))
            names[std::atol(l.c_str() + p + 8)] = l.substr(0, p);
    }
    std::map<long, long> start;
    for (auto& [tid, n] : names) start[tid] = thread_ticks(pid, tid);
    std::this_thread::sleep_for(std::chrono::seconds(SIM_SECONDS / SPEED));
    long total = 0;
    std::string busiest;
    long most = -1;
    for (auto& [tid, n] : names) {
        const long d = thread_ticks(pid, tid) - start[tid];
        total += d;
        if (d > most) most = d, busiest = n;
    }
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    const double hz = static_cast<double>(sysconf(_SC_CLK_TCK));
    const size_t lines_written =
        lines_of(read_file(sb.root() + "/tmp/sensor_log/1WireTemp1/2026/12/20261205_1WireTemp1.csv")).size();
    std::printf("CPU of all %zu log threads over %d simulated minutes (x%d, every channel logged, a line every tick)\n",
                names.size(), SIM_SECONDS / 60, SPEED);
    std::printf("  %.2f s = %.3f %% of one core over the simulated time; busiest %s %.2f s; 1WireTemp1 lines %zu\n",
                total / hz, 100.0 * total / hz / SIM_SECONDS, busiest.c_str(), most / hz, lines_written);
    return 0;
}

}  // namespace

int main()
{
    day_figures();
    return cpu_figures();
}
