// 1-Wire acquisition on the emulated adapters: the device search and its
// lists, the reading loop's values, filters, connection log lines and
// retries, the mail-report samples, and the pure rules behind them.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <set>
#include <thread>

#include "command.h"
#include "onewire.h"
#include "test_onewire_support.h"

using Clock = std::chrono::steady_clock;
using SETTINGS_TABLE::VALUE_ERROR;

namespace {

class OneWireAcq : public OneWireTest {
protected:
    void SetUp() override
    {
        OneWireTest::SetUp();
        monitor = new MONITOR_TABLE_CLASS();
        ASSERT_EQ(mmap_open(), 0);
        monitor->initializeData();
        std::memset(&sensor_settings, 0, sizeof sensor_settings);
        std::memset(&admin_settings, 0, sizeof admin_settings);
        std::memset(&report_struct, 0, sizeof report_struct);
        monitor->setDummyData();
        std::memset(onewire_state().temp_connect_flag, 1, sizeof onewire_state().temp_connect_flag);
        std::memset(onewire_state().humid_connect_flag, 1, sizeof onewire_state().humid_connect_flag);
        std::memset(onewire_state().tmp_err_cnt, 0, sizeof onewire_state().tmp_err_cnt);
        std::memset(onewire_state().hmd_err_cnt, 0, sizeof onewire_state().hmd_err_cnt);
        debug_mode = false;
        portnum_ok[0] = portnum_ok[1] = 0;
    }

    void TearDown() override
    {
        mmap_close();
        OneWireTest::TearDown();
    }

    static void enroll(SETTINGS_TABLE::Onewire_temperature& s, const std::string& id, bool enable = true)
    {
        copy_text(s.device_ID, id);
        s.enable = enable;
    }

    // The bus's reading loop as onewire_monitor runs it, `n` passes.
    void cycles(int bus, int n)
    {
        if (onewire_state().onewire_portnum[bus] < 0 || !owPortInfo(onewire_state().onewire_portnum[bus]).open) {
            onewire_state().onewire_portnum[bus] = owAcquireEx(port_path(bus).c_str());
            ASSERT_GE(onewire_state().onewire_portnum[bus], 0);
        }
        portnum_ok[bus] = 1;
        for (int k = 0; k < n; ++k) onewire_cycle(bus);
    }

    int temp(int sensor) { return monitor->sensor_condition->onewire_temperature[sensor - 1].value; }
    int humid(int sensor) { return monitor->sensor_condition->onewire_humidity[sensor - 1].value; }
    // Whole lines only: "CH :1" must not count "CH :10".
    int log_count(const std::string& line) { return count_of(sb.applog(), line + "\n"); }
    std::vector<std::string> list(const std::string& path) { return lines_of(sb.read(path)); }
};

}  // namespace

