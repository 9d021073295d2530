#include "sim_onewire_devices.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>

#include "board_lines.h"

namespace simow {

namespace {

uint16_t crc16(const uint8_t* p, int n, uint16_t crc = 0)
{
    for (int i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

int floor_div(int a, int b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

}  // namespace

int64_t now_us()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// ---- Device: reset, ROM commands and the bit engine -------------------------

Device::Device(volatile Probe* rec) : rec_(rec)
{
    for (int i = 0; i < 8; ++i) rom_[i] = rec->rom[i];
}

void Device::power_on()
{
    phase_ = IDLE;
    od_ = false;
}

bool Device::reset(Speed speed)
{
    if (speed == REGULAR) {
        od_ = false;
    } else if (!od_) {
        // Too short to be a reset for a device at regular speed.
        phase_ = IDLE;
        return false;
    }
    phase_ = ROM_CMD;
    sub_ = RX;
    bitpos_ = 0;
    rx_ = 0;
    tx_len_ = 0;
    first_function_byte_ = true;
    return true;
}

int Device::drive() const
{
    switch (phase_) {
    case SEARCH: {
        const int bit = (rom_[bitpos_ / 8] >> (bitpos_ % 8)) & 1;
        if (search_step_ == 0) return bit;
        if (search_step_ == 1) return !bit;
        return 1;
    }
    case FUNCTION:
        if (sub_ == TX) return (tx_[tx_bit_ / 8] >> (tx_bit_ % 8)) & 1;
        if (sub_ == HOLD) return idle_bit();
        return 1;
    default:
        return 1;
    }
}

void Device::bit_in(int level)
{
    rx_ = static_cast<uint8_t>(rx_ | (level << bitpos_));
    if (++bitpos_ < 8) return;
    const uint8_t b = rx_;
    rx_ = 0;
    bitpos_ = 0;
    if (phase_ == ROM_CMD) {
        rom_command(b);
    } else if (first_function_byte_) {
        first_function_byte_ = false;
        function_command(b);
    } else {
        rx_byte(b);
    }
}

void Device::sample(int level)
{
    switch (phase_) {
    case IDLE:
        return;
    case ROM_CMD:
        bit_in(level);
        return;
    case MATCH:
        rom_bit(level);
        return;
    case SEARCH:
        if (search_step_ < 2) {
            ++search_step_;  // the bit and its complement went out
            return;
        }
        search_step_ = 0;
        rom_bit(level);  // the direction the master took
        return;
    case FUNCTION:
        if (sub_ == RX) {
            bit_in(level);
        } else if (sub_ == TX) {
            if (++tx_bit_ < tx_len_ * 8) return;
            tx_len_ = 0;
            sub_ = HOLD;
            if (first_function_byte_) {
                sub_ = RX;  // Read ROM done: the function command follows
                return;
            }
            tx_done();
        }
        return;
    }
}

void Device::rom_bit(int level)
{
    const int bit = (rom_[bitpos_ / 8] >> (bitpos_ % 8)) & 1;
    if (level != bit) {
        phase_ = IDLE;  // another device is meant
        return;
    }
    if (++bitpos_ == 64) {
        phase_ = FUNCTION;
        sub_ = RX;
        bitpos_ = 0;
    }
}

void Device::rom_command(uint8_t cmd)
{
    bitpos_ = 0;
    search_step_ = 0;
    switch (cmd) {
    case 0x33:  // Read ROM
        phase_ = FUNCTION;
        send(rom_, 8);
        return;
    case 0x55:  // Match ROM
        phase_ = MATCH;
        return;
    case 0xF0:  // Search ROM
        phase_ = SEARCH;
        return;
    case 0xEC:  // Alarm search
        phase_ = alarm() ? SEARCH : IDLE;
        return;
    case 0xCC:  // Skip ROM
        phase_ = FUNCTION;
        sub_ = RX;
        return;
    case 0x3C:  // Overdrive skip
    case 0x69:  // Overdrive match
        if (!overdrive_capable()) {
            phase_ = IDLE;
            return;
        }
        od_ = true;
        phase_ = cmd == 0x3C ? FUNCTION : MATCH;
        sub_ = RX;
        return;
    default:
        phase_ = IDLE;
        return;
    }
}

void Device::send(const uint8_t* p, int n, bool reply)
{
    if (n > static_cast<int>(sizeof tx_)) n = sizeof tx_;
    std::memcpy(tx_, p, static_cast<size_t>(n));
    if (reply && rec_->corrupt > 0) {
        rec_->corrupt = rec_->corrupt - 1;
        tx_[0] ^= 0x01;
    }
    tx_len_ = n;
    tx_bit_ = 0;
    sub_ = n > 0 ? TX : HOLD;
}

// ---- DS18B20 / DS18S20 -------------------------------------------------------

Thermometer::Thermometer(volatile Probe* rec, bool s20) : Device(rec), s20_(s20) { power_on(); }

void Thermometer::power_on()
{
    Device::power_on();
    eeprom_[0] = 0x4B;  // TH 75
    eeprom_[1] = 0x46;  // TL 70
    eeprom_[2] = 0x7F;  // 12 bits
    // Power-on scratchpad: 85 degrees until the first conversion.
    const uint8_t b20[8] = {0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10};
    const uint8_t s20[8] = {0xAA, 0x00, 0x4B, 0x46, 0xFF, 0xFF, 0x0C, 0x10};
    std::memcpy(sp_, s20_ ? s20 : b20, 8);
    sp_[8] = crc8(sp_, 8);
    converting_ = false;
    write_pos_ = -1;
}

void Thermometer::encode_b20(int hundredths, uint8_t config, uint8_t sp[8])
{
    long raw = std::lround(hundredths * 0.16);
    if (raw < -55 * 16) raw = -55 * 16;
    if (raw > 125 * 16) raw = 125 * 16;
    const int undefined = 3 - ((config >> 5) & 0x03);
    raw &= ~((1L << undefined) - 1);
    const uint16_t r = static_cast<uint16_t>(raw);
    sp[0] = static_cast<uint8_t>(r & 0xFF);
    sp[1] = static_cast<uint8_t>(r >> 8);
    sp[5] = 0xFF;
    sp[6] = static_cast<uint8_t>(0x10 - (r & 0x0F));
    sp[7] = 0x10;
}

void Thermometer::encode_s20(int hundredths, uint8_t sp[8])
{
    if (hundredths < -5500) hundredths = -5500;
    if (hundredths > 12500) hundredths = 12500;
    // Whole degrees plus a count remaining against 16 counts per degree, so
    // that t - 0.25 + (16 - remain) / 16 is the reading to 1/16 degree.
    const int k = static_cast<int>(std::lround((hundredths / 100.0 + 0.25) * 16));
    const int whole = floor_div(k - 1, 16);
    const int counted = k - 16 * whole;  // 1..16
    const int halves = whole * 2 + (counted >= 12 ? 1 : 0);
    const uint16_t t = static_cast<uint16_t>(halves);
    sp[0] = static_cast<uint8_t>(t & 0xFF);
    sp[1] = static_cast<uint8_t>(t >> 8);
    sp[4] = 0xFF;
    sp[5] = 0xFF;
    sp[6] = static_cast<uint8_t>(16 - counted);
    sp[7] = 0x10;
}

void Thermometer::finish_conversion()
{
    if (!converting_ || now_us() < done_at_) return;
    converting_ = false;
    if (s20_) encode_s20(converting_value_, sp_);
    else encode_b20(converting_value_, sp_[4], sp_);
}

void Thermometer::function_command(uint8_t cmd)
{
    switch (cmd) {
    case 0x44: {  // Convert T
        static const int64_t B20_US[4] = {93750, 187500, 375000, 750000};
        const int64_t us = s20_ ? 750000 : B20_US[(sp_[4] >> 5) & 0x03];
        converting_ = true;
        converting_value_ = rec_->value;
        done_at_ = now_us() + (real_timing() ? us : 0);
        hold();
        return;
    }
    case 0xBE:  // Read scratchpad
        finish_conversion();
        sp_[8] = crc8(sp_, 8);
        rec_->reads = rec_->reads + 1;
        send(sp_, 9, true);
        return;
    case 0x4E:  // Write scratchpad: TH, TL (and the configuration on a DS18B20)
        write_pos_ = 0;
        receive();
        return;
    case 0x48:  // Copy scratchpad
        eeprom_[0] = sp_[2];
        eeprom_[1] = sp_[3];
        eeprom_[2] = sp_[4];
        hold();
        return;
    case 0xB8:  // Recall E2
        sp_[2] = eeprom_[0];
        sp_[3] = eeprom_[1];
        if (!s20_) sp_[4] = eeprom_[2];
        hold();
        return;
    case 0xB4:  // Read power supply: externally powered
        hold();
        return;
    default:
        go_idle();
        return;
    }
}

void Thermometer::rx_byte(uint8_t b)
{
    if (write_pos_ < 0) return;
    if (write_pos_ == 0) sp_[2] = b;
    else if (write_pos_ == 1) sp_[3] = b;
    else if (write_pos_ == 2 && !s20_) sp_[4] = static_cast<uint8_t>((b & 0x60) | 0x1F);
    ++write_pos_;
    if (write_pos_ >= (s20_ ? 2 : 3)) {
        write_pos_ = -1;
        hold();
    }
}

int Thermometer::idle_bit() const { return converting_ && now_us() < done_at_ ? 0 : 1; }

bool Thermometer::alarm() const
{
    const int16_t raw = static_cast<int16_t>(sp_[0] | (sp_[1] << 8));
    const int degrees = s20_ ? raw / 2 : raw / 16;
    return degrees >= static_cast<int8_t>(sp_[2]) || degrees <= static_cast<int8_t>(sp_[3]);
}

// ---- DS2450 -----------------------------------------------------------------------

AtoD::AtoD(volatile Probe* rec) : Device(rec) { power_on(); }

void AtoD::power_on()
{
    Device::power_on();
    std::memset(mem_, 0, sizeof mem_);
    for (int k = 0; k < 4; ++k) {
        mem_[0x08 + 2 * k] = 0x08;  // 8 bits
        mem_[0x09 + 2 * k] = 0x8C;  // power-on reset flag, 2.56 V
        mem_[0x10 + 2 * k] = 0x00;
        mem_[0x11 + 2 * k] = 0xFF;
    }
    converting_ = false;
}

uint16_t AtoD::convert(double volts, bool range_512, int bits)
{
    const double range = range_512 ? 5.12 : 2.56;
    double x = std::ceil(volts / range * 65535.0 - 1e-9);
    if (x < 0) x = 0;
    if (x > 65535) x = 65535;
    if (bits <= 0 || bits > 16) bits = 16;
    const unsigned mask = (0xFFFFu << (16 - bits)) & 0xFFFFu;
    return static_cast<uint16_t>(static_cast<unsigned>(x) & mask);
}

void AtoD::function_command(uint8_t cmd)
{
    cmd_ = cmd;
    stage_ = 0;
    if (cmd == 0xAA || cmd == 0x55 || cmd == 0x3C) receive();
    else go_idle();
}

void AtoD::send_page_rest()
{
    const int end = addr_ | 0x07;
    uint8_t buf[12];
    int n = 0;
    uint16_t crc = 0;
    if (first_page_) {
        const uint8_t head[3] = {0xAA, args_[0], args_[1]};
        crc = crc16(head, 3);
    }
    for (int a = addr_; a <= end; ++a) buf[n++] = mem_[a];
    crc = crc16(buf, n, crc);
    buf[n++] = static_cast<uint8_t>(~crc & 0xFF);
    buf[n++] = static_cast<uint8_t>((~crc >> 8) & 0xFF);
    send(buf, n, first_page_);
    first_page_ = false;
    addr_ = static_cast<uint16_t>(end + 1);
}

void AtoD::rx_byte(uint8_t b)
{
    if (stage_ < 2) {
        args_[stage_++] = b;
        if (stage_ < 2) return;
        addr_ = static_cast<uint16_t>(args_[0] | (args_[1] << 8));
        if (cmd_ == 0xAA) {
            if (addr_ > 0x1F) {
                hold();
                return;
            }
            first_page_ = true;
            rec_->reads = rec_->reads + 1;
            send_page_rest();
            return;
        }
        if (cmd_ == 0x3C) {
            select_ = args_[0];
            const uint8_t head[3] = {0x3C, args_[0], args_[1]};
            const uint16_t crc = crc16(head, 3);
            const uint8_t out[2] = {static_cast<uint8_t>(~crc & 0xFF), static_cast<uint8_t>((~crc >> 8) & 0xFF)};
            send(out, 2);
            return;
        }
        return;  // Write memory: the first data byte follows
    }
    if (cmd_ != 0x55 || addr_ > 0x1F) return;
    // Write memory: the first byte's CRC covers command and address, later
    // bytes' CRC starts from the address.
    uint16_t crc;
    if (stage_ == 2) {
        const uint8_t head[4] = {0x55, args_[0], args_[1], b};
        crc = crc16(head, 4);
    } else {
        crc = crc16(&b, 1, addr_);
    }
    ++stage_;
    if (addr_ >= 0x08) mem_[addr_] = b;  // the result page is read-only
    const uint8_t out[3] = {static_cast<uint8_t>(~crc & 0xFF), static_cast<uint8_t>((~crc >> 8) & 0xFF), mem_[addr_]};
    send(out, 3);
}

void AtoD::tx_done()
{
    if (cmd_ == 0xAA) {
        if (addr_ <= 0x1F) send_page_rest();
        return;
    }
    if (cmd_ == 0x55) {
        ++addr_;
        if (addr_ <= 0x1F) receive();
        return;
    }
    if (cmd_ == 0x3C) {
        int64_t us = 160;
        for (int k = 0; k < 4; ++k) {
            if (!(select_ & (1 << k))) continue;
            int bits = mem_[0x08 + 2 * k] & 0x0F;
            if (bits == 0) bits = 16;
            us += 80 * bits;
            const double volts = k == 3 ? rec_->value / 10000.0 : 0.0;
            const uint16_t w = convert(volts, mem_[0x09 + 2 * k] & 0x01, bits);
            mem_[2 * k] = static_cast<uint8_t>(w & 0xFF);
            mem_[2 * k + 1] = static_cast<uint8_t>(w >> 8);
        }
        converting_ = true;
        done_at_ = now_us() + (real_timing() ? us : 0);
        hold();
    }
}

int AtoD::idle_bit() const { return converting_ && now_us() < done_at_ ? 0 : 1; }

std::unique_ptr<Device> make_device(volatile Probe* rec)
{
    switch (rec->kind) {
    case DS18B20: return std::make_unique<Thermometer>(rec, false);
    case DS18S20: return std::make_unique<Thermometer>(rec, true);
    case DS2450: return std::make_unique<AtoD>(rec);
    default: return nullptr;
    }
}

// ---- The bus ---------------------------------------------------------------------

BoardBus::BoardBus(volatile Bus* bus, const volatile uint8_t* lines, int bus_index)
    : bus_(bus), lines_(lines), index_(bus_index)
{
}

bool BoardBus::connected(int slot) const
{
    const volatile Probe& p = bus_->probes[slot];
    if (!dev_[slot] || p.mute) return false;
    if (!lines_) return true;
    return p.branch == TEMP_BRANCH ? lines_[BOARD::ONEWIRE_TEMP_BRANCH[index_].line] != 0
                                   : lines_[BOARD::ONEWIRE_HUMID_BRANCH[index_].line] != 0;
}

void BoardBus::sync()
{
    const bool power = !lines_ || lines_[BOARD::ONEWIRE_POWER[index_].line] != 0;
    if (!power && powered_)
        for (auto& d : dev_)
            if (d) d->power_on();
    powered_ = power;
    for (int i = 0; i < PROBES; ++i) {
        volatile Probe& p = bus_->probes[i];
        if (p.kind == NONE) {
            dev_[i].reset();
            continue;
        }
        std::atomic_thread_fence(std::memory_order_acquire);
        if (!dev_[i] || gen_[i] != p.generation) {
            dev_[i] = make_device(&p);
            if (dev_[i]) dev_[i]->set_timing_flag(&bus_->real_timing);
            gen_[i] = p.generation;
        }
        // A muted probe is off the bus and without supply: back on it, it
        // starts from its power-on state.
        if (muted_[i] && !p.mute && dev_[i]) dev_[i]->power_on();
        muted_[i] = p.mute != 0;
    }
}

int BoardBus::reset(Speed speed)
{
    bus_->resets = bus_->resets + 1;
    sync();
    bool presence = false;
    for (int i = 0; i < PROBES; ++i) {
        if (!dev_[i]) continue;
        if (powered_ && connected(i)) presence = dev_[i]->reset(speed) || presence;
        else dev_[i]->go_idle();
    }
    return presence ? 1 : 3;
}

int BoardBus::touch(int bit, Speed speed)
{
    const bool power = !lines_ || lines_[BOARD::ONEWIRE_POWER[index_].line] != 0;
    if (!power) {
        sync();
        return bit;
    }
    Device* part[PROBES];
    int n = 0;
    for (int i = 0; i < PROBES; ++i) {
        if (!dev_[i]) continue;
        if (!connected(i)) {
            dev_[i]->go_idle();
            continue;
        }
        if (dev_[i]->hears(speed)) part[n++] = dev_[i].get();
    }
    int level = bit;
    for (int k = 0; k < n; ++k) level &= part[k]->drive();
    for (int k = 0; k < n; ++k) part[k]->sample(level);
    return level;
}

}  // namespace simow
