// Figures of the command channel and the settings writer: from msgsnd to
// the committed row (seen by a connection of its own), for single commands
// and for a burst of 1000. Target: a 1000-command burst committed within 2 s.
#include <sqlite3.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "command.h"
#include "common.h"
#include "sandbox.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

class Reader {
public:
    explicit Reader(const std::string& path) { sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr); }
    ~Reader() { sqlite3_close(db_); }
    std::string value(const std::string& sql)
    {
        std::string out;
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW) {
            const unsigned char* t = sqlite3_column_text(st, 0);
            out = t ? reinterpret_cast<const char*>(t) : "";
        }
        sqlite3_finalize(st);
        return out;
    }

private:
    sqlite3* db_ = nullptr;
};

bool send(int qid, const std::string& text)
{
    struct {
        long type;
        char text[MSG_TEXT_MAX];
    } m;
    m.type = 1;
    std::memcpy(m.text, text.c_str(), text.size() + 1);
    return msgsnd(qid, &m, text.size() + 1, 0) == 0;
}

bool wait_value(Reader& r, const std::string& sql, const std::string& want, double timeout_ms)
{
    auto t0 = Clock::now();
    while (ms_since(t0) < timeout_ms) {
        if (r.value(sql) == want) return true;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return false;
}

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * (v.size() - 1))];
}

std::string probe_command(int probe, const std::string& name)
{
    return "15," + std::to_string(probe) + "," + name +
           ",1,28FF,2147483647,2147483647,3000,2900,-2147483648,-2147483648,-2147483648,-2147483648,0,0,";
}

}  // namespace

int main()
{
    // The figures keep the original standard output; the service's console
    // lines, which would swamp them, go nowhere.
    std::FILE* out = fdopen(dup(STDOUT_FILENO), "w");
    if (!out || !std::freopen("/dev/null", "w", stdout)) return 1;

    TestSandbox sb;
    monitor = new MONITOR_TABLE_CLASS();
    if (mmap_open() != 0 || open_db() != 0) {
        std::fprintf(out, "cmd_bench: sandbox %s not usable (mmap_open/open_db)\n", sb.root().c_str());
        return 1;
    }
    monitor->initializeData();
    init_structs();
    int qid = msgget(ftok(sb.path("/msgq.key").c_str(), 'X'), IPC_CREAT | 0666);
    if (qid < 0) {
        std::fprintf(out, "cmd_bench: msgget on %s failed\n", sb.path("/msgq.key").c_str());
        return 1;
    }
    std::thread mq([] { messagequeue_thread(nullptr); });
    std::thread ws([] { dbsave_thread(nullptr); });
    Reader reader(sb.path("/opt/KVT7400/db.sqlite3"));

    // Single commands, one at a time.
    constexpr int SINGLE = 100;
    std::vector<double> lat;
    int lost = 0;
    for (int i = 0; i < SINGLE; ++i) {
        std::string v = std::to_string(100 + i);
        auto t0 = Clock::now();
        send(qid, "29,1," + v + ",");
        if (wait_value(reader, "SELECT cycle_minutes FROM webapp_smartmesh_cycle WHERE id=1", v, 5000))
            lat.push_back(ms_since(t0));
        else
            ++lost;
    }

    // A burst: 1000 probe settings sent back to back.
    constexpr int BURST = 1000;
    long batches_before = dbsave_batch_count();
    auto t0 = Clock::now();
    for (int k = 0; k < BURST; ++k) send(qid, probe_command(k % 128 + 1, "P" + std::to_string(k)));
    double sent_ms = ms_since(t0);
    int last_probe = (BURST - 1) % 128 + 1;
    bool done = wait_value(reader,
                           "SELECT name FROM webapp_wire_temp WHERE id=" + std::to_string(last_probe),
                           "P" + std::to_string(BURST - 1), 30000);
    double burst_ms = ms_since(t0);
    long batches = dbsave_batch_count() - batches_before;

    stop_running();
    mq.join();
    ws.join();
    msgctl(qid, IPC_RMID, nullptr);
    close_db();

    std::fprintf(out, "command channel: msgsnd -> committed row\n");
    if (!lat.empty())
        std::fprintf(out, "  single commands (%zu): p50 %.1f ms  p99 %.1f ms  max %.1f ms%s\n", lat.size(),
                     percentile(lat, 0.5), percentile(lat, 0.99), percentile(lat, 1.0),
                     lost ? "  (some never committed)" : "");
    std::fprintf(out, "  burst of %d: %s in %.0f ms (sending took %.0f ms), %.0f commands/s, %ld transactions\n", BURST,
                 done ? "committed" : "NOT committed", burst_ms, sent_ms, BURST / (burst_ms / 1000.0), batches);
    std::fprintf(out, "  target: burst committed within 2000 ms: %s\n", done && burst_ms <= 2000 ? "met" : "missed");
    std::fclose(out);
    return 0;
}
