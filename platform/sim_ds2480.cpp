#include "sim_ds2480.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace simow {

// ---- The chip ----------------------------------------------------------------

namespace {

constexpr uint8_t RESET_VERSION = 0x0C;  // chip revision 3 in bits 2-4 of a reset reply
constexpr int RESET_US[2] = {1000, 120};  // regular, overdrive

long rate_of(int code)
{
    switch (code) {
    case HOST_4800: return 4800;
    case BAUD_19200: return 19200;
    case BAUD_57600: return 57600;
    case BAUD_115200: return 115200;
    default: return 9600;
    }
}

// Pulse lengths of the strong pull-up (param 3) and program pulse (param 2)
// codes 0-6; 7 is unlimited.
int pulse_us(bool program, int code)
{
    static const int SPUD[7] = {16400, 65500, 131000, 262000, 524000, 1048000, 1048000};
    static const int PPD[7] = {32, 64, 128, 256, 512, 1024, 2048};
    return program ? PPD[code] : SPUD[code];
}

}  // namespace

void Ds2480::master_reset()
{
    command_mode_ = true;
    await_timing_ = true;
    pending_e3_ = false;
    accelerator_ = false;
    pulse_active_ = false;
    speed_ = REGULAR;
    baud_ = BAUD_9600;
    const uint8_t defaults[8] = {0, 0, 4, 4, 0, 0, 0, 0};
    std::memcpy(params_, defaults, sizeof params_);
}

int Ds2480::feed(uint8_t b, int host_baud, uint8_t* out, int& n)
{
    n = 0;
    if (rate_of(host_baud) != rate_of(baud_)) {
        // A byte at the wrong rate is noise, but a zero from a slower host
        // holds the line low long enough to reset the chip.
        if (b == 0x00 && rate_of(host_baud) < rate_of(baud_)) master_reset();
        return 0;
    }
    if (pulse_active_) {
        // Any byte ends an unlimited pulse and is not taken otherwise.
        pulse_active_ = false;
        out[n++] = static_cast<uint8_t>(pulse_cmd_ & 0xFC);
        return 0;
    }
    if (await_timing_) {
        if (b != 0x00) await_timing_ = false;  // the timing byte calibrates and is not executed
        return 0;
    }
    return command_mode_ ? command(b, out, n) : data(b, out, n);
}

int Ds2480::command(uint8_t b, uint8_t* out, int& n)
{
    if (b == 0xE1) {
        command_mode_ = false;
        return 0;
    }
    if (b == 0xE3 || b == 0xF1) return 0;  // already in command mode; no pulse to stop
    if (b & 0x80) {
        const int function = (b >> 5) & 0x03;
        if (function == 3) {
            if ((b & 0x0C) != 0x0C) return 0;
            const bool program = b & 0x10;
            const int code = params_[program ? 2 : 3];
            if (code == 7) {
                pulse_active_ = true;
                pulse_cmd_ = b;
                return 0;
            }
            out[n++] = static_cast<uint8_t>(b & 0xFC);
            return pulse_us(program, code);
        }
        speed_ = ((b >> 2) & 0x03) == 2 ? OVERDRIVE : REGULAR;
        if (function == 0) {
            const int r = wire_.touch((b >> 4) & 1, speed_);
            out[n++] = static_cast<uint8_t>((b & 0xFC) | (r ? 0x03 : 0x00));
            return slot_us();
        }
        if (function == 1) {
            accelerator_ = (b & 0x10) != 0;
            return 0;
        }
        const int presence = wire_.reset(speed_);
        out[n++] = static_cast<uint8_t>(0xC0 | RESET_VERSION | presence);
        return RESET_US[speed_];
    }
    if (b & 0x01) {
        const int param = (b >> 4) & 0x07;
        const int value = (b >> 1) & 0x07;
        if (param == 0) {
            out[n++] = static_cast<uint8_t>(params_[value] << 1);
            return 0;
        }
        params_[param] = static_cast<uint8_t>(value);
        if (param == 7) {
            // The reply goes out at the new rate, which the host does not
            // listen at yet: it is lost.
            baud_ = value << 1;
            return 0;
        }
        out[n++] = static_cast<uint8_t>(b & 0xFE);
        return 0;
    }
    // Not a command: at the chip's own rate a zero can only be the host's
    // reset pulse seen late.
    if (b == 0x00) master_reset();
    return 0;
}