TEST_F(OneWireAcq, RegisteredProbesReadInHundredthsAndAnAbsentOneLogsOnce)
{
    const Rom b20 = add(simow::DS18B20, 0x101, 2537);
    const Rom s20 = add(simow::DS18S20, 0x102, -500);
    const Rom hum = add(simow::DS2450, 0x103, 5500);
    Rom absent;
    simow::make_rom(simow::DS18B20, 0x999, absent.b);
    auto& t = sensor_settings.onewire_temperature;
    enroll(t[0], b20.id());
    std::string upper = s20.id();
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    enroll(t[1], upper);  // identifiers compare without case
    enroll(t[2], absent.id());
    enroll(t[3], b20.id(), false);
    enroll(sensor_settings.onewire_humidity[0], hum.id());
    admin_settings.mail_report[0].mailreport_enable = 1;
    onewire_state().onewire_portnum[0] = -1;

    cycles(0, 2);
    EXPECT_EQ(temp(1), 2537);
    EXPECT_EQ(temp(2), -500);
    EXPECT_EQ(humid(1), 5500);
    EXPECT_EQ(temp(3), VALUE_ERROR);
    EXPECT_EQ(temp(4), VALUE_ERROR) << "disabled";
    EXPECT_EQ(log_count("> Failed to connect 1-wire(temp) CH :3"), 1) << "once, not once per pass";
    EXPECT_EQ(log_count("Failed to connect 1-wire(temp) CH :1"), 0);

    // Mail-report samples of this bus's enabled probes with a reading.
    const auto& rep = report_struct.mailreport[0];
    EXPECT_EQ(rep.onewire_temperature[0].num, 2);
    EXPECT_EQ(rep.onewire_temperature[1].min, -500);
    EXPECT_EQ(rep.onewire_humidity[0].max, 5500);
    EXPECT_EQ(rep.onewire_temperature[2].num, 0) << "no reading, no sample";
    EXPECT_EQ(rep.onewire_temperature[3].num, 0) << "disabled";

    // The absent probe plugged in: one success line, then its reading.
    ASSERT_GE(simow::add_probe(st.st, 0, simow::DS18B20, absent.b, 1875), 0);
    cycles(0, 1);
    EXPECT_EQ(temp(3), 1875);
    EXPECT_EQ(log_count("> Success to connect 1-wire(temp) CH :3"), 1);
}

TEST_F(OneWireAcq, OutlierIsLoggedAndNotStoredAndAJumpIsTakenOnTheSixthReading)
{
    const Rom r = add(simow::DS18B20, 0x201, 2000);
    enroll(sensor_settings.onewire_temperature[0], r.id());
    onewire_state().onewire_portnum[0] = -1;
    cycles(0, 1);
    ASSERT_EQ(temp(1), 2000);

    probe(r).value = 8100;
    cycles(0, 1);
    EXPECT_EQ(temp(1), 2000);
    EXPECT_EQ(log_count("> 1-wire(temp) got outlier 8100 CH :1"), 1);

    probe(r).value = 5100;
    for (int reading = 1; reading <= 5; ++reading) {
        cycles(0, 1);
        EXPECT_EQ(temp(1), 2000) << "jump reading " << reading;
    }
    cycles(0, 1);
    EXPECT_EQ(temp(1), 5100) << "sixth consecutive jump reading";
}

TEST_F(OneWireAcq, FilterRules)
{
    using ONEWIRE::HUMID;
    using ONEWIRE::TEMP;
    struct Case {
        int kind, value, stored, jumps_before;
        OwVerdict verdict;
        int jumps_after;
    } cases[] = {
        {TEMP, 8000, 7900, 0, OwVerdict::TAKEN, 0},
        {TEMP, 8001, 7900, 0, OwVerdict::OUTLIER, 0},
        {TEMP, -2000, -1990, 2, OwVerdict::TAKEN, 0},
        {TEMP, -2001, -1990, 2, OwVerdict::OUTLIER, 2},  // outliers leave the count alone
        {TEMP, 5100, 2000, 0, OwVerdict::HELD, 1},
        {TEMP, 5100, 2000, 4, OwVerdict::HELD, 5},
        {TEMP, 5100, 2000, 5, OwVerdict::TAKEN, 0},
        {TEMP, 4999, 2000, 3, OwVerdict::TAKEN, 0},  // 2999 is not yet a jump
        {TEMP, 7000, VALUE_ERROR, 3, OwVerdict::TAKEN, 0},
        {HUMID, 10000, 9000, 0, OwVerdict::TAKEN, 0},
        {HUMID, 10001, 9000, 0, OwVerdict::OUTLIER, 0},
        {HUMID, -5000, 1000, 0, OwVerdict::HELD, 1},  // no lower limit for humidity
    };
    for (const auto& c : cases) {
        int jumps = c.jumps_before;
        EXPECT_EQ(ow_filter(c.kind, c.value, c.stored, jumps), c.verdict) << c.kind << " " << c.value;
        EXPECT_EQ(jumps, c.jumps_after) << c.kind << " " << c.value;
    }
}

