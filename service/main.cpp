// Start-up, thread roster and the three endings of the service.
//
// main prepares the board and the shared state in a fixed order, starts one
// thread per activity, joins them all once `control` drops to 0, and then
// restarts the appliance (rebootflg), exits quietly (updateflg: SIGTERM or
// the update command) or powers off (the power switch).
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "command.h"
#include "common.h"
#include "datalog.h"
#include "mail.h"
#include "onewire.h"
#include "mqtt.h"
#include "platform.h"
#include "snmp.h"
#include "snmp_usm.h"

std::atomic<int> control{1};
std::atomic<int> rebootflg{0};
std::atomic<int> updateflg{0};
std::atomic<int> sigterm_received{0};
static_assert(std::atomic<int>::is_always_lock_free, "the SIGTERM flag is set inside a signal handler");
std::atomic<int> chcnt{1};
char software_ver[16];
char hardware_ver[16];
char updatetime[16];

namespace {

const char* const COUNT_FILE = "/opt/kvt/sbin/count.txt";
std::mutex chcnt_mutex;  // the command queue and the settings writer both count

void msleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// An unreadable strap reads 0: the smaller model, without its extra programs.
int strap(BOARD::Line l)
{
    int value = 0;
    board_read(l, &value);
    return value;
}

struct RosterEntry {
    const char* name;
    void* (*fn)(void*);
};

// Threads in start order.
const RosterEntry ROSTER[] = {
    {"cpustate", cpustate_thread},
    {"msgqueue", messagequeue_thread},
    {"snmp", RecvUdp},
    {"dbsave", dbsave_thread},
    {"files", file_thread},
    {"log", sensor_log_thread},
    {"mqtt", mqtt_thread},
    {"mail", mail_thread},
    {"network", network_thread},
    {"monitor", sensor_monitor_thread},
    {"statelog", state_log_thread},
    {"snmp-trap", snmp_trap_thread},
    {"state", sensor_state_thread},
    {"onewire", onewire_thread},
    {"ai", ai_thread_func},
    {"mailreport", mailreport_thread},
    {"trendlog", trend_log_thread},
    {"filterlog", filter_log_thread},
    {"extralog", extra_log_thread},
};

void restart_appliance()
{
    applog("Application restart");
    kvt_system("timeout 60s systemctl stop syslog.socket");
    kvt_system("timeout 60s systemctl stop busybox-syslog");
    kvt_system("timeout 60s ps  | grep UpMgr7400.py | grep -v grep | awk '{print $1}' | xargs -r kill");
    kvt_system("timeout 60s systemctl stop kvt-uwsgi");
    kvt_system("timeout 60s systemctl stop nginx");
    kvt_system("sync");
    msleep(100);
    // The board restarts itself on this register sequence.
    for (int v : {1, 8, 1, 6}) fpga_access_8357(1, fpga_reg(BOARD::REG_SYSTEM), &v);
}

}  // namespace

long thread_tid() { return static_cast<long>(syscall(SYS_gettid)); }

namespace {

// The request flags wake sleepers through these. Waiters are any thread;
// stop_running and request_posted notify.
std::mutex sleep_mutex;
std::condition_variable request_cv;
uint64_t request_count = 0;  // under sleep_mutex; request_posted writes, wait_for_request reads

// Readable from the stop on: stop_running writes it, sleep_while_running
// polls it from any thread. -1 when the kernel gave none.
int stop_fd()
{
    static const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd;
}

}  // namespace

// The whole period is one wait that stop_running cuts short, so an idle
// thread wakes once a period and not more often to look at `control`. The
// wait is a poll, whose time-out follows the same clock as the wall-clock
// arithmetic of its callers (timer's next whole minute).
void sleep_while_running(int ms)
{
    const int fd = stop_fd();
    if (fd < 0) {
        for (int left = ms; left > 0 && control.load(); left -= 100) msleep(left < 100 ? left : 100);
        return;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (int left = ms; left > 0 && control.load() != 0;) {
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, left);
        if (r == 0) return;
        if (r > 0 && control.load() != 0) {
            // A stop taken back (control set to 1 again): forget it.
            uint64_t n;
            if (read(fd, &n, sizeof n) < 0) {
                // another sleeper took it first
            }
        }
        left = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count());
    }
}

void stop_running()
{
    control = 0;
    if (stop_fd() >= 0) {
        const uint64_t one = 1;
        if (write(stop_fd(), &one, sizeof one) < 0) report_error("stop_running: write", "stop eventfd", errno);
    }
    {
        std::lock_guard<std::mutex> lock(sleep_mutex);
        request_cv.notify_all();
    }
    for (TSQueue<std::string>* q : {&db_save, &mail_send, &mqtt_con, &state_log, &trap_que}) q->wake();
}

void wait_for_request(int ms)
{
    std::unique_lock<std::mutex> lock(sleep_mutex);
    const uint64_t seen = request_count;
    request_cv.wait_for(lock, std::chrono::milliseconds(ms),
                        [seen] { return request_count != seen || control.load() == 0; });
}

void request_posted()
{
    std::lock_guard<std::mutex> lock(sleep_mutex);
    ++request_count;
    request_cv.notify_all();
}

// `name` is also the thread's name as top -H and /proc show it; the kernel
// keeps at most 15 characters of it.
bool start_thread(pthread_t* th, void* (*fn)(void*), const char* name)
{
    if (int rc = pthread_create(th, nullptr, fn, nullptr); rc != 0) {
        report_error("pthread_create", name, rc);
        return false;
    }
    char comm[16];
    std::snprintf(comm, sizeof comm, "%s", name);
    pthread_setname_np(*th, comm);
    kvt_set_realtime(*th);
    return true;
}

