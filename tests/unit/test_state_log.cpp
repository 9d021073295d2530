// The status log: ring entries, trap texts and the checks a record
// triggers, the CSV export, and the consumer thread's save at stop.
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "event_fixture.h"

const std::string bom_header = "\xEF\xBB\xBF時刻,センサータイプ,名称,状態,値\n";

class StateLogTest : public EventsTest {
protected:
    MONITOR_TABLE::ALL_Status_Log& all() { return monitor->status_log->all_status_log; }
    MONITOR_TABLE::DIO_Status_Log& dio() { return monitor->status_log->dio_status_log; }

    void SetUp() override
    {
        EventsTest::SetUp();
        setenv("TZ", "JST-9", 1);
        tzset();
        // Every kind and state announced to mail destination 1 and MQTT.
        for (int k = 1; k <= 9; ++k) {
            admin_settings.mail_client_scenario[k] = {k, 1, 0x3F, true, false};
            admin_settings.mqtt_scenario[k] = {k, 1, 0x3F, true, false};
        }
    }
    void TearDown() override
    {
        unsetenv("TZ");
        tzset();
        EventsTest::TearDown();
    }
};

TEST_F(StateLogTest, ProbeIntoUpperAlertIsLoggedTrappedAndCheckedButEasingIntoCautionIsNotMailed)
{
    on_rule(sensor_settings.digitalO[4], 3, 6, 8);
    state_log_process("1700000000,3,5,5,3050,1,");
    const auto& e = all().all[0];
    EXPECT_EQ(fields(all().r, all().w, dio().w), "0|1|0");
    EXPECT_EQ(fields(e.time, e.type, e.port, e.state, e.value), "1700000000|3|5|5|3050");
    EXPECT_EQ(drain(trap_que), (std::vector<std::string>{"3,5,5,3050,0,1,"}));
    EXPECT_EQ(drain(mail_send), (std::vector<std::string>{"1,1,3,5,5,30.50,"}));
    EXPECT_EQ(drain(mqtt_con), (std::vector<std::string>{"1700000000,3,5,5,3050,"}));
    EXPECT_EQ(relay_line(4), 1);

    state_log_process("1700000000,3,5,6,2700,5,");
    EXPECT_EQ(all().w, 2);
    EXPECT_EQ(drain(trap_que), (std::vector<std::string>{"3,5,6,2700,0,5,"}));
    EXPECT_TRUE(mail_send.empty() && mqtt_con.empty());
}

TEST_F(StateLogTest, ShortRecordsReadMissingFieldsAsZero)
{
    struct Case {
        const char* rec;
        const char* trap;
    } cases[] = {
        {"100,2,3", "2,3,0,0,0,0,"},
        {"100,2,3,5,", "2,3,5,0,0,0,"},
        {"", "0,0,0,0,0,0,"},
        {"100,4,,8,77,1,", "4,0,8,77,0,1,"},
    };
    for (const auto& c : cases) {
        state_log_process(c.rec);
        EXPECT_EQ(drain(trap_que), (std::vector<std::string>{c.trap})) << "record '" << c.rec << "'";
    }
    EXPECT_EQ(fields(all().w, all().all[0].state, all().all[0].value), "4|0|0");
    StateRecord r = parse_state_record("5,2,3,4,1250.5,x,");
    EXPECT_EQ(r.prev, 0);
    EXPECT_DOUBLE_EQ(r.value, 1250.5);
}

TEST_F(StateLogTest, CsvHasBomHeaderLocalTimeNamesAndErr)
{
    copy_text(sensor_settings.onewire_temperature[4].name, "Rack A");
    copy_text(sensor_settings.digitalI[0].name, "Door");
    state_log_process("0,3,5,5,3050,1,");
    state_log_process("60,3,5,4,65535,5,");
    state_log_process("3600,1,1,3,0,1,");
    make_statelog(1);
    make_statelog(2);
    EXPECT_EQ(sb.read("/log/state_log/statelog_all.csv"),
              bom_header + "1970/01/01 09:00:00,1-Wire温度,Rack A,5,3050\n1970/01/01 09:01:00,1-Wire温度,Rack A,4,ERR\n");
    EXPECT_EQ(sb.read("/log/state_log/statelog_dio.csv"), bom_header + "1970/01/01 10:00:00,デジタル入出力,Door,3,0\n");
}