TEST_F(OneWireAcq, RetriesMakeRetryNumPlusOneAttemptsWithTheIntervalBetween)
{
    const Rom t = add(simow::DS18B20, 0x301, 2200);
    const Rom h = add(simow::DS2450, 0x302, 4000);
    auto& oc = admin_settings.onewire_conf;
    oc.onewire_temp_retry_num = 2;
    oc.onewire_temp_retry_interval = 300;
    oc.onewire_temp_retry_log_enable = 1;
    oc.onewire_humid_retry_num = 2;
    oc.onewire_humid_retry_interval = 100;
    oc.onewire_humid_retry_log_enable = 1;
    enroll(sensor_settings.onewire_temperature[0], t.id());
    enroll(sensor_settings.onewire_humidity[0], h.id());
    onewire_state().onewire_portnum[0] = owAcquireEx(port_path(0).c_str());
    ASSERT_GE(onewire_state().onewire_portnum[0], 0);
    portnum_ok[0] = 1;

    // Every reply corrupted: each attempt reads the scratchpad twice (its
    // own CRC retry), then starts a conversion and waits for it.
    Rom rom = t;
    probe(t).corrupt = 1000;
    int v = 0;
    auto t0 = Clock::now();
    EXPECT_EQ(owValGet(ONEWIRE::TEMP, rom.b, &v, 1, 0), 0);
    const double took = std::chrono::duration<double>(Clock::now() - t0).count();
    EXPECT_EQ(probe(t).reads, 6u) << "three attempts";
    EXPECT_GE(took, 2 * 0.3 + 3 * 0.8) << "two intervals and three conversion waits";
    EXPECT_EQ(log_count("> 2 retries occurred on 1-wire(temp) connection. CH : 1"), 1);

    // A corruption that clears on the second attempt: a reading, one retry logged.
    probe(t).corrupt = 2;
    EXPECT_EQ(owValGet(ONEWIRE::TEMP, rom.b, &v, 1, 0), 1);
    EXPECT_EQ(v, 2200);
    EXPECT_EQ(log_count("> 1 retries occurred on 1-wire(temp) connection. CH : 1"), 1);

    branch(0, false);
    Rom hr = h;
    probe(h).corrupt = 1000;
    EXPECT_EQ(owValGet(ONEWIRE::HUMID, hr.b, &v, 1, 0), 0);
    EXPECT_EQ(probe(h).reads, 3u);
    EXPECT_EQ(log_count("> 2 retries occurred on 1-wire(humid) connection. CH : 1"), 1);

    // Retries off: one attempt and no retry line.
    oc.onewire_temp_retry_num = 0;
    branch(0, true);
    probe(t).corrupt = 1000;
    probe(t).reads = 0;
    EXPECT_EQ(owValGet(ONEWIRE::TEMP, rom.b, &v, 1, 0), 0);
    EXPECT_EQ(probe(t).reads, 2u);
    oc.onewire_temp_retry_num = -1;
    EXPECT_EQ(owValGet(ONEWIRE::TEMP, rom.b, &v, 1, 0), 0);
    EXPECT_EQ(probe(t).reads, 2u) << "a negative count reads nothing";
}

TEST_F(OneWireAcq, RetryWaitEndsEarlyOnAStopOrADisabledProbe)
{
    sensor_settings.onewire_temperature[4].enable = true;
    sensor_settings.onewire_humidity[2].enable = true;
    EXPECT_EQ(owRetryInterval(0, 1, 4), 0);
    auto t0 = Clock::now();
    EXPECT_EQ(owRetryInterval(250, 0, 2), 0);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(250));

    // Disabled the way the web UI does it, from the command thread.
    std::thread disable([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        apply_settings_command({"15", "5", "", "0"});
    });
    t0 = Clock::now();
    EXPECT_EQ(owRetryInterval(20000, 1, 4), 1);
    disable.join();
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(1000));

    std::thread stop([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        stop_running();
    });
    t0 = Clock::now();
    EXPECT_EQ(owRetryInterval(20000, 0, 2), 1);
    stop.join();
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(1000));
}

