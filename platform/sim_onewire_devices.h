// Emulated 1-Wire devices at the level of time slots, and the bus they hang
// on. A slot is what the master puts on the wire (1 = release, 0 = pull
// low); every device that takes part says what it drives, the line is the
// wired AND of all, and every device then sees the line. This is enough for
// resets with presence, ROM commands (read, match, skip, search, alarm
// search, overdrive skip and match), DS18B20/DS18S20 scratchpads and
// conversions and DS2450 memory pages and conversions.
#pragma once

#include <cstdint>
#include <memory>

#include "sim_onewire_state.h"

namespace simow {

enum Speed { REGULAR = 0, OVERDRIVE = 1 };

// Microseconds on a monotonic clock; conversions complete against it.
int64_t now_us();

class Device {
public:
    explicit Device(volatile Probe* rec);
    virtual ~Device() = default;

    const uint8_t* rom() const { return rom_; }
    // A reset pulse at `speed`: false when the device does not answer it
    // (it is not at that speed). The device then waits for a ROM command.
    bool reset(Speed speed);
    // Takes part in a slot at `speed`: false when it does not hear it.
    bool hears(Speed speed) const { return phase_ != IDLE && (speed == OVERDRIVE) == od_; }
    int drive() const;
    void sample(int level);
    // Drops out until the next reset (disconnected, or another device chosen).
    void go_idle() { phase_ = IDLE; }
    // Back to the state the device powers up in.
    virtual void power_on();
    // With real timing (the flag is the bus's), conversions take their
    // datasheet time; otherwise they are done at once.
    void set_timing_flag(const volatile uint8_t* real) { real_ = real; }

protected:
    virtual void function_command(uint8_t cmd) = 0;
    virtual void rx_byte(uint8_t) {}
    virtual void tx_done() {}
    virtual int idle_bit() const { return 1; }
    virtual bool alarm() const { return false; }
    virtual bool overdrive_capable() const { return false; }

    // Queues bytes to send in read slots; with `reply`, a pending corruption
    // of the probe flips a bit of the first byte.
    void send(const uint8_t* p, int n, bool reply = false);
    void receive() { sub_ = RX; }
    void hold() { sub_ = HOLD; }  // read slots see idle_bit()
    bool real_timing() const { return real_ && *real_; }

    volatile Probe* rec_;

private:
    const volatile uint8_t* real_ = nullptr;
    enum Phase { IDLE, ROM_CMD, MATCH, SEARCH, FUNCTION };
    enum Sub { RX, TX, HOLD };
    void rom_command(uint8_t cmd);
    // One ROM bit of a match or search as the line shows it.
    void rom_bit(int level);
    void bit_in(int level);

    uint8_t rom_[8];
    Phase phase_ = IDLE;
    Sub sub_ = RX;
    bool od_ = false;
    bool first_function_byte_ = true;
    int bitpos_ = 0;      // ROM bit for match/search, bit of the byte being received
    int search_step_ = 0;  // 0 id bit, 1 complement, 2 direction
    uint8_t rx_ = 0;
    uint8_t tx_[48] = {};
    int tx_len_ = 0;
    int tx_bit_ = 0;
};

// DS18B20 (12-bit signed count of 1/16 degree, configuration register) and
// DS18S20 (half degrees with count remaining and counts per degree).
class Thermometer : public Device {
public:
    Thermometer(volatile Probe* rec, bool s20);
    void power_on() override;
    // Scratchpad bytes 0-7 for a temperature in hundredths of a degree.
    static void encode_b20(int hundredths, uint8_t config, uint8_t sp[8]);
    static void encode_s20(int hundredths, uint8_t sp[8]);

protected:
    void function_command(uint8_t cmd) override;
    void rx_byte(uint8_t b) override;
    int idle_bit() const override;
    bool alarm() const override;

private:
    void finish_conversion();
    bool s20_;
    uint8_t sp_[9] = {};
    uint8_t eeprom_[3] = {};  // TH, TL, configuration
    bool converting_ = false;
    int64_t done_at_ = 0;
    int32_t converting_value_ = 0;
    int write_pos_ = -1;
    bool power_flag_ = false;  // in read-power-supply: read slots show 1
};

// DS2450 with a humidity probe on input D: 1 V per 100 % RH.
class AtoD : public Device {
public:
    explicit AtoD(volatile Probe* rec);
    void power_on() override;
    // Conversion result of one input for a voltage, range and resolution.
    static uint16_t convert(double volts, bool range_512, int bits);

protected:
    void function_command(uint8_t cmd) override;
    void rx_byte(uint8_t b) override;
    void tx_done() override;
    int idle_bit() const override;
    bool overdrive_capable() const override { return true; }

private:
    void send_page_rest();
    void finish_conversion();
    uint8_t mem_[32] = {};
    uint8_t cmd_ = 0;
    int stage_ = 0;
    uint16_t addr_ = 0;
    uint8_t args_[2] = {};
    bool first_page_ = true;
    bool converting_ = false;
    int64_t done_at_ = 0;
    uint8_t select_ = 0;
    bool after_conversion_ = false;
};

std::unique_ptr<Device> make_device(volatile Probe* rec);

// The interface the adapter model drives.
class Wire {
public:
    virtual ~Wire() = default;
    // 1 presence, 3 no presence (0 would be a shorted line).
    virtual int reset(Speed speed) = 0;
    virtual int touch(int bit, Speed speed) = 0;
};

// One physical bus of the simulated board: the probes of the state file on
// the branch the selector lines connect, when the bus power is on.
class BoardBus : public Wire {
public:
    // lines: the board's GPIO chip 2 levels (nullptr: power on, both branches).
    BoardBus(volatile Bus* bus, const volatile uint8_t* lines, int bus_index);
    int reset(Speed speed) override;
    int touch(int bit, Speed speed) override;
    // Up to date with the probes of the state file.
    void sync();

private:
    bool connected(int slot) const;
    volatile Bus* bus_;
    const volatile uint8_t* lines_;
    int index_;
    bool powered_ = false;
    std::unique_ptr<Device> dev_[PROBES];
    uint32_t gen_[PROBES] = {};
    bool muted_[PROBES] = {};  // mute as the last sync saw it
};

}  // namespace simow
