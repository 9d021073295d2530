// A fresh sandbox per test: the appliance's directories and files, the
// simulated board and (when built) the factory database, with the service's
// paths pointed at it.
#pragma once

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "sim_board.h"

class TestSandbox {
public:
    explicit TestSandbox(bool with_db = true);
    ~TestSandbox();
    TestSandbox(const TestSandbox&) = delete;
    TestSandbox& operator=(const TestSandbox&) = delete;

    const std::string& root() const { return root_; }
    // The real location of a path as the service names it.
    std::string path(const std::string& service_path) const { return root_ + service_path; }
    std::string read(const std::string& service_path) const;
    void write(const std::string& service_path, const std::string& content) const;
    bool exists(const std::string& service_path) const;
    std::vector<std::string> journal() const;
    bool journal_has(const std::string& command) const;
    // The current application log.
    std::string applog() const { return read("/log/app_log/applog1.txt"); }
    std::vector<std::string> fpga_writes() const;
    // A table the service shares through a file (/tmp/mmapfile_monitor,
    // /tmp/mmapfile_flg, ...) as it stands; true when the file held it whole.
    template <typename T>
    bool read_table(const std::string& service_path, T& out) const
    {
        std::ifstream in(path(service_path), std::ios::binary);
        return in.read(reinterpret_cast<char*>(&out), sizeof out) && in.gcount() == sizeof out;
    }
    template <typename T>
    T table(const std::string& service_path) const
    {
        T t{};
        read_table(service_path, t);
        return t;
    }

    int gpio(int chip, int line);
    void set_gpio(int chip, int line, int value);
    int fpga(unsigned offset);
    void set_fault(uint32_t bits);

private:
    simboard::Header* board();
    std::string root_;
    simboard::Mapping board_;
};

// Polls cond every 10 ms until it holds or timeout_ms pass.
bool wait_until(const std::function<bool()>& cond, int timeout_ms);

// Path of a database built by the project (factory or fixture), or "" when
// it was not built.
std::string built_db(const std::string& name);

// Puts the service's process-wide run flags back to a running service.
void reset_run_flags();

// Counts non-overlapping occurrences of needle in hay.
int count_of(const std::string& hay, const std::string& needle);
// The lines of a text, without their newlines.
std::vector<std::string> lines_of(const std::string& text);