TEST_F(OneWireAcq, SearchListsUnregisteredDevicesKeepsAtMost80AndSkipsOtherFamilies)
{
    std::set<std::string> added;
    for (int i = 0; i < 82; ++i) added.insert(add(simow::DS18B20, 0x400 + static_cast<uint64_t>(i) * 37, 2100).id());
    const Rom stray = add(simow::DS2450, 0x500, 3000);
    bus(0).probes[simow::find_probe(st.st, 0, stray.b)].branch = simow::TEMP_BRANCH;  // a converter on the wrong branch
    const Rom hum = add(simow::DS2450, 0x501, 3000);
    const std::string first = *added.begin();
    enroll(sensor_settings.onewire_temperature[5], first);
    enroll(sensor_settings.onewire_temperature[70], *std::next(added.begin()));  // a bus 1 probe: no match on bus 0

    ASSERT_EQ(onewire_deviceserch(0, 1), 1);
    EXPECT_EQ(onewire_state().temp_devnumIDs[0], ONEWIRE::SEARCH_MAX);
    std::vector<std::string> listed = list("/tmp/onewiretemp1.txt");
    std::set<std::string> kept;
    for (int i = 0; i < onewire_state().temp_devnumIDs[0]; ++i) kept.insert(ow_rom_to_id(onewire_state().tempIDs[0][i]));
    EXPECT_EQ(kept.size(), 80u);
    for (const auto& id : kept) EXPECT_TRUE(added.count(id)) << id;
    EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()).size(), listed.size()) << "no duplicates";
    EXPECT_EQ(listed.size(), kept.size() - kept.count(first));
    EXPECT_EQ(std::count(listed.begin(), listed.end(), first), 0) << "registered on bus 0";
    EXPECT_EQ(std::count(listed.begin(), listed.end(), stray.id()), 0) << "DS2450s are not thermometers";

    ASSERT_EQ(onewire_deviceserch(0, 0), 1);
    EXPECT_EQ(onewire_state().humi_devnumIDs[0], 1);
    EXPECT_EQ(list("/tmp/onewirehumid1.txt"), std::vector<std::string>{hum.id()});
    // The search wrote the converter's control image: 16 bits, 2.56 V, no alarms.
    const int port = owAcquireEx(port_path(0).c_str());
    ASSERT_GE(port, 0) << sb.read("/sim/syslog.log") << ::testing::PrintToString(errors());
    uint8_t page[8];
    ASSERT_EQ(ReadDS2450Results(port, 0, hum.b, page), 1) << sb.read("/sim/syslog.log") << ::testing::PrintToString(errors());
    EXPECT_EQ(std::count(page, page + 8, 0), 8);
    owRelease(port);

    // Registered, the converter drops off the list at the next search.
    enroll(sensor_settings.onewire_humidity[0], hum.id());
    ASSERT_EQ(onewire_deviceserch(0, 0), 1);
    EXPECT_TRUE(list("/tmp/onewirehumid1.txt").empty());

    bus(1).unplugged = 1;
    EXPECT_EQ(onewire_deviceserch(1, 1), 0);
    EXPECT_EQ(log_count("> 1-wire ser initialize fault temp."), 1);
    EXPECT_EQ(onewire_deviceserch(1, 1), 0);
    EXPECT_EQ(log_count("> 1-wire ser initialize fault temp."), 1) << "once while the adapter stays away";
}

