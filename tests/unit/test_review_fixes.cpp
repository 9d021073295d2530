// Faults found in review of the landed code, one scenario each.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <type_traits>

#include "command.h"
#include "common.h"
#include "db_test_support.h"
#include "events.h"
#include "gpio_request.h"
#include "platform.h"
#include "sandbox.h"
#include "sysadmin.h"

namespace {

std::vector<std::string> split(const std::string& s) { return split_fields(s.data(), s.size()); }

bool journal_has(const TestSandbox& sb, const std::string& line)
{
    for (const auto& l : sb.journal())
        if (l == line) return true;
    return false;
}

bool applog_has(const TestSandbox& sb, const std::string& text)
{
    return sb.read("/log/app_log/applog1.txt").find(text) != std::string::npos;
}

// A disk that takes only `bytes` more of any file this process writes.
class FullDisk {
public:
    explicit FullDisk(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, SIG_IGN);
        rlimit r = saved_;
        r.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &r);
    }
    ~FullDisk() { setrlimit(RLIMIT_FSIZE, &saved_); }

private:
    rlimit saved_{};
};

// The service over a sandbox: board, tables, settings cleared.
class ReviewTest : public ::testing::Test {
protected:
    TestSandbox sb{true};

    void SetUp() override
    {
        reset_run_flags();
        gpio1_open();
        gpio2_open();
        gpio3_open();
        ASSERT_EQ(shared_tables_start(), 0);
        std::memset(monitor->status_log, 0, sizeof *monitor->status_log);
        std::memset(&sensor_settings, 0, sizeof sensor_settings);
        std::memset(&admin_settings, 0, sizeof admin_settings);
        for (auto* q : {&db_save, &mail_send, &mqtt_con, &state_log, &trap_que}) q->clear();
    }
    void TearDown() override
    {
        close_db();
        mmap_close();
        gpio1_close();
        gpio2_close();
        gpio3_close();
        reset_run_flags();
    }
};

// ---- Board access -----------------------------------------------------------

struct FakeIoctl {
    static inline int handle_rc = 0, value_rc = 0, level = 1, calls = 0, closed = 0;
    static int io(int, unsigned long request, void* arg)
    {
        ++calls;
        if (request == GPIO_GET_LINEHANDLE_IOCTL) {
            static_cast<gpiohandle_request*>(arg)->fd = 77;
            return handle_rc;
        }
        if (request == GPIOHANDLE_GET_LINE_VALUES_IOCTL && value_rc == 0)
            static_cast<gpiohandle_data*>(arg)->values[0] = static_cast<__u8>(level);
        return value_rc;
    }
    static int close(int fd)
    {
        if (fd == 77) ++closed;
        return 0;
    }
};

TEST(GpioLineAccess, EitherIoctlFailingIsAFailureAndLeavesTheCallersValue)
{
    struct Case {
        int handle_rc, value_rc;
        bool ok;
        int closes;
    } cases[] = {{0, 0, true, 1}, {-1, 0, false, 0}, {0, -1, false, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "handle " << c.handle_rc << " value " << c.value_rc);
        FakeIoctl::handle_rc = c.handle_rc;
        FakeIoctl::value_rc = c.value_rc;
        FakeIoctl::level = 0;
        FakeIoctl::closed = 0;
        int v = 1;  // a DIP switch read as "off" unless the line says otherwise
        int rc = gpio_line_read(3, 49, &v, FakeIoctl::io, FakeIoctl::close);
        EXPECT_EQ(rc == 0, c.ok);
        EXPECT_EQ(v, c.ok ? 0 : 1);
        EXPECT_EQ(gpio_line_write(3, 45, 1, FakeIoctl::io, FakeIoctl::close) == 0, c.ok);
        EXPECT_EQ(FakeIoctl::closed, 2 * c.closes);  // every handle obtained is released
    }
}

