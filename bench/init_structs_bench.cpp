// Time of one full settings load (init_structs) over the factory database,
// and over one whose every text column is at full length.
// Target on the appliance-sized machine: under 20 ms per load.
#include <fcntl.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "common.h"
#include "platform.h"
#include "sim_board.h"

#ifndef KVT_DB_DIR
#define KVT_DB_DIR ""
#endif

namespace {

// Every text column of every configuration table at 127 characters, the
// largest text field the records hold.
void fill_texts(const std::string& path)
{
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    std::vector<std::pair<std::string, std::string>> cols;
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT m.name, p.name FROM sqlite_master m, pragma_table_info(m.name) p "
                       "WHERE m.type='table' AND m.name LIKE 'webapp_%' AND upper(p.type)='TEXT'",
                       -1, &st, nullptr);
    while (sqlite3_step(st) == SQLITE_ROW)
        cols.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)),
                          reinterpret_cast<const char*>(sqlite3_column_text(st, 1)));
    sqlite3_finalize(st);
    std::string text(127, 'x');
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (const auto& [table, col] : cols)
        sqlite3_exec(db, ("UPDATE " + table + " SET " + col + "='" + text + "'").c_str(), nullptr, nullptr,
                     nullptr);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    std::printf("text columns at full length: %zu\n", cols.size());
}

void measure(const char* label, int runs)
{
    open_db();
    std::vector<double> ms;
    // The load's console line goes to /dev/null, away from the figures.
    std::fflush(stdout);
    int saved = dup(1);
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    for (int i = 0; i < runs + 3; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        init_structs();
        auto t1 = std::chrono::steady_clock::now();
        if (i >= 3) ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(null_fd);
    close_db();
    std::sort(ms.begin(), ms.end());
    double sum = 0;
    for (double v : ms) sum += v;
    std::printf(
        "init_structs %-22s runs %3d  mean %7.3f ms  median %7.3f ms  max %7.3f ms  (target < 20 ms)\n",
        label, runs, sum / ms.size(), ms[ms.size() / 2], ms.back());
}

}  // namespace

int main(int argc, char** argv)
{
    int runs = argc > 1 ? std::atoi(argv[1]) : 50;
    if (runs < 1) runs = 1;
    std::string factory = std::string(KVT_DB_DIR) + "/db.sqlite3";
    if (access(factory.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "factory database not built: %s\n", factory.c_str());
        return 1;
    }
    char tmpl[] = "/tmp/kvt-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    std::string root = tmpl, err;
    if (!simboard::sandbox_init(root, factory, err)) {
        std::fprintf(stderr, "sandbox: %s\n", err.c_str());
        return 1;
    }
    set_sandbox_root(root);
    control = 1;

    measure("factory database", runs);
    fill_texts(root + "/opt/KVT7400/db.sqlite3");
    measure("full-length texts", runs);

    std::string cleanup = "rm -rf '" + root + "'";
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