TEST_F(OneWireAcq, IdentifiersConvertToRomCodesTwoDigitsAByte)
{
    struct Case {
        const char* text;
        uint8_t rom[8];
    } cases[] = {
        {"a2000000001cb802", {0x02, 0xB8, 0x1C, 0x00, 0x00, 0x00, 0x00, 0xA2}},
        {"a2000000001cb80201", {0x02, 0xB8, 0x1C, 0x00, 0x00, 0x00, 0x00, 0xA2}},  // 16 digits at most
        {"28ff", {0, 0, 0, 0, 0, 0, 0xFF, 0x28}},  // the rest of a short one is 0
        {"281", {0, 0, 0, 0, 0, 0, 0x01, 0x28}},
        {"", {0, 0, 0, 0, 0, 0, 0, 0}},
        {"zz28", {0, 0, 0, 0, 0, 0, 0x28, 0x00}},
        {"2z", {0, 0, 0, 0, 0, 0, 0, 0x02}},  // a pair stops at its first non-digit
    };
    for (const auto& c : cases) {
        unsigned char rom[8];
        std::memset(rom, 0xEE, 8);
        ow_id_to_rom(c.text, rom);
        EXPECT_EQ(std::memcmp(rom, c.rom, 8), 0) << c.text;
    }
    EXPECT_EQ(xtoi("  1f!"), 0x1Fu);
}

TEST_F(OneWireAcq, SelectorCodesDriveTheirLines)
{
    using namespace BOARD;
    constexpr int CHIP = 2;
    struct Case {
        int code, line_on, line_off;
    } cases[] = {
        {0x20000, ONEWIRE_TEMP_BRANCH[0].line, ONEWIRE_HUMID_BRANCH[0].line},
        {0x40000, ONEWIRE_HUMID_BRANCH[0].line, ONEWIRE_TEMP_BRANCH[0].line},
        {0x200000, ONEWIRE_TEMP_BRANCH[1].line, ONEWIRE_HUMID_BRANCH[1].line},
        {0x400000, ONEWIRE_HUMID_BRANCH[1].line, ONEWIRE_TEMP_BRANCH[1].line},
        {0x10000, ONEWIRE_POWER[0].line, -1},
        {0x100000, ONEWIRE_POWER[1].line, -1},
    };
    for (const auto& c : cases) {
        sb.set_gpio(CHIP, c.line_on, 0);
        if (c.line_off >= 0) sb.set_gpio(CHIP, c.line_off, 1);
        const auto t0 = Clock::now();
        EXPECT_EQ(onewire_change_switch(c.code), 0);
        EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(100));
        EXPECT_EQ(sb.gpio(CHIP, c.line_on), 1) << std::hex << c.code;
        if (c.line_off >= 0) {
            EXPECT_EQ(sb.gpio(CHIP, c.line_off), 0) << std::hex << c.code;
        }
    }
    sb.set_gpio(CHIP, ONEWIRE_TEMP_BRANCH[0].line, 1);
    EXPECT_EQ(onewire_change_switch(0x12345), 0);
    EXPECT_EQ(sb.gpio(CHIP, ONEWIRE_TEMP_BRANCH[0].line), 1) << "an unknown code changes nothing";
}

TEST_F(OneWireAcq, ReadingLoopWithoutItsAdapterShowsNoValuesAndLogsOnce)
{
    const Rom r = add(simow::DS18B20, 0x601, 2300);
    enroll(sensor_settings.onewire_temperature[0], r.id());
    onewire_state().onewire_portnum[0] = -1;
    cycles(0, 1);
    ASSERT_EQ(temp(1), 2300);
    owRelease(onewire_state().onewire_portnum[0]);

    bus(0).unplugged = 1;
    onewire_monitor(0);
    onewire_monitor(0);
    EXPECT_EQ(temp(1), VALUE_ERROR) << "not the last reading shown as live";
    EXPECT_EQ(onewire_state().onewire_bus_down[0].load(), 1);
    EXPECT_EQ(log_count("> Error:1-Wire open error."), 1);
    EXPECT_EQ(log_count("> Failed to connect 1-wire(temp) CH :1"), 1);

    // Simulation file values, as the service writes the file from the live
    // table, are hundredths already.
    monitor->sensor_condition->onewire_temperature[0].value = 2537;
    monitor->sensor_condition->onewire_humidity[0].value = 5512;
    ASSERT_EQ(make_debug_file(), 0);
    monitor->sensor_condition->onewire_temperature[0].value = VALUE_ERROR;
    monitor->sensor_condition->onewire_humidity[0].value = VALUE_ERROR;
    enroll(sensor_settings.onewire_humidity[0], "");
    dispatch_command({"61", "2"});
    ASSERT_TRUE(debug_mode);
    bus(0).unplugged = 0;
    onewire_state().onewire_portnum[0] = -1;
    cycles(0, 1);
    EXPECT_EQ(temp(1), 2537);
    EXPECT_EQ(humid(1), 5512);
    EXPECT_EQ(count_of(sb.applog(), "outlier"), 0) << sb.applog();
}

