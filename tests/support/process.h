// Running the real programs from end-to-end tests: the simulated service in
// a sandbox, and the command-line tools.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class SimProcess {
public:
    // Starts kvt7400sim with KVT_ROOT = root; its console goes to
    // <root>/sim/console.log.
    explicit SimProcess(const std::string& root, const std::vector<std::string>& extra_env = {});
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    pid_t pid() const { return pid_; }
    std::string console() const;
    bool wait_console(const std::string& text, int timeout_ms) const;
    // Waits until start-up is complete (run line 67 at 1 and the buzzer done).
    bool wait_started(int timeout_ms) const;
    void signal(int sig) const;
    // Exit code once the process ended, -1 on time-out, 128+n when killed by signal n.
    int wait_exit(int timeout_ms);
    bool running();

private:
    std::string root_;
    pid_t pid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
};

// Runs a program to completion; returns its exit code and its output
// (standard output and standard error together). extra_env entries are
// "NAME=value" to set and "NAME" to remove.
int run_program(const std::vector<std::string>& argv, std::string* out, const std::vector<std::string>& extra_env = {});
// The same with standard output and standard error kept apart.
int run_program_split(const std::vector<std::string>& argv, std::string* out, std::string* err,
                      const std::vector<std::string>& extra_env = {});

// Runs a tool built beside the service (kvtctl, kvtsim) on the sandbox at
// root ("-r root" first); returns its exit code, its output in *out.
int run_tool(const std::string& tool, const std::string& root, const std::vector<std::string>& args,
             std::string* out = nullptr);

// System V queues outlive their processes: removes the queue of the sandbox
// at root when the test ends.
struct QueueCleanup {
    std::string root;
    ~QueueCleanup();
};
