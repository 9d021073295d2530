// Shared set-up of the 1-Wire tests: a sandbox with the simulated board, the
// emulated DS2480B adapter of each bus on its pseudo-terminal, and probes
// added straight into the emulator's state file.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "common.h"
#include "lib1wire/ownet.h"
#include "board_lines.h"
#include "sandbox.h"
#include "sim_ds2480.h"
#include "sim_onewire_state.h"

struct Rom {
    uint8_t b[8];
    std::string id() const { return simow::rom_text(b); }
    bool operator==(const Rom& o) const { return std::memcmp(b, o.b, 8) == 0; }
    bool operator<(const Rom& o) const { return std::memcmp(b, o.b, 8) < 0; }
};

class OneWireTest : public ::testing::Test {
protected:
    TestSandbox sb{false};
    simow::Mapping st;
    std::unique_ptr<simow::Adapter> adapter[2];

    void SetUp() override
    {
        reset_run_flags();
        owClearErrors();
        gpio2_open();
        std::string err;
        ASSERT_TRUE(simow::state_map(sb.root(), st, err)) << err;
        for (int bus = 0; bus < 2; ++bus) {
            sb.set_gpio(BOARD::ONEWIRE_POWER[bus].chip, BOARD::ONEWIRE_POWER[bus].line, 1);
            sb.set_gpio(BOARD::ONEWIRE_TEMP_BRANCH[bus].chip, BOARD::ONEWIRE_TEMP_BRANCH[bus].line, 1);
            adapter[bus] = std::make_unique<simow::Adapter>(sb.root(), bus);
            ASSERT_TRUE(adapter[bus]->start(err)) << err;
        }
    }

    void TearDown() override
    {
        for (int p = 0; p < MAX_PORTNUM; ++p) owRelease(p);
        for (auto& a : adapter) a.reset();
        simow::state_unmap(st);
        gpio2_close();
        reset_run_flags();
    }

    std::string port_path(int bus) const { return sb.path(simow::Adapter::port_path(bus)); }
    volatile simow::Bus& bus(int b) { return st.st->bus[b]; }

    Rom add(simow::Kind k, uint64_t serial, int32_t value, int b = 0)
    {
        Rom r;
        simow::make_rom(k, serial, r.b);
        EXPECT_GE(simow::add_probe(st.st, b, k, r.b, value), 0) << r.id();
        return r;
    }
    volatile simow::Probe& probe(const Rom& r, int b = 0) { return bus(b).probes[simow::find_probe(st.st, b, r.b)]; }

    void branch(int b, bool temp)
    {
        sb.set_gpio(BOARD::ONEWIRE_TEMP_BRANCH[b].chip, BOARD::ONEWIRE_TEMP_BRANCH[b].line, temp ? 1 : 0);
        sb.set_gpio(BOARD::ONEWIRE_HUMID_BRANCH[b].chip, BOARD::ONEWIRE_HUMID_BRANCH[b].line, temp ? 0 : 1);
    }

    // Every error on the stack, newest first; the stack is left empty.
    static std::vector<int> errors()
    {
        std::vector<int> e;
        while (int c = owGetErrorNum()) e.push_back(c);
        return e;
    }
    static bool raised(int code)
    {
        for (int c : errors())
            if (c == code) return true;
        return false;
    }
};
