// Application log and the small helpers every activity uses.
#include <sys/stat.h>
#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "common.h"
#include "platform.h"

namespace {

std::mutex applog_mutex;  // size test, rotation and append are one step

constexpr long APPLOG_ROTATE_SIZE = 99999;  // rotate once the file exceeds this

}  // namespace

int applog(const std::string& message)
{
    std::lock_guard<std::mutex> lock(applog_mutex);
    mkdir(kvt_path("/log/app_log").c_str(), 0777);
    if (get_file_size("/log/app_log/applog1.txt") > APPLOG_ROTATE_SIZE) {
        std::remove(kvt_path("/log/app_log/applog8.txt").c_str());
        for (int g = 7; g >= 1; --g) {
            std::string from = "/log/app_log/applog" + std::to_string(g) + ".txt";
            std::string to = "/log/app_log/applog" + std::to_string(g + 1) + ".txt";
            std::rename(kvt_path(from).c_str(), kvt_path(to).c_str());
        }
    }
    FILE* f = std::fopen(kvt_path("/log/app_log/applog1.txt").c_str(), "a");
    if (!f) return 0;
    time_t now = time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S", &lt);
    std::string line = std::string("<") + stamp + "> " + message + "\n";
    std::fwrite(line.data(), 1, line.size(), f);
    std::fclose(f);
    return 0;
}

long get_file_size(const std::string& path)
{
    FILE* f = std::fopen(kvt_path(path).c_str(), "rb");
    if (!f) return -1;
    long size = 0;
    char buf[8192];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) size += static_cast<long>(n);
    bool failed = std::ferror(f);
    std::fclose(f);
    return failed ? -1 : size;
}

int exist_file(const std::string& path)
{
    std::string real = kvt_path(path);
    for (int attempt = 0; attempt < 3; ++attempt) {
        struct stat st;
        if (stat(real.c_str(), &st) == 0 && st.st_size > 0) return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 1;
}

long timer_remaining_us(int tm_sec, long nsec)
{
    return static_cast<long>((60 - tm_sec) * 1000000.0 - nsec * 0.001);
}

long timer_slices(long remaining_us)
{
    if (remaining_us < -99999) return 0;
    return static_cast<long>(std::floor(remaining_us / 100000.0)) + 1;
}

int timer()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm lt;
    localtime_r(&ts.tv_sec, &lt);
    long slices = timer_slices(timer_remaining_us(lt.tm_sec, ts.tv_nsec));
    for (long i = 0; i < slices; ++i) {
        if (control == 0) return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return 0;
}

int check_ban_char(const char* text)
{
    // The percent sign stands twice, as in the web UI's list.
    static const char BANNED[] = {'!', '"', '$', '%', '%', '&', '\'', '*', ',',
                                  ':', ';', '=', '?', '\\', '^', '`', '|', '~'};
    if (!text) return 0;
    for (char c : BANNED)
        if (std::strchr(text, c)) return 1;
    return 0;
}

int reboot()
{
    control = 0;
    rebootflg = 1;
    applog("再起動します");
    return 0;
}
