// Operator actions of the command channel (relays, status log, session
// policy, system actions, simulation) and the receive loop on a real queue.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <cstring>
#include <thread>

#include "command.h"
#include "common.h"
#include "event_fixture.h"

namespace {

std::vector<std::string> split(const std::string& s) { return split_fields(s.data(), s.size()); }

// The event fixture's board and tables, and the receive loop on demand.
class OperatorActionTest : public EventsTest {
protected:
    void TearDown() override
    {
        stop_running();
        if (receiver.joinable()) receiver.join();
        if (qid >= 0) msgctl(qid, IPC_RMID, nullptr);
        EventsTest::TearDown();
    }

    // The receive loop on the sandbox's own queue.
    std::thread receiver;
    int qid = -1;
    void start_receiver()
    {
        qid = msgget(ftok(sb.path("/msgq.key").c_str(), 'X'), IPC_CREAT | 0666);
        ASSERT_GE(qid, 0);
        receiver = std::thread([] { messagequeue_thread(nullptr); });
    }
    void send(const std::string& text, bool with_nul = true)
    {
        struct {
            long type;
            char text[8192];
        } m;
        m.type = 1;
        ASSERT_LT(text.size(), sizeof m.text);
        std::memcpy(m.text, text.data(), text.size());
        m.text[text.size()] = '\0';
        ASSERT_EQ(msgsnd(qid, &m, text.size() + (with_nul ? 1 : 0), 0), 0) << "msgsnd";
    }
};

}  // namespace

TEST_F(OperatorActionTest, RelayCommandTogglesAndPulsesTheOutput)
{
    dispatch_command(split("3,8,0,"));
    EXPECT_EQ(relay_line(0), 1);
    EXPECT_EQ(monitor->sensor_condition->digitalio[8].value, 1);
    dispatch_command(split("3,8,0,"));
    EXPECT_EQ(relay_line(0), 0);
    dispatch_command(split("3,9,0,"));
    EXPECT_EQ(relay_line(1), 1);
    EXPECT_EQ(relay_line(0), 0);

    // A pulse holds the output active for its length, then releases it.
    std::thread pulse([] { dispatch_command(split("3,15,1,")); });
    EXPECT_TRUE(wait_until([&] { return relay_line(7) == 1; }, 900));
    EXPECT_TRUE(wait_until([&] { return relay_line(7) == 0; }, 3000));
    pulse.join();

    // Elements that are not relay outputs switch nothing.
    for (const char* t : {"3,7,0,", "3,16,0,", "3,x,0,", "3"}) dispatch_command(split(t));
    for (int k = 0; k < 8; ++k) EXPECT_EQ(relay_line(k), k == 1 ? 1 : 0) << "relay " << k;
}

TEST_F(OperatorActionTest, StatusLogClearAndExport)
{
    auto& all = monitor->status_log->all_status_log;
    auto& dio = monitor->status_log->dio_status_log;
    for (int i = 0; i < 5; ++i) {
        MONITOR_TABLE::ring_append(all.r, all.w, all.all, MONITOR_TABLE::ALL_LOG_NUM, {1000 + i, 2, 1, 5, i});
        MONITOR_TABLE::ring_append(dio.r, dio.w, dio.dio, MONITOR_TABLE::DIO_LOG_NUM, {1000 + i, 1, 3, 3, 1});
    }
    dispatch_command(split("31,1,"));
    dispatch_command(split("31,2,"));
    EXPECT_TRUE(sb.exists("/log/state_log/statelog_all.csv"));
    EXPECT_TRUE(sb.exists("/log/state_log/statelog_dio.csv"));
    dispatch_command(split("31,9,"));
    EXPECT_EQ(all.w, 5);

    // The command channel only asks; the state-log thread, the one writer of
    // the rings, clears before its next record.
    StateLogSaver saver;
    dispatch_command(split("31,4,"));
    EXPECT_EQ(dio.w, 5);
    state_log_drain(saver);
    EXPECT_EQ(dio.w, 0);
    EXPECT_EQ(dio.dio[0].time, 0);
    EXPECT_EQ(all.w, 5);  // the all ring keeps its entries
    std::string backup = sb.read("/log/mmapfile_status");
    ASSERT_EQ(backup.size(), sizeof(MONITOR_TABLE::Status_Log));
    EXPECT_EQ(std::memcmp(backup.data(), monitor->status_log, backup.size()), 0);

    dispatch_command(split("31,3,"));
    EXPECT_EQ(all.w, 5);
    state_log_drain(saver);
    EXPECT_EQ(all.w, 0);
    EXPECT_EQ(all.all[4].time, 0);
    backup = sb.read("/log/mmapfile_status");
    EXPECT_EQ(backup, std::string(sizeof(MONITOR_TABLE::Status_Log), '\0'));
    std::string log = sb.applog();
    EXPECT_NE(log.find("> clear dio status log\n"), std::string::npos);
    EXPECT_NE(log.find("> clear all status log\n"), std::string::npos);
}

