// Figures of the traps: a digital input edge on the simulated board to the
// trap received by net-snmp's snmptrapd, over 100 edges of input 1 (no
// persistence time). Each edge is made at a different point of the
// monitor's 100 ms sampling period. Target p99 under 250 ms. Prints figures;
// judges nothing.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sandbox.h"
#include "snmp_wire.h"
#include "trap_receiver.h"

using Clock = std::chrono::steady_clock;

namespace {

constexpr int EDGES = 100;
constexpr int DI1_CHIP = 2, DI1_LINE = 35;

std::string dir_of_exe()
{
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string p(buf, static_cast<size_t>(n));
    return p.substr(0, p.rfind('/'));
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool sql(const std::string& db_path, const char* text)
{
    sqlite3* db = nullptr;
    bool ok = sqlite3_open(db_path.c_str(), &db) == SQLITE_OK &&
              sqlite3_exec(db, text, nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

pid_t start_sim(const std::string& sim, const std::string& root, int trap_port, int snmp_port)
{
    std::vector<std::string> env = {"KVT_ROOT=" + root, "KVT_TRAP_PORT=" + std::to_string(trap_port),
                                    "KVT_SNMP_PORT=" + std::to_string(snmp_port)};
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string log = root + "/sim/console.log";
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        char* argv[] = {const_cast<char*>(sim.c_str()), nullptr};
        execve(sim.c_str(), argv, envp.data());
        _exit(127);
    }
    return pid;
}

// Traps carrying the complement trap of input 1 at `level` (3.3.6 on, 3.3.5 off).
size_t complement_count(const TrapReceiver& rx, int level)
{
    const std::string oid = std::string("1.3.6.1.4.1.58213.22.3.3.") + (level ? "6" : "5");
    size_t n = 0;
    for (const auto& t : rx.traps())
        if (t.trap_oid() == oid) ++n;
    return n;
}

double pct(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

}  // namespace

int main()
{
    const std::string sim = dir_of_exe() + "/../kvt7400sim";
    if (access(sim.c_str(), X_OK) != 0 || access("/usr/sbin/snmptrapd", X_OK) != 0) {
        std::printf("trap figures skipped: %s or /usr/sbin/snmptrapd not found (tools/install-deps.sh installs "
                    "snmptrapd)\n", sim.c_str());
        return 0;
    }
    TestSandbox sb;
    if (!sql(sb.path("/opt/KVT7400/db.sqlite3"),
             "UPDATE webapp_snmp_trap_send SET snmp_trap_send_sendto='';"
             "UPDATE webapp_snmp_trap_send SET snmp_trap_send_sendto='127.0.0.1', snmp_trap_send_community='public',"
             " snmp_trap_send_version=1, snmp_trap_send_portoid=1 WHERE id=1;"
             "UPDATE webapp_di SET time=0, enable=1, errortext_id=1 WHERE id=1;")) {
        std::printf("trap figures skipped: no configuration database in %s\n", sb.root().c_str());
        return 1;
    }
    const std::string dir = sb.root() + "/trapd";
    mkdir(dir.c_str(), 0755);
    TrapReceiver rx(dir, {"public"});
    if (!rx.ready(10000)) {
        std::printf("trap figures skipped: snmptrapd did not start:\n%s\n", rx.log().c_str());
        return 1;
    }
    pid_t pid = start_sim(sim, sb.root(), rx.port(), snmp_wire::free_udp_port());
    auto started = [&] {
        return read_file(sb.root() + "/sim/console.log").find("sensor_state_thread tid") != std::string::npos &&
               sb.gpio(2, 67) == 1;
    };
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!started() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    int rc = 0;
    if (!started()) {
        std::printf("trap figures skipped: kvt7400sim did not start (see %s/sim/console.log)\n", sb.root().c_str());
        rc = 1;
    } else {
        std::vector<double> ms;
        int lost = 0;
        for (int i = 0; i < EDGES; ++i) {
            const int level = (i + 1) % 2;
            const size_t before = complement_count(rx, level);
            // Spread the edges over the sampling period: 13 ms steps.
            std::this_thread::sleep_for(std::chrono::milliseconds(20 + (i * 13) % 100));
            const auto t0 = Clock::now();
            sb.set_gpio(DI1_CHIP, DI1_LINE, level);
            const std::string log = rx.log_path();
            bool got = false;
            off_t seen = -1;
            while (Clock::now() - t0 < std::chrono::seconds(2)) {
                // The log is parsed only when it has grown.
                struct stat st{};
                if (stat(log.c_str(), &st) == 0 && st.st_size != seen && (seen = st.st_size, true) &&
                    complement_count(rx, level) > before) {
                    got = true;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
            if (got) ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            else ++lost;
        }
        if (ms.empty()) {
            std::printf("trap figures: no trap arrived\n");
            rc = 1;
        } else {
            double sum = 0;
            for (double v : ms) sum += v;
            std::printf("digital input edge to trap at snmptrapd (SNMPv2c, loopback), %zu edges, input time 0\n",
                        ms.size());
            std::printf("  p50 %6.1f ms   p99 %6.1f ms   max %6.1f ms   mean %6.1f ms   lost %d   "
                        "(target: p99 under 250 ms; the monitor samples every 100 ms)\n",
                        pct(ms, 50), pct(ms, 99), pct(ms, 100), sum / static_cast<double>(ms.size()), lost);
        }
    }
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    return rc;
}
