// An SMTP server as the mail receiver of tests: tests/support/smtp_sink.py
// (Debian's aiosmtpd) on loopback, on a free port or a given one, each mail
// kept as one decoded file; stopped by PID.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "process.h"
#include "sandbox.h"

// One mail as the server decoded it.
struct ReceivedMail {
    std::string rcpt_to, from, subject, tls, auth, body;
};

class SmtpSink {
public:
    // dir is made for the server's files; `tls` is {cert, key, user, password}
    // to offer STARTTLS and take that login.
    explicit SmtpSink(const std::string& dir, int port = 0, std::vector<std::string> tls = {}) : dir_(dir)
    {
        mkdir(dir_.c_str(), 0755);
        std::vector<std::string> args = {"/usr/bin/python3", KVT_SMTP_SINK, dir_, std::to_string(port)};
        args.insert(args.end(), tls.begin(), tls.end());
        pid_ = spawn_logged(args, dir_ + "/server.log");
    }
    ~SmtpSink() { stop(); }
    SmtpSink(const SmtpSink&) = delete;
    SmtpSink& operator=(const SmtpSink&) = delete;

    // True once it listens; port() is then known.
    bool ready(int timeout_ms)
    {
        return wait_until([&] { return static_cast<bool>(std::ifstream(dir_ + "/ready") >> port_); }, timeout_ms);
    }
    int port() const { return port_; }
    std::string log() const { return text(dir_ + "/server.log"); }
    void stop() { stop_process(pid_); }

    // The mails received so far, in arrival order.
    std::vector<ReceivedMail> mails() const
    {
        std::vector<ReceivedMail> out;
        for (int n = 1;; ++n) {
            char name[32];
            std::snprintf(name, sizeof name, "/mail-%04d.txt", n);
            if (access((dir_ + name).c_str(), F_OK) != 0) return out;
            std::istringstream in(text(dir_ + name));
            ReceivedMail m;
            for (std::string* f : {&m.rcpt_to, &m.from, &m.subject, &m.tls, &m.auth}) {
                std::getline(in, *f);
                *f = f->substr(f->find(": ") + 2);
            }
            in.ignore(1);  // the empty line
            m.body.assign(std::istreambuf_iterator<char>(in), {});
            out.push_back(m);
        }
    }
    bool wait_count(size_t n, int timeout_ms) const
    {
        return wait_until([&] { return mails().size() >= n; }, timeout_ms);
    }

private:
    static std::string text(const std::string& path)
    {
        std::stringstream ss;
        ss << std::ifstream(path, std::ios::binary).rdbuf();
        return ss.str();
    }
    std::string dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};
