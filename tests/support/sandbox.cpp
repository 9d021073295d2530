#include "sandbox.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "common.h"
#include "platform.h"
#include "sim_shell.h"
#include "deadline.h"

#ifndef KVT_DB_DIR
#define KVT_DB_DIR ""
#endif

namespace {
int remove_entry(const char* p, const struct stat*, int, struct FTW*) { return remove(p); }
}  // namespace

std::string built_db(const std::string& name)
{
    std::string p = std::string(KVT_DB_DIR) + "/" + name;
    return access(p.c_str(), R_OK) == 0 ? p : "";
}

TestSandbox::TestSandbox(bool with_db)
{
    char tmpl[] = "/tmp/kvt-test-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    root_ = tmpl;
    std::string err;
    if (!simboard::sandbox_init(root_, with_db ? built_db("db.sqlite3") : "", err))
        throw std::runtime_error("sandbox_init: " + err);
    set_sandbox_root(root_);
}

TestSandbox::~TestSandbox()
{
    simboard::board_unmap(board_);
    if (!std::getenv("KVT_KEEP_SANDBOX")) nftw(root_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string TestSandbox::read(const std::string& service_path) const
{
    std::ifstream in(path(service_path), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void TestSandbox::write(const std::string& service_path, const std::string& content) const
{
    std::ofstream out(path(service_path), std::ios::binary | std::ios::trunc);
    out << content;
}

bool TestSandbox::exists(const std::string& service_path) const
{
    return access(path(service_path).c_str(), F_OK) == 0;
}

std::vector<std::string> TestSandbox::journal() const { return sim_journal(root_); }

bool TestSandbox::journal_has(const std::string& command) const
{
    for (const auto& l : journal())
        if (l == command) return true;
    return false;
}

std::vector<std::string> TestSandbox::fpga_writes() const { return lines_of(read("/sim/fpga.log")); }

simboard::Header* TestSandbox::board()
{
    if (!board_.hdr) {
        std::string err;
        if (!simboard::board_map(root_, board_, err)) throw std::runtime_error(err);
    }
    return board_.hdr;
}

int TestSandbox::gpio(int chip, int line) { return board()->gpio[chip][line]; }
void TestSandbox::set_gpio(int chip, int line, int value) { board()->gpio[chip][line] = static_cast<uint8_t>(value); }
int TestSandbox::fpga(unsigned offset)
{
    board();
    return board_.fpga[offset];
}
void TestSandbox::set_fault(uint32_t bits) { board()->faults = bits; }

bool wait_until(const std::function<bool()>& cond, int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms(timeout_ms));
    while (std::chrono::steady_clock::now() < deadline) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

void reset_run_flags()
{
    control = 1;
    rebootflg = 0;
    updateflg = 0;
    sigterm_received = 0;
}

int count_of(const std::string& hay, const std::string& needle)
{
    int n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + needle.size())) ++n;
    return n;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}
