// The supervisor thread on its own in the cases a running service rarely
// shows (SIGTERM during a switch press, a stop decided elsewhere), and the
// stoppable sleep every thread uses and the minute timer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common.h"
#include "sandbox.h"

namespace {

// A sandbox with GPIO chip 2 open and the run line at 1, as after start-up.
struct Running {
    TestSandbox sb;
    Running()
    {
        reset_run_flags();
        testing::internal::CaptureStdout();
        gpio2_open();
        testing::internal::GetCapturedStdout();
        sb.set_gpio(2, 67, 1);
    }
    ~Running() { reset_run_flags(); }
    std::string log() const { return sb.read("/log/app_log/applog1.txt"); }
};

}  // namespace

TEST(SupervisorTest, SigtermDuringASwitchPressStillEndsAsAQuietExit)
{
    Running r;
    sigterm_received = 1;
    r.sb.set_gpio(2, 68, 1);
    testing::internal::CaptureStdout();
    std::thread t(cpustate_thread, nullptr);
    t.join();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(control.load(), 0);
    EXPECT_EQ(updateflg.load(), 1);
    std::string log = r.log();
    ASSERT_NE(log.find("SIGTERM received"), std::string::npos) << log;
    EXPECT_LT(log.find("SIGTERM received"), log.find("シャットダウン")) << log;
}

TEST(SupervisorTest, AStopDecidedElsewhereEndsItQuietly)
{
    Running r;
    testing::internal::CaptureStdout();
    std::atomic<bool> done{false};
    std::thread t([&] {
        cpustate_thread(nullptr);
        done = true;
    });
    wait_until([&] { return done.load(); }, 150);  // a few ticks of watching
    EXPECT_FALSE(done.load());
    stop_running();  // the restart command, say
    EXPECT_TRUE(wait_until([&] { return done.load(); }, 1000));
    t.join();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(updateflg.load(), 0);
    EXPECT_EQ(r.log(), "");  // nothing of its own to report
    EXPECT_EQ(r.sb.gpio(2, 67), 1);
    EXPECT_NE(out.find("end cpustate_thread\n"), std::string::npos) << out;
}

TEST(SupervisorTest, StoppableWaitsEndSoonAfterControlDrops)
{
    struct Case {
        const char* what;
        void (*wait)();
        bool may_end_alone;  // the minute timer also ends at the next minute
    } cases[] = {
        {"sleep_while_running", [] { sleep_while_running(60000); }, false},
        {"timer", [] { timer(); }, true},
    };
    for (const auto& c : cases) {
        TestSandbox sb;
        reset_run_flags();
        std::atomic<bool> done{false};
        std::thread t([&] {
            c.wait();
            done = true;
        });
        wait_until([&] { return done.load(); }, 150);
        if (!c.may_end_alone) {
            EXPECT_FALSE(done.load()) << c.what;
        }
        stop_running();
        EXPECT_TRUE(wait_until([&] { return done.load(); }, 400)) << c.what << " kept waiting after the stop";
        t.join();
        // Once stopped, a wait does not wait at all.
        auto t0 = std::chrono::steady_clock::now();
        c.wait();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1)) << c.what;
    }
    reset_run_flags();
}
