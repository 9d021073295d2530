// Error stack, port table and system-log lines of the link layer.
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "owport.h"
#include "platform.h"

namespace {

constexpr int STACK_SIZE = 10;
std::mutex g_err_mutex;  // both bus threads raise errors
int g_err_stack[STACK_SIZE];
int g_err_top = 0;    // next slot
int g_err_count = 0;  // entries held, at most STACK_SIZE

OwPort g_ports[MAX_PORTNUM];

struct ErrText {
    int code;
    const char* text;
};
const ErrText ERR_TEXTS[] = {
    {OWERR::NO_DEVICES, "No Devices found on 1-Wire Network"},
    {OWERR::RESET_FAILED, "1-Wire Net Reset Failed"},
    {OWERR::SEARCH_ERROR, "Search ROM Error: Couldn't locate next device on 1-Wire"},
    {OWERR::NO_ADAPTER, "DS2480B Adapter Not Detected"},
    {OWERR::WRONG_BAUD, "DS2480B: Wrong Baud"},
    {OWERR::BAD_RESPONSE, "DS2480B: Bad Response"},
    {OWERR::OPEN_FAILED, "Open COM Failed"},
    {OWERR::WRITE_FAILED, "Write COM Failed"},
    {OWERR::READ_FAILED, "Read COM Failed"},
    {OWERR::BLOCK_TOO_LARGE, "Data Block Too Large"},
    {OWERR::BLOCK_FAILED, "Block Transfer failed"},
    {OWERR::VERIFY_FAILED, "Write Verify Failed"},
    {OWERR::CRC_FAILED, "CRC Failed"},
    {OWERR::NO_RESOURCE, "Failed to acquire a necessary system resource"},
    {OWERR::INIT_RESOURCE, "Failed to initialize system resource"},
    {OWERR::NOT_SUPPORTED, "Function not supported to modify attributes."},
    {OWERR::BAD_PORT, "Port number is outside (0,MAX_PORTNUM) interval"},
    {OWERR::LEVEL_FAILED, "Level of the 1-Wire was not changed"},
};

}  // namespace

void owRaiseError(int code)
{
    std::lock_guard<std::mutex> lock(g_err_mutex);
    g_err_stack[g_err_top] = code;
    g_err_top = (g_err_top + 1) % STACK_SIZE;
    if (g_err_count < STACK_SIZE) ++g_err_count;
}

int owGetErrorNum()
{
    std::lock_guard<std::mutex> lock(g_err_mutex);
    if (g_err_count == 0) return 0;
    g_err_top = (g_err_top + STACK_SIZE - 1) % STACK_SIZE;
    --g_err_count;
    return g_err_stack[g_err_top];
}

int owHasErrors()
{
    std::lock_guard<std::mutex> lock(g_err_mutex);
    return g_err_count > 0 ? 1 : 0;
}

void owClearErrors()
{
    std::lock_guard<std::mutex> lock(g_err_mutex);
    g_err_count = 0;
}

const char* owGetErrorMsg(int code)
{
    for (const ErrText& e : ERR_TEXTS)
        if (e.code == code) return e.text;
    return "Unknown 1-Wire error";
}

OwPort& ow_port(int port) { return g_ports[port]; }

bool ow_port_valid(int port)
{
    if (port >= 0 && port < MAX_PORTNUM) return true;
    owRaiseError(OWERR::BAD_PORT);
    return false;
}

bool ow_port_open(int port)
{
    if (port >= 0 && port < MAX_PORTNUM && g_ports[port].open) return true;
    owRaiseError(OWERR::BAD_PORT);
    return false;
}

void ow_syslog(const char* fmt, ...)
{
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    kvt_syslog_info(line);
}

int ow_fail_redetect(int port, int code)
{
    owRaiseError(code);
    DS2480Detect(port);
    return 0;
}

OwPortInfo owPortInfo(int port)
{
    OwPortInfo info{};
    if (port < 0 || port >= MAX_PORTNUM) return info;
    const OwPort& p = g_ports[port];
    info = {p.open ? 1 : 0, p.UMode, p.USpeed, p.UBaud, p.ULevel, p.UVersion, p.ProgramAvailable,
            p.LastDiscrepancy, p.LastFamilyDiscrepancy, p.LastDevice};
    return info;
}
