// Serial layer of the link layer: raw 8N1 ports over termios, non-blocking,
// with a per-byte wait on input.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <mutex>
#include <thread>

#include "owport.h"

namespace {

// Ports are taken and given back by both bus threads (a search request ends
// both reading loops at once), so the free-port scan and the marking are one
// step.
std::mutex g_port_mutex;

// One expected byte is waited for in up to 20 looks 4 ms apart (about
// 80 ms); a look ends as soon as input is there.
constexpr int BYTE_LOOKS = 20;
constexpr int LOOK_MS = 4;

speed_t speed_of(int code)
{
    switch (code) {
    case PARMSET_9600: return B9600;
    case PARMSET_19200: return B19200;
    case PARMSET_57600: return B57600;
    case PARMSET_115200: return B115200;
    case BAUD_4800: return B4800;
    case 1:
    case 3: return B9600;
    default: return B115200;
    }
}

int open_locked(int port, const char* path)
{
    if (port < 0 || port >= MAX_PORTNUM || ow_port(port).open) {
        owRaiseError(OWERR::BAD_PORT);
        return 0;
    }
    int fd = open(path, O_RDWR | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        ow_syslog("base open caution %s.", path);
        owRaiseError(OWERR::NO_RESOURCE);
        return 0;
    }
    termios old{};
    if (tcgetattr(fd, &old) != 0) {
        close(fd);
        owRaiseError(OWERR::INIT_RESOURCE);
        return 0;
    }
    termios t = old;
    t.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INLCR | IGNCR | ISTRIP | INPCK | PARMRK | IXON | IXOFF | IXANY);
    t.c_iflag |= IGNBRK | IGNPAR;
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | IEXTEN);
    t.c_cc[VTIME] = 3;
    t.c_cc[VMIN] = 0;
    if (tcsetattr(fd, TCSAFLUSH, &t) != 0) {
        close(fd);
        owRaiseError(OWERR::INIT_RESOURCE);
        return 0;
    }
    tcflush(fd, TCIFLUSH);
    OwPort& p = ow_port(port);
    p = OwPort{};
    p.saved = old;
    p.fd = fd;
    p.open = true;
    return 1;
}

}  // namespace

int OpenCOM(int port, const char* path)
{
    std::lock_guard<std::mutex> lock(g_port_mutex);
    return open_locked(port, path);
}

int OpenCOMEx(const char* path)
{
    std::lock_guard<std::mutex> lock(g_port_mutex);
    for (int port = 0; port < MAX_PORTNUM; ++port) {
        if (ow_port(port).open) continue;
        if (open_locked(port, path)) return port;
        ow_syslog("OpenCOM caution.");
        return -1;
    }
    owRaiseError(OWERR::NO_RESOURCE);
    ow_syslog("OpenCOM caution.");
    return -1;
}

void CloseCOM(int port)
{
    std::lock_guard<std::mutex> lock(g_port_mutex);
    if (port < 0 || port >= MAX_PORTNUM || !ow_port(port).open) return;
    OwPort& p = ow_port(port);
    tcsetattr(p.fd, TCSANOW, &p.saved);
    tcflush(p.fd, TCIOFLUSH);
    close(p.fd);
    p = OwPort{};
}

namespace {

// Microseconds n bytes take on the line at the port's current rate (start,
// 8 data and stop bit each).
long line_us(int fd, int n)
{
    termios t{};
    long bps = 9600;
    if (tcgetattr(fd, &t) == 0) {
        switch (cfgetospeed(&t)) {
        case B4800: bps = 4800; break;
        case B19200: bps = 19200; break;
        case B57600: bps = 57600; break;
        case B115200: bps = 115200; break;
        default: break;
        }
    }
    return 10L * n * 1000000L / bps;
}

}  // namespace

// Returns once the bytes have left: tcdrain, and where the port's driver
// reports them sent before they can have been (USB and pseudo-terminal
// ports do), the rest of their time on the line. A rate change or flush
// that follows then cannot cut them short.
int WriteCOM(int port, int n, const uint8_t* buf)
{
    if (!ow_port_open(port)) return 0;
    const int fd = ow_port(port).fd;
    const auto start = std::chrono::steady_clock::now();
    int done = 0;
    while (done < n) {
        ssize_t w = write(fd, buf + done, static_cast<size_t>(n - done));
        if (w > 0) {
            done += static_cast<int>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno == EAGAIN) {
            pollfd pf{fd, POLLOUT, 0};
            if (poll(&pf, 1, 1000) > 0) continue;
        }
        return 0;
    }
    tcdrain(fd);
    const auto on_line = start + std::chrono::microseconds(line_us(fd, n));
    if (std::chrono::steady_clock::now() < on_line) std::this_thread::sleep_until(on_line);
    return 1;
}

// Counting looks rather than a span of time keeps the wait as long, in
// looks, when the host itself gets the processor late.
int ReadCOM(int port, int n, uint8_t* buf)
{
    if (!ow_port_open(port)) return 0;
    const int fd = ow_port(port).fd;
    int got = 0;
    int looks = 0;
    while (got < n) {
        ssize_t r = read(fd, buf + got, static_cast<size_t>(n - got));
        if (r > 0) {
            got += static_cast<int>(r);
            looks = 0;
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno != EAGAIN) break;
        if (++looks > BYTE_LOOKS) break;
        pollfd pf{fd, POLLIN, 0};
        if (poll(&pf, 1, LOOK_MS) < 0 && errno != EINTR) break;
    }
    return got;
}

void FlushCOM(int port)
{
    if (ow_port_open(port)) tcflush(ow_port(port).fd, TCIFLUSH);
}

void SetBaudCOM(int port, int code)
{
    if (!ow_port_open(port)) return;
    const int fd = ow_port(port).fd;
    termios t{};
    if (tcgetattr(fd, &t) != 0) return;
    cfsetispeed(&t, speed_of(code));
    cfsetospeed(&t, speed_of(code));
    tcsetattr(fd, TCSAFLUSH, &t);
}

void msDelay(int ms)
{
    if (ms <= 0) return;
    timespec req{ms / 1000, (ms % 1000) * 1000000L}, rem{};
    if (nanosleep(&req, &rem) != 0 && errno == EINTR) nanosleep(&rem, nullptr);
}

long msGettick()
{
    using namespace std::chrono;
    return static_cast<long>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