TEST_F(StateLogTest, EmptyRingGivesHeaderOnlyWhereverItsIndicesStand)
{
    for (int rw : {0, 37, 9999}) {
        all().r = all().w = rw;
        make_statelog(1);
        EXPECT_EQ(sb.read("/log/state_log/statelog_all.csv"), bom_header) << "r = w = " << rw;
    }
}

TEST_F(StateLogTest, WrappedRingExportsTheNewest9999OldestFirst)
{
    for (int i = 0; i < 10000; ++i) state_log_process(std::to_string(i) + ",2,1,5," + std::to_string(i) + ",1,");
    EXPECT_EQ(all().r, (all().w + 1) % 10000);
    make_statelog(1);
    std::string csv = sb.read("/log/state_log/statelog_all.csv");
    EXPECT_EQ(count_of(csv, "\n"), 1 + 9999);
    auto lines = lines_of(csv);
    EXPECT_EQ(lines[1], "1970/01/01 09:00:01,アナログ入力,,5,1");
    EXPECT_EQ(lines.back(), "1970/01/01 11:46:39,アナログ入力,,5,9999");
}

TEST_F(StateLogTest, ThreadDrainsInOrderAndSavesAtStop)
{
    std::thread th([] { state_log_thread(nullptr); });
    for (int i = 1; i <= 50; ++i) state_log.push("1700000000,2,1," + std::to_string(i % 8 + 1) + ",100,0,");
    ASSERT_TRUE(wait_until([&] { return std::atomic_ref<int32_t>(all().w).load() == 50; }, 5000));
    stop_running();
    th.join();
    for (int i = 0; i < 50; ++i) ASSERT_EQ(all().all[i].state, (i + 1) % 8 + 1) << "entry " << i;
    ASSERT_TRUE(sb.exists("/log/mmapfile_status"));
    std::string saved = sb.read("/log/mmapfile_status");
    ASSERT_EQ(saved.size(), sizeof(MONITOR_TABLE::Status_Log));
    const auto* copy = reinterpret_cast<const MONITOR_TABLE::Status_Log*>(saved.data());
    EXPECT_EQ(copy->all_status_log.w, 50);
}

TEST_F(StateLogTest, DamagedIndicesAreResetBeforeAppending)
{
    all().r = -5;
    all().w = 123456;
    state_log_process("1,2,1,5,100,1,");
    EXPECT_EQ(fields(all().r, all().w), "0|1");
}

TEST_F(StateLogTest, LabelsTakeTheNameOfTheRightRecord)
{
    copy_text(sensor_settings.digitalI[7].name, "Door");
    copy_text(sensor_settings.digitalO[0].name, "Fan");
    copy_text(sensor_settings.veloxa[0].t_name, "VT");
    copy_text(sensor_settings.veloxa[0].name, "V");
    EXPECT_EQ(state_log_str(1, 8), "デジタル入出力,Door");
    EXPECT_EQ(state_log_str(1, 9), "デジタル入出力,Fan");
    EXPECT_EQ(state_log_str(5, 1), "Veloxa温度,VT");
    EXPECT_EQ(state_log_str(7, 1), "Veloxa電池電圧,V");
    EXPECT_EQ(state_log_str(10, 1), "");
    // Ports outside the kind give the label alone rather than a stray name.
    EXPECT_EQ(state_log_str(3, 129), "1-Wire温度,");
    EXPECT_EQ(state_log_str(2, 0), "アナログ入力,");
    EXPECT_EQ(state_log_str(1, 17), "デジタル入出力,");
}

TEST_F(StateLogTest, PeriodicStatusLogSaveFollowsTheClockAndOnlyAfterRecords)
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

TEST_F(StateLogTest, ConcurrentStatusLogBackupsLeaveOneWholeCopy)
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