void handle_sigterm(int) { sigterm_received = 1; }

void init_buzzer()
{
    kvt_system("echo 0 > /sys/class/pwm/pwmchip0/export");
    kvt_system("echo 1000000 > /sys/class/pwm/pwmchip0/pwm0/period");
    kvt_system("echo 500000 > /sys/class/pwm/pwmchip0/pwm0/duty_cycle");
}

void sound_buzzer()
{
    buzzer_access_8357(1);
    msleep(50);
    buzzer_access_8357(0);
    msleep(150);
    buzzer_access_8357(1);
    msleep(50);
    buzzer_access_8357(0);
}

// A damaged counter file (text, zero, negative) restarts the count at 1
// rather than serving a value outside 1..5000.
int chcnt_next(int v) { return (v < 1 || v >= 5000) ? 1 : v + 1; }

int chcntread()
{
    std::lock_guard<std::mutex> lock(chcnt_mutex);
    FILE* f = std::fopen(kvt_path(COUNT_FILE).c_str(), "r");
    if (!f) {
        chcnt = 1;
        return 0;
    }
    char buf[10] = {0};
    // An empty file reads as 0, which the next change turns into 1.
    if (!std::fgets(buf, sizeof buf, f)) buf[0] = '\0';
    chcnt = static_cast<int>(std::strtol(buf, nullptr, 10));
    std::fclose(f);
    return 0;
}

int chcntup()
{
    std::lock_guard<std::mutex> lock(chcnt_mutex);
    chcnt = chcnt_next(chcnt);
    FILE* f = std::fopen(kvt_path(COUNT_FILE).c_str(), "w");
    if (!f) {
        report_error("ch_cntup error: fopen", COUNT_FILE, errno);
        return -1;
    }
    bool ok = std::fprintf(f, "%d", chcnt.load()) >= 0;
    int err = ok ? 0 : errno;
    if (std::fclose(f) != 0 && ok) ok = false, err = errno;
    if (ok) return 0;
    report_error("ch_cntup error: write", COUNT_FILE, err);
    return -1;
}

int service_main()
{
    setvbuf(stdout, nullptr, _IOLBF, 0);  // console lines reach the journal whole and at once
    // The handler comes first: a SIGTERM while the backend is being prepared
    // is then an orderly stop too, not the default end of the process.
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = handle_sigterm;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    if (platform_init() != 0) return 1;

    std::printf("Application Start\n");
    std::fflush(stdout);
    platform_stop_signals(handle_sigterm);

    ftp_enable();
    mask_systemd_tmpfiles_clean_timer();
    mask_systemd_timesyncd();
    mount_tmp();

    fpga_open();
    gpio1_open();
    gpio2_open();
    gpio3_open();

    board_write(BOARD::POWER_ENABLE_1, 1);
    board_write(BOARD::POWER_ENABLE_2, 1);
    msleep(1000);
    board_write(BOARD::RUN, 0);

    // Trend counters, then the versions shown in the start line.
    set_sensor_data();
    version_sh();

    char line[64];
    std::snprintf(line, sizeof line, "Application Start %s", software_ver);
    applog(line);

    kvt_system("rm -f /tmp/kvt7400sys_aarch64.ipk\n");

    copy_statelog();

    shared_tables_start();

    int is_7400 = (strap(BOARD::STRAP_A) == 1 && strap(BOARD::STRAP_B) == 1) ? 1 : 0;
    if (monitor->requestflg) monitor->requestflg->is_7400 = is_7400;
    if (is_7400) {
        kvt_system("python2.7 /opt/kvt/sbin/UpMgr7400.py &");
        kvt_system("python2.7 /opt/kvt/sbin/vlxa_status.py");
    }

    // The database: restored if missing, DIP-switch resets, migration.
    db_copy();
    open_db();
    read_DIP_SW();
    check_db();
    chcntread();
    for105update();

    msleep(5000);

    // The settings, then the live table's start-up contents.
    init_structs();
    usm_engine_start();
    if (monitor->ready()) monitor->setDummyData();
    oid_change();
    for107update();

    init_buzzer();
    msleep(100);
    board_write(BOARD::RUN, 1);
    sound_buzzer();
    std::fflush(stdout);

    constexpr size_t N = sizeof ROSTER / sizeof ROSTER[0];
    pthread_t threads[N];
    bool started[N] = {};
    // Publishing threads assume all four tables; without them only the
    // supervisor runs so the service can still be stopped.
    for (size_t i = 0; i < N; ++i) {
        if (i > 0 && !monitor->ready()) break;
        started[i] = start_thread(&threads[i], ROSTER[i].fn, ROSTER[i].name);
    }
    for (size_t i = 0; i < N; ++i)
        if (started[i]) pthread_join(threads[i], nullptr);
    // Settings commands the command thread did not reach, and any save
    // queued after the settings writer's last batch, are written now, before
    // the database closes.
    apply_queued_settings();
    dbsave_batch();

    gpio1_close();
    gpio2_close();
    gpio3_close();
    mmap_close();
    close_db();

    if (rebootflg) {
        restart_appliance();
        return 0;
    }
    fpga_close();
    if (updateflg) {
        applog("Application update");
        return 0;
    }
    std::printf("end\n");
    applog("Application end");
    kvt_system("shutdown -h now\n");
    return 0;
}