TEST(FpgaWindow, RegistersAreReachedOnlyThroughVolatileBytes)
{
    static_assert(std::is_same_v<decltype(ram_fpga), volatile uint8_t*>);
    static_assert(std::is_same_v<decltype(board_mem_map(0, 0, 0)), volatile uint8_t*>);
    TestSandbox sb(false);
    ASSERT_EQ(fpga_open(), 0);
    for (int v : {1, 8, 1, 6}) fpga_access_8357(1, BOARD::FPGA_BASE + 0x004, &v);
    EXPECT_EQ(sb.fpga_writes(), (std::vector<std::string>{"0x51000004 1", "0x51000004 8", "0x51000004 1",
                                                          "0x51000004 6"}));
    EXPECT_EQ(fpga_word_read(BOARD::FPGA_BASE + 0x002), 0x0102);
    fpga_close();
    ram_fpga = nullptr;
}

// ---- Status log -------------------------------------------------------------

TEST_F(ReviewTest, PeriodicStatusLogSaveFollowsTheClockAndOnlyAfterRecords)
{
    StateLogSaver saver{1000};
    EXPECT_FALSE(state_log_save_due(saver, 5000));  // nothing logged yet
    state_log.push(state_record(1001, 2, 1, 5, 900, 1));
    state_log_drain(saver);
    EXPECT_EQ(monitor->status_log->all_status_log.w, 1);
    EXPECT_FALSE(state_log_save_due(saver, 1600));
    EXPECT_FALSE(sb.exists("/log/mmapfile_status"));
    EXPECT_TRUE(state_log_save_due(saver, 1601));
    EXPECT_EQ(sb.read("/log/mmapfile_status"), sb.read("/tmp/mmapfile_status"));
    EXPECT_FALSE(state_log_save_due(saver, 9999));  // nothing new since
}

TEST_F(ReviewTest, ConcurrentStatusLogBackupsLeaveOneWholeCopy)
{
    auto& all = monitor->status_log->all_status_log;
    for (int i = 0; i < 300; ++i)
        MONITOR_TABLE::ring_append(all.r, all.w, all.all, MONITOR_TABLE::ALL_LOG_NUM, {i, 2, 1, 5, i});
    std::vector<std::thread> savers;
    for (int t = 0; t < 4; ++t)
        savers.emplace_back([] {
            for (int k = 0; k < 10; ++k) EXPECT_EQ(backup_statelog(), 0);
        });
    for (auto& t : savers) t.join();
    EXPECT_EQ(sb.read("/log/mmapfile_status"), sb.read("/tmp/mmapfile_status"));
    EXPECT_FALSE(sb.exists("/log/mmapfile_status.new"));
}

TEST(SharedTablesStart, TablesThatMappedAreResetWhenAnotherDoesNot)
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

// ---- Command channel --------------------------------------------------------

TEST_F(ReviewTest, OneWireSearchWaitEndsAtItsBound)
{
    monitor->requestflg->onewire_id_flg = 1;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(wait_onewire_search(300));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_EQ(monitor->requestflg->onewire_id_flg, 0);
    EXPECT_TRUE(applog_has(sb, "command 17: no 1-Wire search result from both buses within 0 s"));

    // Both buses reporting end it at once, without a log line.
    monitor->requestflg->onewire_id_flg = 1;
    std::thread buses([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        portnum_ok[0] = 1;
        portnum_ok[1] = 1;
    });
    EXPECT_TRUE(wait_onewire_search(ONEWIRE_SEARCH_WAIT_MS));
    buses.join();
    EXPECT_EQ(monitor->requestflg->onewire_id_flg, 0);
}

