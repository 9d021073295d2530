// Sweep time of one 1-Wire bus with 64 temperature and 8 humidity probes,
// the emulated DS2480B keeping real byte timing at 9600 baud and the
// devices their conversion times; and the time from a pulled adapter to
// 65535 on every probe of the bus, for 8 and 64 probes. Prints figures,
// judges nothing.
//
// The reference is the figure quoted for a widely used 1-Wire server on this
// adapter: about 0.7 s per uncached probe read (it converts per read).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "common.h"
#include "lib1wire/ownet.h"
#include "onewire.h"
#include "board_lines.h"
#include "platform.h"
#include "sandbox.h"
#include "sim_ds2480.h"
#include "sim_onewire_state.h"

using Clock = std::chrono::steady_clock;

namespace {

constexpr int TEMPS = 64;
constexpr int HUMIDS = 8;
constexpr int PASSES = 3;
constexpr double REFERENCE_S_PER_PROBE = 0.7;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Pulls the adapter of bus 0 while a reading pass runs over the first
// `probes` thermometers (the rest disabled), with the factory retries, and
// returns the milliseconds until every probe of the bus shows 65535 (-1:
// not within 20 s). The pass is pulled `at`: 0 during the conversion wait,
// 1 once half the probes were read. The adapter is plugged back and
// acquired again afterwards.
long pulled_adapter_ms(simow::Mapping& st, int& port, int probes, int at)
{
    for (int i = 0; i < TEMPS; ++i) sensor_settings.onewire_temperature[i].enable = i < probes;
    for (int i = 0; i < HUMIDS; ++i) sensor_settings.onewire_humidity[i].enable = false;
    auto& oc = admin_settings.onewire_conf;
    oc.onewire_temp_retry_num = oc.onewire_humid_retry_num = 30;
    oc.onewire_temp_retry_interval = oc.onewire_humid_retry_interval = 1000;
    volatile simow::Bus& bus = st.st->bus[0];
    auto all_gone = [&] {
        for (int i = 0; i < TEMPS; ++i)
            if (monitor->sensor_condition->onewire_temperature[i].value != SETTINGS_TABLE::VALUE_ERROR) return false;
        return true;
    };
    portnum_ok[0] = 1;
    onewire_cycle(0);  // every probe with its reading first

    const uint32_t resets = bus.resets;
    volatile uint32_t& half = bus.probes[probes / 2].reads;
    const uint32_t half_reads = half;
    std::thread pass([] { onewire_cycle(0); });
    while (at == 0 ? bus.resets == resets : half == half_reads) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    bus.unplugged = 1;
    const auto t0 = Clock::now();
    long ms = -1;
    while (seconds_since(t0) < 20) {
        if (all_gone()) {
            ms = static_cast<long>(seconds_since(t0) * 1000);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    portnum_ok[0] = 0;  // ends a pass that is still retrying
    pass.join();
    bus.unplugged = 0;
    owRelease(port);
    port = owAcquireEx(kvt_path("/dev/ttyS5").c_str());
    onewire_state().onewire_portnum[0] = port;
    oc.onewire_temp_retry_num = oc.onewire_humid_retry_num = 0;
    return ms;
}

}  // namespace

int main()
{
    TestSandbox sb(false);
    gpio2_open();
    std::string err;
    simow::Mapping st;
    if (!simow::state_map(sb.root(), st, err)) {
        std::fprintf(stderr, "onewire_bench: %s\n", err.c_str());
        return 1;
    }
    sb.set_gpio(BOARD::ONEWIRE_POWER[0].chip, BOARD::ONEWIRE_POWER[0].line, 1);
    simow::Adapter adapter(sb.root(), 0);
    if (!adapter.start(err)) {
        std::fprintf(stderr, "onewire_bench: %s\n", err.c_str());
        return 1;
    }
    st.st->bus[0].real_timing = 1;

    monitor = new MONITOR_TABLE_CLASS();
    if (mmap_open() != 0) return 1;
    monitor->initializeData();
    monitor->setDummyData();
    std::memset(onewire_state().temp_connect_flag, 1, sizeof onewire_state().temp_connect_flag);
    std::memset(onewire_state().humid_connect_flag, 1, sizeof onewire_state().humid_connect_flag);
    for (int i = 0; i < TEMPS + HUMIDS; ++i) {
        const bool t = i < TEMPS;
        uint8_t rom[8];
        simow::make_rom(t ? simow::DS18B20 : simow::DS2450, 0x1000 + static_cast<uint64_t>(i), rom);
        simow::add_probe(st.st, 0, t ? simow::DS18B20 : simow::DS2450, rom, t ? 2000 + i * 25 : 4000 + (i - TEMPS) * 100);
        auto& s = t ? sensor_settings.onewire_temperature[i] : sensor_settings.onewire_humidity[i - TEMPS];
        copy_text(s.device_ID, simow::rom_text(rom));
        s.enable = true;
    }
    auto& oc = admin_settings.onewire_conf;
    oc.onewire_temp_retry_num = oc.onewire_humid_retry_num = 0;

    std::printf("1-Wire sweep, one bus, %d DS18B20 + %d DS2450, emulated DS2480B at 9600 baud (real timing)\n",
                TEMPS, HUMIDS);
    auto t0 = Clock::now();
    onewire_deviceserch(0, 1);
    const double search_t = seconds_since(t0) - 0.6;  // without the selector and closing waits
    t0 = Clock::now();
    onewire_deviceserch(0, 0);
    const double search_h = seconds_since(t0) - 0.6;
    std::printf("  search, temperature branch: %.2f s for %d devices\n", search_t, onewire_state().temp_devnumIDs[0]);
    std::printf("  search, humidity branch:    %.2f s for %d devices (control pages written)\n", search_h,
                onewire_state().humi_devnumIDs[0]);

    int port = owAcquireEx(kvt_path("/dev/ttyS5").c_str());
    if (port < 0) {
        std::fprintf(stderr, "onewire_bench: no adapter\n");
        return 1;
    }
    onewire_state().onewire_portnum[0] = port;
    portnum_ok[0] = 1;

    std::vector<double> sweeps, reads, cycles;
    int wrong = 0;
    for (int pass = 0; pass < PASSES; ++pass) {
        // The sweep: one conversion of every thermometer, its wait, every
        // probe read once.
        onewire_change_switch(ONEWIRE::SW_TEMP[0]);
        t0 = Clock::now();
        TemperatureConvertStart(port);
        msDelay(800);
        const auto r0 = Clock::now();
        for (int i = 0; i < TEMPS; ++i) {
            unsigned char rom[8];
            int v = 0;
            get_temp_deviceID(i, rom);
            if (!owValGet(ONEWIRE::TEMP, rom, &v, i + 1, 0) || v != 2000 + i * 25) ++wrong;
        }
        double read_s = seconds_since(r0);
        const double temp_part = seconds_since(t0);
        onewire_change_switch(ONEWIRE::SW_HUMID[0]);
        const auto h0 = Clock::now();
        for (int i = 0; i < HUMIDS; ++i) {
            unsigned char rom[8];
            int v = 0;
            get_humid_deviceID(i, rom);
            if (!owValGet(ONEWIRE::HUMID, rom, &v, i + 1, 0) || v != 4000 + i * 100) ++wrong;
        }
        const double humid_part = seconds_since(h0);
        read_s += humid_part;
        sweeps.push_back(temp_part + humid_part);
        reads.push_back(read_s);

        // One whole pass of the reading loop, with its selector waits.
        t0 = Clock::now();
        onewire_cycle(0);
        cycles.push_back(seconds_since(t0));
    }
    for (int i = 0; i < TEMPS; ++i)
        if (monitor->sensor_condition->onewire_temperature[i].value != 2000 + i * 25) ++wrong;

    const double sweep = median(sweeps), read = median(reads), cycle = median(cycles);
    const double reference = (TEMPS + HUMIDS) * REFERENCE_S_PER_PROBE;
    std::printf("  sweep (conversion, 800 ms wait, %d reads): %.2f s   [target under 3 s]\n", TEMPS + HUMIDS, sweep);
    std::printf("  reads alone: %.2f s, %.1f ms per probe\n", read, read * 1000 / (TEMPS + HUMIDS));
    std::printf("  reading-loop pass with its selector waits (0.3 s): %.2f s\n", cycle);
    std::printf("  reference server, %.1f s per uncached read: %.1f s; sweep ratio %.1fx faster\n",
                REFERENCE_S_PER_PROBE, reference, reference / sweep);
    std::printf("  wrong or missing readings: %d\n", wrong);

    std::printf("  adapter pulled, factory retries (30 at 1 s): until 65535 on every probe of the bus\n");
    for (int probes : {8, 64}) {
        const long in_wait = pulled_adapter_ms(st, port, probes, 0);
        const long in_reads = pulled_adapter_ms(st, port, probes, 1);
        std::printf("    %2d probes: %ld ms pulled during the conversion wait, %ld ms pulled halfway through "
                    "the reads   [target under 3000 ms]\n",
                    probes, in_wait, in_reads);
        if (in_wait < 0 || in_reads < 0 || port < 0) ++wrong;
    }
    owRelease(port);
    mmap_close();
    adapter.stop();
    simow::state_unmap(st);
    return wrong == 0 ? 0 : 1;
}
