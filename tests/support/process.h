// Running the real programs from end-to-end tests: the simulated service in
// a sandbox, and the command-line tools.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sandbox.h"

// ---- Peer processes (inline: the benchmarks use them without the rest) ----

// A loopback port of `type` (SOCK_STREAM, SOCK_DGRAM) that was free a moment ago.
inline int free_port(int type)
{
    int s = socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

// Starts argv (argv[0] looked up in PATH) with its standard output, and its
// standard error unless out_only, appended to `log` (or over it), in the
// environment envp (null: this process's); its PID.
inline pid_t spawn_logged(std::vector<std::string> argv, const std::string& log, bool append = true,
                          bool out_only = false, char* const* envp = nullptr)
{
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC), 0666);
        if (fd >= 0) {
            dup2(fd, 1);
            if (!out_only) dup2(fd, 2);
            close(fd);
        }
        execvpe(args[0], args.data(), envp ? envp : environ);
        _exit(127);
    }
    return pid;
}

// SIGTERM, SIGKILL when it has not ended within grace_ms; reaped, pid -1.
inline void stop_process(pid_t& pid, int grace_ms = 5000)
{
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    if (!wait_until([&] { return waitpid(pid, nullptr, WNOHANG) == pid; }, grace_ms)) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    pid = -1;
}

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

// The environment that starts the service's clock a few seconds before a
// whole minute (when the state threads start) where libfaketime is
// installed; empty elsewhere.
std::vector<std::string> clock_near_a_minute();

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