TEST_F(ReviewTest, SessionPolicyTakesOnlyWhatTheWebUiSettingsCanHold)
{
    const std::string py = "A = 1\nSESSION_EXPIRE_AT_BROWSER_CLOSE=True\nSESSION_COOKIE_AGE=1800\n"
                           "SESSION_SAVE_EVERY_REQUEST=True\n";
    for (const char* bad : {"59,__import__('os').system('reboot'),300,True,", "59,True,300 or 1,True,",
                            "59,True,,False,", "59,true,300,False,", "59,True,300,False\nX=1,"}) {
        SCOPED_TRACE(bad);
        sb.write("/opt/KVT7400/KVT7400/settings.py", py);
        dispatch_command(split(bad));
        EXPECT_EQ(sb.read("/opt/KVT7400/KVT7400/settings.py"), py);
        EXPECT_FALSE(sb.exists("/opt/kvt/sbin/session.txt"));
        EXPECT_FALSE(journal_has(sb, "systemctl restart kvt-uwsgi"));
    }
    EXPECT_TRUE(applog_has(sb, "command 59: refused session values"));

    // Without the web UI's settings file nothing else is touched either.
    std::remove(sb.path("/opt/KVT7400/KVT7400/settings.py").c_str());
    dispatch_command(split("59,False,300,False,"));
    EXPECT_FALSE(sb.exists("/opt/kvt/sbin/session.txt"));
    EXPECT_FALSE(journal_has(sb, "systemctl restart kvt-uwsgi"));
    EXPECT_TRUE(applog_has(sb, "command 59: read /opt/KVT7400/KVT7400/settings.py: No such file or directory"));
}

TEST_F(ReviewTest, SystemFileTextsWithLineBreaksOrQuotesAreRefused)
{
    copy_text(admin_settings.network.host, "kvt7400");
    copy_text(admin_settings.syslog.ipaddr, "192.0.2.5");
    for (const char* bad : {"32,1,kvt\nEvil=1,0,10.0.0.2,255.0.0.0,,,,,,", "32,1,kvt,0,10.0.0.2\",255.0.0.0,,,,,,",
                            "32,1,kvt,0,10.0.0.2,255.0.0.0,,10.0.0.1\n[Route],,,,", "55,1,1.2.3.4\"\nX=1,514,",
                            "55,1,$(reboot),514,"}) {
        SCOPED_TRACE(bad);
        dispatch_command(split(bad));
        EXPECT_STREQ(admin_settings.network.host, "kvt7400");
        EXPECT_STREQ(admin_settings.syslog.ipaddr, "192.0.2.5");
        EXPECT_TRUE(db_save.empty());
    }
    EXPECT_TRUE(applog_has(sb, "command 32: refused field ipaddr"));
    EXPECT_TRUE(applog_has(sb, "command 55: refused field ipaddr"));
    dispatch_command(split("32,1,kvt-2,0,10.0.0.2,255.0.0.0,10.255.255.255,10.0.0.1,10.0.0.1,,fe80::1,"));
    EXPECT_STREQ(admin_settings.network.host, "kvt-2");
    EXPECT_EQ(db_save.size(), 1u);
}

// ---- System files -----------------------------------------------------------

TEST(SystemFileWrite, ReplacesTheFileWholeOrNotAtAll)
{
    TestSandbox sb(false);
    const std::string path = "/etc/ntp.conf";
    const std::string old_text = sb.read(path);
    // Another name for the old file keeps the old text: the new one is a new file.
    const std::string link = sb.path("/etc/ntp.conf.old");
    ASSERT_EQ(::link(sb.path(path).c_str(), link.c_str()), 0);
    EXPECT_TRUE(write_text_file(path, "server a\n"));
    EXPECT_EQ(sb.read(path), "server a\n");
    EXPECT_EQ(sb.read("/etc/ntp.conf.old"), old_text);

    std::string big(4096, 'x');
    {
        FullDisk disk(1024);
        EXPECT_FALSE(write_text_file(path, big));
    }
    EXPECT_EQ(sb.read(path), "server a\n");
    EXPECT_FALSE(sb.exists(path + ".new"));
    EXPECT_TRUE(applog_has(sb, "write_text_file: write /etc/ntp.conf: File too large"));
}

