// Figures for the service's shared core: the size of the in-memory records,
// and the cost of the calls every thread makes (application log, queues,
// status-log ring). Prints figures; judges nothing.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "common.h"
#include "sandbox.h"

namespace {

using Clock = std::chrono::steady_clock;

double us_since(Clock::time_point t0)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

}  // namespace

int main()
{
    std::printf("== records (static storage)\n");
    std::printf("sensor_settings       %9zu bytes\n", sizeof sensor_settings);
    std::printf("admin_settings        %9zu bytes\n", sizeof admin_settings);
    std::printf("sensor_data           %9zu bytes   (per-minute rings, heads only)\n", sizeof sensor_data);
    std::printf("  one day of counts   %9zu bytes   (per list, allocated at its first non-zero count)\n",
                SETTINGS_TABLE::MinuteList::CAPACITY * sizeof(uint16_t));
    std::printf("report_struct         %9zu bytes\n", sizeof report_struct);
    std::printf("shared tables         %9zu bytes   (four /tmp files)\n",
                sizeof(MONITOR_TABLE::RequestFlg) + sizeof(MONITOR_TABLE::Sensor_condition) +
                    sizeof(MONITOR_TABLE::Status_Log) + sizeof(MONITOR_TABLE::Trend_per));

    TestSandbox sb;

    std::printf("== application log\n");
    {
        constexpr int N = 2000;
        auto t0 = Clock::now();
        for (int i = 0; i < N; ++i) applog("bench line " + std::to_string(i));
        double us = us_since(t0);
        std::printf("applog, one thread    %9.1f us/call  (%d calls, log rotating at 100000 bytes)\n", us / N, N);
        t0 = Clock::now();
        std::thread ts[4];
        for (auto& t : ts)
            t = std::thread([] {
                for (int i = 0; i < N / 4; ++i) applog("bench line from a thread");
            });
        for (auto& t : ts) t.join();
        us = us_since(t0);
        std::printf("applog, four threads  %9.1f us/call\n", us / N);
    }

    std::printf("== queues\n");
    {
        constexpr int N = 200000;
        TSQueue<std::string> q;
        auto t0 = Clock::now();
        std::thread producer([&] {
            for (int i = 0; i < N; ++i) q.push_n(i, 999);
        });
        for (int i = 0; i < N; ++i) {
            q.front();
            q.pop();
        }
        producer.join();
        std::printf("push_n + front + pop  %9.3f us/message (one producer, one consumer)\n", us_since(t0) / N);
    }

    std::printf("== status-log ring\n");
    {
        static MONITOR_TABLE::ALL_Status_Log log;
        constexpr int N = 1000000;
        auto t0 = Clock::now();
        for (int i = 0; i < N; ++i)
            MONITOR_TABLE::ring_append(log.r, log.w, log.all, MONITOR_TABLE::ALL_LOG_NUM, {i, 3, 1, 5, i});
        std::printf("ring_append           %9.4f us/entry  (r=%d w=%d after %d)\n", us_since(t0) / N, log.r, log.w, N);
    }
    return 0;
}