TEST_F(OneWireAcq, LostAdapterEmptiesEveryProbeOfItsBusWithinThreeSeconds)
{
    const char* failed[] = {"> Failed to connect 1-wire(temp) CH :1", "> Failed to connect 1-wire(temp) CH :2",
                            "> Failed to connect 1-wire(humid) CH :1"};
    enroll(sensor_settings.onewire_temperature[0], add(simow::DS18B20, 0x701, 2100).id());
    enroll(sensor_settings.onewire_temperature[1], add(simow::DS18S20, 0x702, 2200).id());
    enroll(sensor_settings.onewire_humidity[0], add(simow::DS2450, 0x703, 4500).id());
    onewire_state().onewire_portnum[0] = -1;
    cycles(0, 1);
    ASSERT_EQ(temp(2), 2200);

    // The factory retries (30 at 1000 ms); the adapter pulled during the
    // conversion wait, before the first probe is read.
    auto& oc = admin_settings.onewire_conf;
    oc.onewire_temp_retry_num = oc.onewire_humid_retry_num = 30;
    oc.onewire_temp_retry_interval = oc.onewire_humid_retry_interval = 1000;
    const uint32_t resets = bus(0).resets;
    bool kept_adapter = true;
    std::thread pass([&] { kept_adapter = onewire_cycle(0); });
    ASSERT_TRUE(wait_until([&] { return bus(0).resets != resets; }, 2000));
    bus(0).unplugged = 1;
    const auto t0 = Clock::now();
    const bool emptied =
        wait_until([&] { return temp(1) == VALUE_ERROR && temp(2) == VALUE_ERROR && humid(1) == VALUE_ERROR; }, 3000);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    portnum_ok[0] = 0;  // ends a pass still retrying
    pass.join();
    EXPECT_TRUE(emptied) << temp(1) << " " << temp(2) << " " << humid(1) << " after " << took << " ms";
    EXPECT_FALSE(kept_adapter) << "the pass ends: the bus goes back to detecting its adapter";
    for (const char* line : failed) EXPECT_EQ(log_count(line), 1) << line;
}

TEST_F(OneWireAcq, Ds2450ThatDropsOffAndComesBackGetsItsControlPageWrittenAgain)
{
    const Rom h = add(simow::DS2450, 0x801, 5537);
    enroll(sensor_settings.onewire_humidity[0], h.id());
    ASSERT_EQ(onewire_deviceserch(0, 0), 1);
    onewire_state().onewire_portnum[0] = -1;
    cycles(0, 1);
    ASSERT_EQ(humid(1), 5537) << "16 bits at 2.56 V";

    // Off the bus for a pass, then back at its power-on settings (8 bits,
    // alarms on, power-on flag) until the control page is written again.
    probe(h).mute = 1;
    cycles(0, 1);
    ASSERT_EQ(humid(1), VALUE_ERROR);
    probe(h).mute = 0;
    cycles(0, 1);
    EXPECT_EQ(humid(1), 5537) << "5400 is the same probe read at 8 bits";
    uint8_t page[8];
    ASSERT_EQ(ReadDS2450Results(onewire_state().onewire_portnum[0], 0, h.b, page), 1);
    EXPECT_EQ(std::count(page, page + 8, 0), 8);
}
