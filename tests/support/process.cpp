#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "sandbox.h"

extern char** environ;

namespace {

std::vector<char*> env_with(const std::vector<std::string>& extra, std::vector<std::string>& store)
{
    for (char** e = environ; *e; ++e) store.emplace_back(*e);
    for (const auto& x : extra) store.push_back(x);
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
    std::string log = root + "/sim/console.log";
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        char* argv[] = {const_cast<char*>(KVT_SIM_BIN), nullptr};
        execve(KVT_SIM_BIN, argv, envp.data());
        _exit(127);
    }
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

int run_program(const std::vector<std::string>& argv, std::string* out, const std::vector<std::string>& extra_env)
{
    int pipefd[2];
    if (pipe(pipefd) != 0) return -1;
    std::vector<std::string> store;
    std::vector<char*> envp = env_with(extra_env, store);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipefd[1], 1);
        dup2(pipefd[1], 2);
        close(pipefd[0]);
        close(pipefd[1]);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(pipefd[1]);
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(pipefd[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(pipefd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int count_of(const std::string& hay, const std::string& needle)
{
    int n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + needle.size())) ++n;
    return n;
}