int Ds2480::data(uint8_t b, uint8_t* out, int& n)
{
    if (pending_e3_) {
        pending_e3_ = false;
        if (b != 0xE3) {
            command_mode_ = true;
            return command(b, out, n);
        }
    } else if (b == 0xE3) {
        pending_e3_ = true;
        return 0;
    }
    uint8_t r = 0;
    if (accelerator_) {
        // Four ROM bits per byte: read the bit and its complement, take the
        // host's direction at a discrepancy, write the direction; reply the
        // discrepancy flag and the direction taken.
        for (int j = 0; j < 4; ++j) {
            const int preferred = (b >> (2 * j + 1)) & 1;
            const int id = wire_.touch(1, speed_);
            const int cid = wire_.touch(1, speed_);
            int d = 0, dir = id;
            if (id == cid) {
                d = 1;
                dir = id == 0 ? preferred : 1;
            }
            wire_.touch(dir, speed_);
            r = static_cast<uint8_t>(r | (d << (2 * j)) | (dir << (2 * j + 1)));
        }
        out[n++] = r;
        return 12 * slot_us();
    }
    for (int i = 0; i < 8; ++i) r = static_cast<uint8_t>(r | (wire_.touch((b >> i) & 1, speed_) << i));
    out[n++] = r;
    return 8 * slot_us();
}

// ---- The adapter on its pseudo-terminal -------------------------------------------

namespace {

int host_baud_of(int master)
{
    termios t{};
    if (tcgetattr(master, &t) != 0) return BAUD_9600;
    switch (cfgetospeed(&t)) {
    case B4800: return HOST_4800;
    case B19200: return BAUD_19200;
    case B57600: return BAUD_57600;
    case B115200: return BAUD_115200;
    default: return BAUD_9600;
    }
}

int64_t byte_us(int code) { return 10LL * 1000000 / rate_of(code); }

// A fixed ring of timed bytes.
struct TimedBytes {
    static constexpr int CAP = 4096;
    struct Entry {
        uint8_t b;
        int host_baud;
        int64_t at;
    } e[CAP];
    int head = 0, count = 0;
    bool empty() const { return count == 0; }
    Entry& front() { return e[head]; }
    void pop()
    {
        head = (head + 1) % CAP;
        --count;
    }
    void push(uint8_t b, int host_baud, int64_t at)
    {
        if (count == CAP) pop();  // the oldest is lost, as on an overrun line
        e[(head + count) % CAP] = {b, host_baud, at};
        ++count;
    }
    void clear() { head = count = 0; }
};

}  // namespace

Adapter::Adapter(const std::string& root, int bus) : root_(root), bus_(bus) {}

Adapter::~Adapter() { stop(); }

const char* Adapter::port_path(int bus) { return bus == 0 ? "/dev/ttyS5" : "/dev/ttyS6"; }

bool Adapter::start(std::string& err)
{
    if (!state_map(root_, state_, err)) return false;
    std::string berr;
    if (!simboard::board_map(root_, board_, berr)) board_ = simboard::Mapping{};  // no board: lines all on
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        err = std::string("posix_openpt: ") + std::strerror(errno);
        return false;
    }
    char name[PATH_MAX];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        err = std::string("ptsname: ") + std::strerror(errno);
        return false;
    }
    slave_ = name;
    // The line starts raw (the settings stay with the terminal across the
    // host's opens, and the host puts back what it found): a cooked one
    // would echo the chip's replies back to it.
    const int s = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (s < 0) {
        err = "open " + slave_ + ": " + std::strerror(errno);
        return false;
    }
    termios t{};
    tcgetattr(s, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(s, TCSANOW, &t);
    close(s);
    mkdir((root_ + "/dev").c_str(), 0777);
    link_ = root_ + port_path(bus_);
    unlink(link_.c_str());
    if (symlink(slave_.c_str(), link_.c_str()) != 0) {
        err = "symlink " + link_ + ": " + std::strerror(errno);
        return false;
    }
    stop_ = false;
    th_ = std::thread([this] { run(); });
    return true;
}

void Adapter::stop()
{
    stop_ = true;
    if (th_.joinable()) th_.join();
    if (!link_.empty()) {
        char target[PATH_MAX];
        ssize_t n = readlink(link_.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<size_t>(n)) == slave_) unlink(link_.c_str());
        link_.clear();
    }
    if (master_ >= 0) close(master_);
    master_ = -1;
    state_unmap(state_);
    simboard::board_unmap(board_);
}

