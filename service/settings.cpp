// The configuration records and queues every thread shares, the supervisor
// thread that turns the power switch or SIGTERM into an orderly stop, and the
// loading of the settings from the database and the system files.
#include <chrono>
#include <cstdio>
#include <thread>

#include "common.h"

SETTINGS_TABLE::Sensor_settings sensor_settings;
SETTINGS_TABLE::Admin_settings admin_settings;
SETTINGS_TABLE::Sensor_data sensor_data;
REPORT_TABLE::Report_struct report_struct;

TSQueue<std::string> db_save;
TSQueue<std::string> mail_send;
TSQueue<std::string> mqtt_con;
TSQueue<std::string> state_log;
TSQueue<std::string> trap_que;

std::atomic<int> mqttconf{0};
std::atomic<int> SM_err_time{0};

std::atomic<bool> debug_mode{false};
int dis[8];
float ais[8];
float temps[128];
float humids[16];
std::atomic<int> portnum_ok[2];

namespace SETTINGS_TABLE {

void MinuteList::fill_zero(int n)
{
    if (n > CAPACITY) n = CAPACITY;
    if (n < 0) n = 0;
    for (int& x : v_) x = 0;
    head_ = 0;
    count_ = n;
}

void MinuteList::push_front(int v)
{
    head_ = (head_ + CAPACITY - 1) % CAPACITY;
    v_[head_] = v;
    if (count_ < CAPACITY) ++count_;
}

int MinuteList::at(int k) const { return v_[(head_ + k) % CAPACITY]; }

long long MinuteList::sum_newest(int n) const
{
    if (n > count_) n = count_;
    long long sum = 0;
    for (int k = 0; k < n; ++k) sum += v_[(head_ + k) % CAPACITY];
    return sum;
}

}  // namespace SETTINGS_TABLE

/*
 * cpustate_thread: the supervisor.
 * Owns: nothing but the decision to stop.
 * Waits on: a 100 ms tick; reads the power switch (chip 2 line 68) and the
 *   SIGTERM flag each tick.
 * Order: SIGTERM is checked before the switch, so a SIGTERM during a switch
 *   press still ends as an update (quiet exit).
 * Stopped by: itself, or by anyone clearing `control`.
 */
void* cpustate_thread(void*)
{
    std::printf("cpustate_thread tid  : %ld\n", thread_tid());
    std::fflush(stdout);
    if (control == 0) {
        std::printf("end cpustate_thread\n");
        return nullptr;
    }
    for (;;) {
        int sw = 0;
        gpio_access_7400(0, 2, 68, &sw);
        if (sigterm_received) {
            control = 0;
            updateflg = 1;
            applog("SIGTERM received");
        }
        if (sw == 1) {
            std::printf("シャットダウン\n");
            applog("シャットダウン");
            int off = 0;
            gpio_access_7400(1, 2, 67, &off);
            control = 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (control == 0) break;
    }
    std::printf("end cpustate_thread\n");
    std::fflush(stdout);
    return nullptr;
}
