// The emulated DS2480B serial 1-Wire line driver of each simulated bus. The
// chip model takes the host's bytes one at a time and answers as the chip
// does in its command and data modes; the adapter puts it on a
// pseudo-terminal whose slave the service opens as <root>/dev/ttyS5 (bus 0)
// or <root>/dev/ttyS6 (bus 1), and can keep real byte timing at the chip's
// baud rate.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "sim_board.h"
#include "sim_onewire_devices.h"
#include "sim_onewire_state.h"

namespace simow {

// Baud codes as the chip reports them, and the host's rate below its lowest.
constexpr int BAUD_9600 = 0, BAUD_19200 = 2, BAUD_57600 = 4, BAUD_115200 = 6, HOST_4800 = 8;

class Ds2480 {
public:
    explicit Ds2480(Wire& wire) : wire_(wire) { master_reset(); }
    // Power-up or the reset pulse: 9600 baud, command mode, and the next
    // byte is taken as the timing byte.
    void master_reset();
    // One byte from a host sending at `host_baud`. Replies are appended to
    // out (at most 2); the return value is the 1-Wire time the byte took,
    // in microseconds.
    int feed(uint8_t b, int host_baud, uint8_t* out, int& n_out);
    int baud() const { return baud_; }

private:
    int command(uint8_t b, uint8_t* out, int& n);
    int data(uint8_t b, uint8_t* out, int& n);
    int slot_us() const { return speed_ == OVERDRIVE ? 10 : 70; }

    Wire& wire_;
    bool command_mode_ = true;
    bool await_timing_ = true;
    bool pending_e3_ = false;
    bool accelerator_ = false;
    bool pulse_active_ = false;
    uint8_t pulse_cmd_ = 0;
    Speed speed_ = REGULAR;
    int baud_ = BAUD_9600;
    uint8_t params_[8] = {};
};

// One bus: the pseudo-terminal, the chip and its bus of probes.
class Adapter {
public:
    Adapter(const std::string& root, int bus);
    ~Adapter();
    Adapter(const Adapter&) = delete;
    Adapter& operator=(const Adapter&) = delete;

    bool start(std::string& err);
    void stop();
    // The port the service opens, as the service names it.
    static const char* port_path(int bus);
    const std::string& slave() const { return slave_; }

private:
    void run();
    std::string root_;
    int bus_;
    int master_ = -1;
    std::string slave_;
    std::string link_;
    Mapping state_;
    simboard::Mapping board_;
    std::atomic<bool> stop_{false};
    std::thread th_;
};

// Starts the adapters of both buses for the simulated service (they run
// until the process ends). False with err when one could not be started.
bool start_adapters(const std::string& root, std::string& err);

}  // namespace simow
