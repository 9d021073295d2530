// Flash wear of the hourly log copies: the filter logs of the factory
// settings (every kind, a line a minute) written for three simulated days
// on explicit times, the copier's pass every hour. Prints the bytes the
// copier wrote below /log per day against what /log holds, beside what
// copying the whole daily files every hour would have written. Judges
// nothing.
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "datalog.h"
#include "platform.h"
#include "sandbox.h"

using namespace DATALOG;

namespace {

constexpr int DAYS = 3;

long long size_of(const std::string& path)
{
    struct stat st;
    return ::stat(kvt_path(path).c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

std::tm local(std::time_t t)
{
    std::tm out{};
    localtime_r(&t, &out);
    return out;
}

}  // namespace

int main()
{
    TestSandbox sb;
    for (const char* area : {"/tmp", "/log"}) {
        ::mkdir(sb.path(std::string(area) + "/filter_log").c_str(), 0777);
        for (const Kind& k : KINDS)
            if (k.started) ::mkdir(sb.path(std::string(area) + "/filter_log/" + k.word).c_str(), 0777);
    }
    std::tm start{};
    start.tm_year = 126, start.tm_mon = 11, start.tm_mday = 5, start.tm_isdst = -1;
    const std::time_t t_start = std::mktime(&start);

    unsigned long long whole = 0;  // what a whole copy of every file would have written
    const unsigned long long before = copied_to_log_bytes();
    for (std::time_t t = t_start + 60; t <= t_start + DAYS * 86400; t += 60) {
        const std::tm now = local(t);
        for (const Kind& k : KINDS)
            if (k.started) filter_log_write(k, now);
        if (now.tm_min != 0) continue;
        const std::tm t0 = local(t - 3600);
        const bool day_changed = t0.tm_mday != now.tm_mday;
        for (const Kind& k : KINDS)
            if (k.started) whole += static_cast<unsigned long long>(size_of(day_file(FILTER, "/tmp", k, day_changed ? t0 : now)));
        copier_pass(FILTER, t0, now);
    }
    const unsigned long long written = copied_to_log_bytes() - before;
    long long held = 0;
    for (int d = 0; d < DAYS; ++d) {
        const std::tm day = local(t_start + d * 86400 + 3600);
        for (const Kind& k : KINDS)
            if (k.started) held += size_of(day_file(FILTER, "/log", k, day));
    }
    std::printf("filter logs of the factory settings, %d simulated days, hourly copies to /log\n", DAYS);
    std::printf("  /log holds               %10.1f kB a day\n", held / 1024.0 / DAYS);
    std::printf("  written below /log       %10.1f kB a day   = %.2f x what /log holds   (target: at most 1.2)\n",
                written / 1024.0 / DAYS, held ? static_cast<double>(written) / held : 0.0);
    std::printf("  whole copies would write %10.1f kB a day   = %.2f x\n", whole / 1024.0 / DAYS,
                held ? static_cast<double>(whole) / held : 0.0);
    return 0;
}
