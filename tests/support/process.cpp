#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "sandbox.h"

namespace {

std::string env_name(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// The test's environment with `extra` laid over it: "NAME=value" replaces
// NAME, a bare "NAME" removes it (so a test can run a program without
// KVT_ROOT even when the developer has one set).
std::vector<char*> env_with(const std::vector<std::string>& extra, std::vector<std::string>& store)
{
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        bool overridden = false;
        for (const auto& x : extra) overridden = overridden || env_name(x) == env_name(entry);
        if (!overridden) store.push_back(entry);
    }
    for (const auto& x : extra)
        if (x.find('=') != std::string::npos) store.push_back(x);
    std::vector<char*> envp;
    for (auto& s : store) envp.push_back(s.data());
    envp.push_back(nullptr);
    return envp;
}

}  // namespace

SimProcess::SimProcess(const std::string& root, const std::vector<std::string>& extra_env) : root_(root)
{
    std::vector<std::string> store;
    std::vector<std::string> extra = extra_env;
    extra.push_back("KVT_ROOT=" + root);
    std::vector<char*> envp = env_with(extra, store);
    pid_ = spawn_logged({KVT_SIM_BIN}, root + "/sim/console.log", false, false, envp.data());
    if (pid_ < 0) throw std::runtime_error("fork failed");
}

SimProcess::~SimProcess()
{
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
    }
}

std::string SimProcess::console() const
{
    std::ifstream in(root_ + "/sim/console.log", std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool SimProcess::wait_console(const std::string& text, int timeout_ms) const
{
    return wait_until([&] { return console().find(text) != std::string::npos; }, timeout_ms);
}

bool SimProcess::wait_started(int timeout_ms) const
{
    // The last start-up step is the second buzzer "off".
    return wait_until(
        [&] {
            std::ifstream in(root_ + "/sim/commands.log");
            std::string line;
            int offs = 0;
            while (std::getline(in, line))
                if (line == "echo 0 > /sys/class/pwm/pwmchip0/pwm0/enable") ++offs;
            return offs >= 2;
        },
        timeout_ms);
}

void SimProcess::signal(int sig) const
{
    if (pid_ > 0 && !reaped_) kill(pid_, sig);
}

int SimProcess::wait_exit(int timeout_ms)
{
    if (!reaped_) {
        bool done = wait_until(
            [&] {
                pid_t r = waitpid(pid_, &status_, WNOHANG);
                return r == pid_;
            },
            timeout_ms);
        if (!done) return -1;
        reaped_ = true;
    }
    if (WIFEXITED(status_)) return WEXITSTATUS(status_);
    if (WIFSIGNALED(status_)) return 128 + WTERMSIG(status_);
    return -1;
}

bool SimProcess::running()
{
    if (reaped_) return false;
    pid_t r = waitpid(pid_, &status_, WNOHANG);
    if (r == pid_) {
        reaped_ = true;
        return false;
    }
    return true;
}

namespace {

std::string drain(int fd)
{
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    return text;
}

// err == nullptr sends standard error into out.
int run_to_end(const std::vector<std::string>& argv, std::string* out, std::string* err,
               const std::vector<std::string>& extra_env)
{
    int outfd[2], errfd[2] = {-1, -1};
    if (pipe(outfd) != 0) return -1;
    if (err && pipe(errfd) != 0) return -1;
    std::vector<std::string> store;
    std::vector<char*> envp = env_with(extra_env, store);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(outfd[1], 1);
        dup2(err ? errfd[1] : outfd[1], 2);
        for (int fd : {outfd[0], outfd[1], errfd[0], errfd[1]})
            if (fd >= 0) close(fd);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(outfd[1]);
    if (err) close(errfd[1]);
    // Standard error is read on a thread so neither pipe can fill up and
    // stall the program.
    std::string err_text;
    std::thread err_reader;
    if (err) err_reader = std::thread([&] { err_text = drain(errfd[0]); });
    std::string text = drain(outfd[0]);
    if (err_reader.joinable()) err_reader.join();
    close(outfd[0]);
    if (err) close(errfd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (out) *out = text;
    if (err) *err = err_text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int run_program(const std::vector<std::string>& argv, std::string* out, const std::vector<std::string>& extra_env)
{
    return run_to_end(argv, out, nullptr, extra_env);
}

int run_program_split(const std::vector<std::string>& argv, std::string* out, std::string* err,
                      const std::vector<std::string>& extra_env)
{
    std::string ignored;
    return run_to_end(argv, out, err ? err : &ignored, extra_env);
}

int run_tool(const std::string& tool, const std::string& root, const std::vector<std::string>& args, std::string* out)
{
    std::vector<std::string> argv = {std::string(KVT_BIN_DIR) + "/" + tool, "-r", root};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string ignored;
    return run_program(argv, out ? out : &ignored);
}

#ifndef KVT_FAKETIME_LIB
#define KVT_FAKETIME_LIB ""
#endif

std::vector<std::string> clock_near_a_minute()
{
    if (std::string(KVT_FAKETIME_LIB).empty()) return {};
    return {"LD_PRELOAD=" KVT_FAKETIME_LIB, "FAKETIME=@2026-01-05 10:00:52", "FAKETIME_DONT_FAKE_MONOTONIC=1"};
}

QueueCleanup::~QueueCleanup()
{
    int q = msgget(ftok((root + "/msgq.key").c_str(), 'X'), 0666);
    if (q >= 0) msgctl(q, IPC_RMID, nullptr);
}
