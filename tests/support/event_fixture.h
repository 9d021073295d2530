// Shared set-up of the event pipeline tests: a sandbox with the simulated
// board opened, the four live tables mapped, cleared settings and queues.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common.h"
#include "events.h"
#include "record_text.h"
#include "sandbox.h"
#include "snmp.h"

class EventsTest : public ::testing::Test {
protected:
    TestSandbox sb{false};

    void SetUp() override
    {
        reset_run_flags();
        gpio1_open();
        gpio2_open();
        gpio3_open();
        monitor = new MONITOR_TABLE_CLASS();
        ASSERT_EQ(mmap_open(), 0) << "mmap_open in " << sb.root();
        monitor->initializeData();
        std::memset(monitor->status_log, 0, sizeof *monitor->status_log);
        std::memset(&sensor_settings, 0, sizeof sensor_settings);
        std::memset(&admin_settings, 0, sizeof admin_settings);
        reset_sensor_data();
        monitor->setDummyData();
        debug_mode = false;
        for (int& d : debug_inputs.dis) d = 0;
        for (auto* q : {&db_save, &mail_send, &mqtt_con, &state_log, &trap_que}) q->clear();
        ai_persistence_reset();
    }

    void TearDown() override
    {
        // As at the service's stop: relay pulses end before the tables go.
        stop_running();
        snmp_pulses_wait();
        mmap_close();
        gpio1_close();
        gpio2_close();
        gpio3_close();
        reset_run_flags();
    }

    static void reset_sensor_data()
    {
        auto reset = [](SETTINGS_TABLE::data_list& d) {
            d.alert_max = d.alert_min = d.caution_max = d.caution_min = 0;
            for (auto* l : {&d.alert_max_ls, &d.alert_min_ls, &d.caution_max_ls, &d.caution_min_ls})
                l->fill_zero(1440);
        };
        auto& s = sensor_data;
        for (auto* arr : {s.digitalI, s.digitalO, s.analog}) for (int i = 0; i < 8; ++i) reset(arr[i]);
        for (auto& d : s.onewire_temperature) reset(d);
        for (auto& d : s.onewire_humidity) reset(d);
        for (auto& d : s.veloxa_t) reset(d);
        for (auto& d : s.veloxa_h) reset(d);
        for (auto& d : s.kvt_nx40) reset(d);
    }

    MONITOR_TABLE::Sensor_condition& live() { return *monitor->sensor_condition; }
    int relay_line(int k) { return sb.gpio(2, BOARD::RELAY[k].line); }

    // Relay rule of an output: ON (or OFF) side for a kind, port selector and state bits.
    template <typename O>
    static void on_rule(O& o, int type, int sensor, int state)
    {
        o.ontype = type, o.onsensor = sensor, o.onstate = state, o.onenable = 1;
    }
    template <typename O>
    static void off_rule(O& o, int type, int sensor, int state)
    {
        o.offtype = type, o.offsensor = sensor, o.offstate = state, o.offenable = 1;
    }

    // Upper alert/caution and lower caution/alert levels with their clear levels.
    template <typename S>
    static void set_thresholds(S& s, int ua, int ua_c, int uc, int uc_c, int lc, int lc_c, int la, int la_c)
    {
        s.alert_max_val = ua, s.alert_max_clear = ua_c, s.caution_max_val = uc, s.caution_max_clear = uc_c;
        s.caution_min_val = lc, s.caution_min_clear = lc_c, s.alert_min_val = la, s.alert_min_clear = la_c;
    }
};

constexpr int OFF_MAX = SETTINGS_TABLE::THRESHOLD_OFF_MAX;
constexpr int OFF_MIN = SETTINGS_TABLE::THRESHOLD_OFF_MIN;