// Thread body of one emulated adapter.
// Owns: the pseudo-terminal master, the chip and the bus model of its bus.
// Waits on: host bytes (poll), and with real timing on the moment the next
// byte is through the chip's receiver or transmitter.
// Order: bytes are taken and answered strictly in arrival order.
// Stopped by: stop() (the simulated service never stops it; it ends with
// the process).
void Adapter::run()
{
    // A chip answers in microseconds whatever else the machine does; the
    // emulation gets a larger share of a busy processor than the service
    // so that its replies do not run into the host's read time-outs. Not a
    // real-time policy: a runaway loop here still cannot freeze the machine.
    const std::string name = "sim-ds2480-" + std::to_string(bus_ + 1);
    pthread_setname_np(pthread_self(), name.c_str());
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), -10) != 0) {
        // without the privilege it runs at the normal share
    }
    volatile Bus& bus = state_.st->bus[bus_];
    const volatile uint8_t* lines = board_.hdr ? board_.hdr->gpio[2] : nullptr;
    BoardBus wire(&bus, lines, bus_);
    Ds2480 chip(wire);
    auto queues = std::make_unique<TimedBytes[]>(2);  // too big for the stack
    TimedBytes& in = queues[0];
    TimedBytes& out = queues[1];
    int64_t rx_free = 0, chip_free = 0, tx_free = 0;
    bool was_unplugged = bus.unplugged;
    bool host_open = true;
    uint8_t pending[512];
    int pending_n = 0;

    while (!stop_) {
        int64_t now = now_us();
        int64_t due = now + 20000;
        if (!in.empty()) due = std::min(due, std::max(in.front().at, chip_free));
        if (!out.empty()) due = std::min(due, out.front().at);
        pollfd pf{master_, POLLIN, 0};
        if (pending_n > 0) pf.events |= POLLOUT;
        const int64_t wait = std::max<int64_t>(0, due - now);
        timespec ts{static_cast<time_t>(wait / 1000000), static_cast<long>((wait % 1000000) * 1000)};
        ppoll(&pf, 1, &ts, nullptr);

        // The adapter draws its power from the port's control lines: the
        // host closing the port powers it down, opening it powers it up
        // afresh (a hang-up on the master while no one has the port open).
        // Plug and port are looked at after the wait, so bytes sent right
        // after an open or a replug reach the freshly powered chip.
        const bool hung_up = (pf.revents & POLLHUP) != 0;
        const bool unplugged = bus.unplugged;
        if (unplugged != was_unplugged || hung_up == host_open) {
            in.clear();
            out.clear();
            pending_n = 0;
            chip.master_reset();
            was_unplugged = unplugged;
            if (hung_up && host_open) {
                // What the host sent before it closed dies with the power;
                // only then, not while closed: bytes of a host that opens
                // meanwhile are for the new chip.
                uint8_t junk[256];
                while (read(master_, junk, sizeof junk) > 0) {
                }
            }
            host_open = !hung_up;
        }
        if (hung_up) {
            const timespec idle{0, 2000000};
            nanosleep(&idle, nullptr);
            continue;
        }
        now = now_us();
        if (pf.revents & POLLIN) {
            uint8_t buf[512];
            ssize_t r = read(master_, buf, sizeof buf);
            const int host = host_baud_of(master_);
            for (ssize_t i = 0; i < r; ++i) {
                if (unplugged) continue;
                bus.bytes_in = bus.bytes_in + 1;
                const int64_t at = std::max(now, rx_free) + (bus.real_timing ? byte_us(chip.baud()) : 0);
                rx_free = at;
                in.push(buf[i], host, at);
            }
        }
        while (!in.empty() && std::max(in.front().at, chip_free) <= now) {
            const TimedBytes::Entry e = in.front();
            in.pop();
            uint8_t reply[4];
            int n = 0;
            const int64_t start = std::max(e.at, chip_free);
            const int ow = chip.feed(e.b, e.host_baud, reply, n);
            chip_free = bus.real_timing ? start + ow : 0;
            for (int k = 0; k < n; ++k) {
                const int64_t at = bus.real_timing ? std::max(start + ow, tx_free) + byte_us(chip.baud()) : 0;
                tx_free = at;
                out.push(reply[k], 0, at);
            }
        }
        while (!out.empty() && out.front().at <= now && pending_n < static_cast<int>(sizeof pending)) {
            pending[pending_n++] = out.front().b;
            out.pop();
        }
        if (pending_n > 0 && !unplugged) {
            ssize_t w = write(master_, pending, static_cast<size_t>(pending_n));
            if (w > 0) {
                bus.bytes_out = bus.bytes_out + static_cast<uint32_t>(w);
                std::memmove(pending, pending + w, static_cast<size_t>(pending_n - w));
                pending_n -= static_cast<int>(w);
            }
        }
    }
}

bool start_adapters(const std::string& root, std::string& err)
{
    for (int bus = 0; bus < BUSES; ++bus) {
        auto* a = new Adapter(root, bus);  // lives as long as the process
        if (!a->start(err)) {
            delete a;
            return false;
        }
    }
    return true;
}

}  // namespace simow
