// The restart ending, driven inside the test process: the whole service runs
// on a thread against a sandbox, and the restart request is made the way the
// restart command makes it (rebootflg, then control).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "common.h"
#include "sandbox.h"

namespace {

// Runs service_main on a thread and always stops and joins it, also when an
// assertion leaves the test early.
class ServiceThread {
public:
    explicit ServiceThread(const TestSandbox& sb)
    {
        setenv("KVT_ROOT", sb.root().c_str(), 1);
        th_ = std::thread([this] { rc_ = service_main(); });
    }
    ~ServiceThread()
    {
        if (th_.joinable()) {
            control = 0;
            th_.join();
        }
        reset_run_flags();
    }
    int join()
    {
        th_.join();
        return rc_;
    }

private:
    std::thread th_;
    int rc_ = -1;
};

bool started(const TestSandbox& sb)
{
    auto j = sb.journal();
    return std::count(j.begin(), j.end(), "echo 0 > /sys/class/pwm/pwmchip0/pwm0/enable") >= 2;
}

}  // namespace

TEST(RestartEnding, StopsTheAppliancesServicesThenResetsTheBoardThroughTheFpga)
{
    TestSandbox sb;
    reset_run_flags();
    ServiceThread svc(sb);
    ASSERT_TRUE(wait_until([&] { return started(sb); }, 30000)) << "service_main never finished start-up";
    EXPECT_EQ(sb.gpio(2, 67), 1);
    const size_t journal_before = sb.journal().size();

    rebootflg = 1;
    control = 0;
    EXPECT_EQ(svc.join(), 0);

    // Every thread has ended before the restart begins, so its commands are
    // the last ones journaled and nothing comes between them.
    auto j = sb.journal();
    ASSERT_GE(j.size(), journal_before + 6);
    std::vector<std::string> ending(j.end() - 6, j.end());
    const std::vector<std::string> expected = {
        "timeout 60s systemctl stop syslog.socket",
        "timeout 60s systemctl stop busybox-syslog",
        "timeout 60s ps  | grep UpMgr7400.py | grep -v grep | awk '{print $1}' | xargs -r kill",
        "timeout 60s systemctl stop kvt-uwsgi",
        "timeout 60s systemctl stop nginx",
        "sync",
    };
    EXPECT_EQ(ending, expected);
    EXPECT_EQ(std::count(j.begin(), j.end(), "shutdown -h now"), 0);

    auto w = sb.fpga_writes();
    ASSERT_GE(w.size(), 4u);
    std::vector<std::string> last4(w.end() - 4, w.end());
    EXPECT_EQ(last4, (std::vector<std::string>{"0x51000004 1", "0x51000004 8", "0x51000004 1", "0x51000004 6"}));
    EXPECT_EQ(sb.fpga(0x004), 6);

    std::string log = sb.read("/log/app_log/applog1.txt");
    EXPECT_NE(log.find("> Application restart\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("Application update"), std::string::npos);
    EXPECT_EQ(log.find("Application end"), std::string::npos);
}