TEST_F(OperatorActionTest, SessionPolicyRewritesTheWebUiSettings)
{
    sb.write("/opt/KVT7400/KVT7400/settings.py",
             "A = 1\nSESSION_EXPIRE_AT_BROWSER_CLOSE = True\nSESSION_COOKIE_AGE = 1200\n"
             "SESSION_SAVE_EVERY_REQUEST = True\nB = 2\n");
    dispatch_command(split("59,False,300,False,"));
    const std::string block =
        "SESSION_EXPIRE_AT_BROWSER_CLOSE=False\nSESSION_COOKIE_AGE=300\nSESSION_SAVE_EVERY_REQUEST=False\n";
    EXPECT_EQ(sb.read("/opt/KVT7400/KVT7400/settings.py"), "A = 1\n" + block + "B = 2\n");
    EXPECT_EQ(sb.read("/opt/kvt/sbin/session.txt"), block);
    EXPECT_TRUE(sb.journal_has("systemctl restart kvt-uwsgi"));
}

TEST_F(OperatorActionTest, SystemActionsEndTheServiceTheirWay)
{
    struct Case {
        const char* text;
        int reboot, update, counted;
        const char* logged;
    } cases[] = {
        {"60,4,", 0, 1, 0, "> システムのアップデートを行います\n"},
        {"60,1,", 1, 0, 1, "> 設定データのアップロードを行います\n"},
        {"60,3,", 1, 0, 0, "> システム全体のアップデートを行います\n"},
        {"60,7,", 1, 0, 0, "> 再起動します\n"},
        {"60,", 1, 0, 0, "> 再起動します\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        reset_run_flags();
        int before = chcnt;
        dispatch_command(split(c.text));
        EXPECT_EQ(control.load(), 0);
        EXPECT_EQ(rebootflg.load(), c.reboot);
        EXPECT_EQ(updateflg.load(), c.update);
        EXPECT_EQ(chcnt - before, c.counted);
        EXPECT_NE(sb.applog().find(c.logged), std::string::npos);
    }
}

// Writing, editing and loading the file runs end to end; here the stop.
TEST_F(OperatorActionTest, SimulationStopLeavesNothingToLoad)
{
    debug_mode = true;
    dispatch_command(split("61,3,"));
    EXPECT_FALSE(debug_mode.load());
    EXPECT_EQ(read_debug_file(), -1);  // nothing left to load
}

TEST_F(OperatorActionTest, OversizedMessagesAreRefusedAndTheQueueKeepsFlowing)
{
    start_receiver();
    sensor_settings.smartMesh_cycle[0].cycle_minutes = 1;
    send("29,1,99," + std::string(3000, 'x'));       // more than the channel's 2048 bytes
    std::string exact = "29,2,8," + std::string(MSG_TEXT_MAX - 7, 'y');
    ASSERT_EQ(exact.size(), MSG_TEXT_MAX);
    send(exact, false);                                // exactly 2048 bytes, no terminator
    send("29,3,9,");
    ASSERT_TRUE(wait_until([] { return sensor_settings.smartMesh_cycle[2].cycle_minutes == 9; }, 3000));
    EXPECT_EQ(sensor_settings.smartMesh_cycle[0].cycle_minutes, 1);
    EXPECT_EQ(sensor_settings.smartMesh_cycle[1].cycle_minutes, 8);
    EXPECT_EQ(drain(db_save), (std::vector<std::string>{"29,1,", "29,2,"}));
}

TEST_F(OperatorActionTest, OneWireSearchWaitEndsOnReportOrShutdown)
{
    start_receiver();
    // Both buses reading: the command's clear starts both searches.
    monitor->requestflg->onewire_id_flg = 9;
    portnum_ok[0] = 1;
    portnum_ok[1] = 1;
    send("17,");
    ASSERT_TRUE(wait_until([] { return portnum_ok[0] == 0 && portnum_ok[1] == 0; }, 2000));
    portnum_ok[0] = 1;
    portnum_ok[1] = 1;
    EXPECT_TRUE(wait_until([&] { return monitor->requestflg->onewire_id_flg == 0; }, 2000));

    // Bus 0 in a search begun before the command: its end is no answer; the
    // command starts another search and waits for that one.
    monitor->requestflg->onewire_id_flg = 9;
    portnum_ok[0] = 0;
    send("17,");
    ASSERT_TRUE(wait_until([] { return portnum_ok[1] == 0; }, 2000));
    portnum_ok[1] = 1;
    portnum_ok[0] = 1;
    ASSERT_TRUE(wait_until([] { return portnum_ok[0] == 0; }, 2000)) << "the older search taken as the answer";
    EXPECT_NE(monitor->requestflg->onewire_id_flg, 0);
    portnum_ok[0] = 1;
    EXPECT_TRUE(wait_until([&] { return monitor->requestflg->onewire_id_flg == 0; }, 2000));

    // With no adapter answering, a shutdown still ends the wait.
    send("17,");
    ASSERT_TRUE(wait_until([] { return portnum_ok[0] == 0; }, 2000));
    auto t0 = std::chrono::steady_clock::now();
    stop_running();
    receiver.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
}

TEST_F(OperatorActionTest, ARemovedQueueIsMadeAgainAndCommandsStillArrive)
{
    start_receiver();
    send("29,1,5,");
    ASSERT_TRUE(wait_until([] { return sensor_settings.smartMesh_cycle[0].cycle_minutes == 5; }, 3000));
    ASSERT_EQ(msgctl(qid, IPC_RMID, nullptr), 0);
    qid = msgget(ftok(sb.path("/msgq.key").c_str(), 'X'), IPC_CREAT | 0666);
    ASSERT_GE(qid, 0);
    send("29,2,6,");
    EXPECT_TRUE(wait_until([] { return sensor_settings.smartMesh_cycle[1].cycle_minutes == 6; }, 3000));
}

TEST_F(OperatorActionTest, OneWireSearchWaitEndsAtItsBound)
{
    monitor->requestflg->onewire_id_flg = 1;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(wait_onewire_search(300));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_EQ(monitor->requestflg->onewire_id_flg, 0);
    EXPECT_TRUE(count_of(sb.applog(), "command 17: no 1-Wire search result from both buses within 0 s"));
}

TEST_F(OperatorActionTest, SessionPolicyTakesOnlyWhatTheWebUiSettingsCanHold)
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
        EXPECT_FALSE(sb.journal_has("systemctl restart kvt-uwsgi"));
    }
    EXPECT_TRUE(count_of(sb.applog(), "command 59: refused session values"));

    // Without the web UI's settings file nothing else is touched either.
    std::remove(sb.path("/opt/KVT7400/KVT7400/settings.py").c_str());
    dispatch_command(split("59,False,300,False,"));
    EXPECT_FALSE(sb.exists("/opt/kvt/sbin/session.txt"));
    EXPECT_FALSE(sb.journal_has("systemctl restart kvt-uwsgi"));
    EXPECT_TRUE(count_of(sb.applog(), "command 59: read /opt/KVT7400/KVT7400/settings.py: No such file or directory"));
}

TEST_F(OperatorActionTest, SystemFileTextsWithLineBreaksOrQuotesAreRefused)
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
    EXPECT_TRUE(count_of(sb.applog(), "command 32: refused field ipaddr"));
    EXPECT_TRUE(count_of(sb.applog(), "command 55: refused field ipaddr"));
    dispatch_command(split("32,1,kvt-2,0,10.0.0.2,255.0.0.0,10.255.255.255,10.0.0.1,10.0.0.1,,fe80::1,"));
    EXPECT_STREQ(admin_settings.network.host, "kvt-2");
    EXPECT_EQ(db_save.size(), 1u);
}
