// The four tables shared with the web UI, the status log kept in /log across
// restarts, and the settings-change counter file.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <thread>

#include "common.h"
#include "platform.h"
#include "record_text.h"
#include "sandbox.h"

namespace {

const char* const LED_BLINK[] = {
    "echo \"timer\" > /sys/class/leds/STATUS_LED/trigger",
    "echo 670 > /sys/class/leds/STATUS_LED/delay_on",
    "echo 670 > /sys/class/leds/STATUS_LED/delay_off",
};

long file_size(const TestSandbox& sb, const std::string& p)
{
    struct stat st;
    return stat(sb.path(p).c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

// Maps the tables of the current sandbox as start-up does.
int open_tables()
{
    monitor = new MONITOR_TABLE_CLASS();
    return mmap_open();
}

// A saved status log as a byte image, with a few entries appended.
std::string saved_log(int32_t all_r, int32_t all_w, int32_t dio_r, int32_t dio_w, int entries)
{
    static MONITOR_TABLE::Status_Log log;
    std::memset(&log, 0, sizeof log);
    for (int i = 0; i < entries; ++i)
        MONITOR_TABLE::ring_append(log.all_status_log.r, log.all_status_log.w, log.all_status_log.all,
                                   MONITOR_TABLE::ALL_LOG_NUM, {1700000000 + i, 3, i + 1, 5, 2500 + i});
    if (entries == 0) {
        log.all_status_log.r = all_r;
        log.all_status_log.w = all_w;
    }
    log.dio_status_log.r = dio_r;
    log.dio_status_log.w = dio_w;
    return std::string(reinterpret_cast<const char*>(&log), sizeof log);
}

}  // namespace

TEST(MonitorTableTest, FourFilesWithTheirExactSizes)
{
    TestSandbox sb;
    sb.write("/tmp/mmapfile_flg", std::string(500, '\x7f'));  // an old, larger file is cut to size
    ASSERT_EQ(open_tables(), 0);
    ASSERT_TRUE(monitor->ready());
    EXPECT_EQ(fields(file_size(sb, "/tmp/mmapfile_flg"), file_size(sb, "/tmp/mmapfile_monitor"),
                     file_size(sb, "/tmp/mmapfile_status"), file_size(sb, "/tmp/mmapfile_trend")),
              "84|4144|240016|6040");
    struct stat st;
    ASSERT_EQ(stat(sb.path("/tmp/mmapfile_monitor").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);  // the web UI writes the flags as another user
    EXPECT_TRUE(sb.journal().empty());    // no LED blink on success
    mmap_close();
    EXPECT_EQ(monitor, nullptr);
}

TEST(MonitorTableTest, AFileThatCannotBeOpenedStopsTheMappingWithItsMessages)
{
    struct Case {
        const char* blocked;  // made a directory, so it cannot be opened as a file
        const char* console;
        const char* logged;  // "" = nothing logged
        bool blinks;
        int mapped_before;  // tables mapped before the failure
    } cases[] = {
        {"/tmp/mmapfile_monitor", "fd open error. \n", "fd sensor open error.", true, 0},
        {"/tmp/mmapfile_flg", "fd open error. \n", "fd flg open error.", false, 1},
        {"/tmp/mmapfile_status", "fd open error. state_log_thread\n", "fd state open error.", false, 2},
        {"/tmp/mmapfile_trend", "fd open error. \n", "fd trend open error.", false, 3},
    };
    for (const auto& c : cases) {
        TestSandbox sb;
        SCOPED_TRACE(c.blocked);
        ASSERT_EQ(mkdir(sb.path(c.blocked).c_str(), 0777), 0);
        testing::internal::CaptureStdout();
        EXPECT_NE(open_tables(), 0);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, c.console);
        const std::string log = sb.applog();
        EXPECT_TRUE(*c.logged ? log.find(std::string("> ") + c.logged + "\n") != std::string::npos : log.empty()) << log;
        std::vector<std::string> expected_journal;
        if (c.blinks) expected_journal.assign(std::begin(LED_BLINK), std::end(LED_BLINK));
        EXPECT_EQ(sb.journal(), expected_journal);
        EXPECT_EQ(sb.read("/sys/class/leds/STATUS_LED/delay_on"), c.blinks ? "670\n" : "0\n");
        EXPECT_FALSE(monitor->ready());
        int mapped = (monitor->sensor_condition != nullptr) + (monitor->requestflg != nullptr) +
                     (monitor->status_log != nullptr) + (monitor->trend_per != nullptr);
        EXPECT_EQ(mapped, c.mapped_before);
        mmap_close();
    }
}

TEST(MonitorTableTest, FailedStatusLogBackupKeepsThePreviousCopy)
{
    TestSandbox sb;
    const std::string previous = saved_log(0, 0, 0, 0, 2);
    sb.write("/log/mmapfile_status", previous);
    // No /tmp table to copy from: the saved copy must survive untouched.
    EXPECT_EQ(backup_statelog(), -1);
    EXPECT_EQ(sb.read("/log/mmapfile_status"), previous);
    EXPECT_FALSE(sb.exists("/log/mmapfile_status.new"));
}

TEST(MonitorTableTest, MissingOrEmptySavedStatusLogLeavesTheCurrentOne)
{
    for (bool empty_copy : {false, true}) {
        TestSandbox sb;
        const std::string current = saved_log(0, 0, 0, 0, 3);
        sb.write("/tmp/mmapfile_status", current);
        if (empty_copy) sb.write("/log/mmapfile_status", "");
        EXPECT_EQ(copy_statelog(), 0);
        EXPECT_EQ(sb.read("/tmp/mmapfile_status"), current) << (empty_copy ? "empty copy" : "no copy");
    }
}

TEST(MonitorTableTest, RestoredStatusLogWithIndicesOutsideItsRingIsReset)
{
    struct Case {
        int32_t all_r, all_w, dio_r, dio_w;
        bool reset_all, reset_dio;
    } cases[] = {
        {10000, 0, 0, 0, true, false},
        {0, -1, 0, 0, true, false},
        {0, 0, 1999, 2000, false, true},
        {-5, 99999, 4000, -4000, true, true},
        {9999, 9998, 1999, 0, false, false},  // in range: kept as it is
    };
    for (const auto& c : cases) {
        TestSandbox sb;
        SCOPED_TRACE(fields(c.all_r, c.all_w, c.dio_r, c.dio_w));
        sb.write("/log/mmapfile_status", saved_log(c.all_r, c.all_w, c.dio_r, c.dio_w, 0));
        copy_statelog();
        testing::internal::CaptureStdout();
        ASSERT_EQ(open_tables(), 0);
        std::string out = testing::internal::GetCapturedStdout();
        const auto& log = *monitor->status_log;
        EXPECT_EQ(fields(log.all_status_log.r, log.all_status_log.w, log.dio_status_log.r, log.dio_status_log.w),
                  fields(c.reset_all ? 0 : c.all_r, c.reset_all ? 0 : c.all_w, c.reset_dio ? 0 : c.dio_r,
                         c.reset_dio ? 0 : c.dio_w));
        const int reset = c.reset_all || c.reset_dio;
        const std::string applog_text = sb.applog();
        EXPECT_EQ(count_of(out, "\n"), reset) << out;
        EXPECT_EQ(count_of(applog_text, "status log index out of range"), reset) << applog_text;
        EXPECT_EQ(count_of(applog_text, "\n"), reset) << applog_text;
        mmap_close();
    }
}

TEST(MonitorTableTest, ChangeCounterMissingOrDamagedFileStartsAtOneAndAnUnwritableOneStillCounts)
{
    TestSandbox sb;
    chcnt = 4321;
    chcntread();
    EXPECT_EQ(chcnt.load(), 1);  // no counter file
    for (auto [stored, next] : {std::pair{"0", "1"}, {"-12", "1"}, {"abc", "1"}, {"", "1"}, {"41", "42"},
                                {"4999", "5000"}, {"5000", "1"}}) {
        sb.write("/opt/kvt/sbin/count.txt", stored);
        chcntread();
        chcntup();
        EXPECT_EQ(sb.read("/opt/kvt/sbin/count.txt"), next) << "after " << stored;
    }
    ASSERT_EQ(unlink(sb.path("/opt/kvt/sbin/count.txt").c_str()), 0);
    ASSERT_EQ(mkdir(sb.path("/opt/kvt/sbin/count.txt").c_str(), 0777), 0);
    EXPECT_EQ(chcntup(), -1);
    EXPECT_EQ(chcnt.load(), 2);
}

TEST(MonitorTableTest, ChangeCounterConcurrentChangesAreCountedOnce)
{
    TestSandbox sb;
    sb.write("/opt/kvt/sbin/count.txt", "4900");
    chcntread();
    std::vector<std::thread> ts;
    for (int t = 0; t < 2; ++t)
        ts.emplace_back([] {
            for (int i = 0; i < 100; ++i) chcntup();
        });
    for (auto& t : ts) t.join();
    EXPECT_EQ(chcnt.load(), 100);  // 4900 + 200 wraps past 5000 to 100
    EXPECT_EQ(sb.read("/opt/kvt/sbin/count.txt"), "100");
}

TEST(MonitorTableTest, StartResetsEveryTableThatMappedWhenAnotherDoesNot)
{
    TestSandbox sb(false);
    MONITOR_TABLE::RequestFlg pending{};
    pending.network_set_configuration = 4;  // a change the last run never applied
    sb.write("/tmp/mmapfile_flg", std::string(reinterpret_cast<const char*>(&pending), sizeof pending));
    ASSERT_EQ(mkdir(sb.path("/tmp/mmapfile_trend").c_str(), 0777), 0);  // cannot be mapped
    EXPECT_NE(shared_tables_start(), 0);
    ASSERT_NE(monitor->requestflg, nullptr);
    EXPECT_EQ(monitor->trend_per, nullptr);
    EXPECT_EQ(monitor->requestflg->network_set_configuration, 0);
    mmap_close();
}
