// An SMTP server as the mail receiver of tests: tests/support/smtp_sink.py
// (Debian's aiosmtpd) on loopback, on a free port or a given one, each mail
// kept as one decoded file; stopped by PID.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sandbox.h"

// One mail as the server received and decoded it.
struct ReceivedMail {
    std::string mail_from, rcpt_to;  // the envelope
    bool tls = false;                // sent after STARTTLS
    std::string auth;                // the account logged in, empty without login
    std::string from, to, subject;   // the headers, decoded
    std::string body;                // the decoded text
};

struct SmtpSinkOptions {
    int port = 0;                // 0: a free one
    std::string cert, key;       // offer STARTTLS with these
    std::string user, password;  // accept this login
};

class SmtpSink {
public:
    using Options = SmtpSinkOptions;

    // dir holds the server's output; it is made when missing.
    explicit SmtpSink(const std::string& dir, const Options& o = {}) : dir_(dir)
    {
        mkdir(dir_.c_str(), 0755);
        unlink((dir_ + "/ready").c_str());
        std::vector<std::string> args = {"/usr/bin/python3", KVT_SMTP_SINK, dir_};
        if (o.port) args.insert(args.end(), {"--port", std::to_string(o.port)});
        if (!o.cert.empty()) args.insert(args.end(), {"--tls", o.cert, o.key});
        if (!o.user.empty()) args.insert(args.end(), {"--auth", o.user, o.password});
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            int fd = open((dir_ + "/server.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
                close(fd);
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~SmtpSink() { stop(); }
    SmtpSink(const SmtpSink&) = delete;
    SmtpSink& operator=(const SmtpSink&) = delete;

    // True once the server accepts connections; port() is then known.
    bool ready(int timeout_ms)
    {
        return wait_until([&] {
            std::ifstream in(dir_ + "/ready");
            return static_cast<bool>(in >> port_);
        }, timeout_ms);
    }
    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    std::string log() const
    {
        std::ifstream in(dir_ + "/server.log");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    void stop()
    {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        if (!wait_until([&] { return waitpid(pid_, nullptr, WNOHANG) == pid_; }, 2000)) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }

    // Every mail received so far (also by earlier servers on this dir), in
    // arrival order.
    std::vector<ReceivedMail> mails() const
    {
        std::vector<std::string> names;
        if (DIR* d = opendir(dir_.c_str())) {
            while (dirent* e = readdir(d)) {
                std::string n = e->d_name;
                if (n.rfind("mail-", 0) == 0 && n.size() > 4 && n.substr(n.size() - 4) == ".txt") names.push_back(n);
            }
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        std::vector<ReceivedMail> out;
        for (const auto& n : names) out.push_back(parse(dir_ + "/" + n));
        return out;
    }
    bool wait_count(size_t n, int timeout_ms) const
    {
        return wait_until([&] { return mails().size() >= n; }, timeout_ms);
    }

private:
    static ReceivedMail parse(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        const std::string text = ss.str();
        const size_t split = text.find("\n\n");
        ReceivedMail m;
        m.body = split == std::string::npos ? "" : text.substr(split + 2);
        std::istringstream head(text.substr(0, split));
        for (std::string line; std::getline(head, line);) {
            const size_t colon = line.find(": ");
            const std::string key = line.substr(0, colon);
            const std::string value = colon == std::string::npos ? "" : line.substr(colon + 2);
            if (key == "mail_from") m.mail_from = value;
            else if (key == "rcpt_to") m.rcpt_to = value;
            else if (key == "tls") m.tls = value == "1";
            else if (key == "auth") m.auth = value;
            else if (key == "from") m.from = value;
            else if (key == "to") m.to = value;
            else if (key == "subject") m.subject = value;
        }
        return m;
    }

    std::string dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};
