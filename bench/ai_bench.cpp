// Figures for the analog thread on the simulated board: the CPU it takes at
// its 40 ms period with all eight inputs enabled and every mail report
// collecting, and the cost of one pass. Prints figures; judges nothing.
#include <pthread.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "ai_thread.h"
#include "sandbox.h"
#include "sim_board.h"

namespace {

using Clock = std::chrono::steady_clock;

double thread_cpu_s(pthread_t th)
{
    clockid_t id;
    if (pthread_getcpuclockid(th, &id) != 0) return -1;
    timespec ts{};
    clock_gettime(id, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

}  // namespace

int main()
{
    const int seconds = std::getenv("AI_BENCH_SECONDS") ? std::atoi(std::getenv("AI_BENCH_SECONDS")) : 20;
    TestSandbox sb(false);
    fpga_open();
    monitor = new MONITOR_TABLE_CLASS();
    if (mmap_open() != 0) {
        std::printf("shared tables could not be mapped in %s\n", sb.root().c_str());
        return 1;
    }
    monitor->initializeData();
    for (auto& a : sensor_settings.analog) {
        a.enable = true;
        a.range = 0;
        a.input_min = 400, a.input_max = 2000, a.output_min = 0, a.output_max = 10000;
    }
    for (auto& r : admin_settings.mail_report) r.mailreport_enable = 1;
    simboard::Mapping m;
    std::string err;
    if (!simboard::board_map(sb.root(), m, err)) {
        std::printf("%s\n", err.c_str());
        return 1;
    }
    for (int ch = 0; ch < 8; ++ch) simboard::ai_set_source(m.hdr->analog, m.fpga, ch, simboard::AI_CURRENT, 12000000);

    std::printf("== analog thread (all 8 inputs enabled, 5 mail reports collecting)\n");
    {
        // The start (calibration, port setting: 0.3 s of waits) is left out.
        AiLoopState st;
        ai_loop_start(st);
        constexpr int N = 20000;
        auto t0 = Clock::now();
        for (int i = 0; i < N; ++i) ai_loop_pass(st);
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / N;
        std::printf("one pass              %9.2f us      (%d passes; poll, 8 conversions, means, statistics)\n", us,
                    N);
        std::printf("at 25 passes a second %9.4f %% of one core, from the pass cost alone\n", us * 25 / 1e4);
    }
    {
        pthread_t th;
        if (pthread_create(&th, nullptr, ai_thread_func, nullptr) != 0) {
            std::printf("pthread_create failed\n");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::seconds(2));  // past the start
        const double c0 = thread_cpu_s(th);
        auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double c1 = thread_cpu_s(th);
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        stop_running();
        pthread_join(th, nullptr);
        std::printf("thread CPU            %9.4f s in %.1f s = %.4f %% of one core   (target: under 0.2 %%)\n",
                    c1 - c0, wall, 100 * (c1 - c0) / wall);
        std::printf("live value input 1    %9d        (12 mA on 4-20 mA as 0-100.00)\n",
                    monitor->sensor_condition->analog[0].value);
    }
    simboard::board_unmap(m);
    return 0;
}