TEST(SystemFileWrite, FullDiskChangesNothingElse)
{
    TestSandbox sb(false);
    reset_run_flags();
    // Settings file: no session file, no restart of the web UI.
    const std::string py = sb.read("/opt/KVT7400/KVT7400/settings.py");
    {
        FullDisk disk(16);
        dispatch_command(split("59,False,300,False,"));
    }
    EXPECT_EQ(sb.read("/opt/KVT7400/KVT7400/settings.py"), py);
    EXPECT_FALSE(sb.exists("/opt/kvt/sbin/session.txt"));
    EXPECT_FALSE(journal_has(sb, "systemctl restart kvt-uwsgi"));

    // NTP: the daemon is started again all the same (the journal's two lines
    // still fit, the new configuration does not).
    copy_text(admin_settings.time.ntp[0], "ntp.example");
    {
        FullDisk disk(64);
        EXPECT_EQ(ntp_sh(), -1);
    }
    EXPECT_TRUE(journal_has(sb, "systemctl start ntpd"));

    // Network: no restart on a damaged unit, the change stays pending.
    copy_text(admin_settings.network.host, "kvt7400-new");
    copy_text(admin_settings.network.ipaddr, "10.0.0.2");
    copy_text(admin_settings.network.netmask, "255.0.0.0");
    const std::string unit = sb.read("/etc/systemd/network/10-eth.network");
    {
        FullDisk disk(4);
        EXPECT_FALSE(SYSADMIN::network_apply());
    }
    EXPECT_EQ(sb.read("/etc/systemd/network/10-eth.network"), unit);
    EXPECT_EQ(sb.read("/etc/hostname"), "kvt7400\n");
    EXPECT_EQ(rebootflg.load(), 0);
}

// ---- Settings writer --------------------------------------------------------

class WriterReviewTest : public ReviewTest {
protected:
    void SetUp() override
    {
        ReviewTest::SetUp();
        ASSERT_EQ(open_db(), 0);
        init_structs();
        dbsave_reset_copies();
        db_save.clear();
    }
    std::string db_path() const { return sb.path("/opt/KVT7400/db.sqlite3"); }
};

TEST_F(WriterReviewTest, ChangesQueuedBeforeTheStopAreWritten)
{
    copy_text(sensor_settings.digitalI[0].name, "last words");
    db_save.push_n(1, 0);
    control = 0;
    dbsave_thread(nullptr);
    EXPECT_EQ(dbtest::Conn(db_path()).scalar("SELECT name FROM webapp_di WHERE id=1"), "'last words'");
    EXPECT_TRUE(db_save.empty());
}

TEST_F(WriterReviewTest, FailedCommitIsRolledBackAndMemoryReloaded)
{
    const std::string stored = sensor_settings.digitalI[2].name;
    dbtest::Conn reader(db_path());
    reader.exec("BEGIN");
    reader.rows("SELECT * FROM webapp_di");  // a shared lock the commit cannot get past
    copy_text(sensor_settings.digitalI[2].name, "never saved");
    db_save.push_n(1, 2);
    testing::internal::CaptureStdout();
    EXPECT_EQ(dbsave_batch(), 1);
    testing::internal::GetCapturedStdout();
    reader.exec("ROLLBACK");
    EXPECT_EQ(dbtest::Conn(db_path()).scalar("SELECT name FROM webapp_di WHERE id=3"), "'" + stored + "'");
    EXPECT_EQ(std::string(sensor_settings.digitalI[2].name), stored);
    EXPECT_TRUE(applog_has(sb, "> database rollback\n"));
}

TEST_F(WriterReviewTest, AnUpdateThatChangesNoRowIsLoggedAndTheRestCommits)
{
    dbtest::Conn(db_path()).exec("DELETE FROM webapp_di WHERE id=4");
    copy_text(sensor_settings.digitalI[2].name, "kept");
    copy_text(sensor_settings.digitalI[3].name, "lost row");
    db_save.push_n(1, 3);
    db_save.push_n(1, 2);
    dbsave_batch();
    EXPECT_TRUE(applog_has(sb, "update_db: no row changed in webapp_di id=4\n"));
    EXPECT_EQ(dbtest::Conn(db_path()).scalar("SELECT name FROM webapp_di WHERE id=3"), "'kept'");
}

// ---- Digital I/O ------------------------------------------------------------

TEST_F(ReviewTest, AnnouncedLevelIsTheLevelThePassCompared)
{
    sensor_settings.digitalI[2].enable = true;
    sensor_settings.digitalI[2].errortext_id = 1;
    monitor->sensor_condition->digitalio[2] = {0, 1};  // switched back meanwhile
    dio_announce(2, 1000, 1);
    ASSERT_FALSE(trap_que.empty());
    EXPECT_EQ(trap_que.front(), dio_trap_text(3, 1, 1));
}

}  // namespace
