// MQTT peers for tests and benchmarks: a real mosquitto broker on a free
// loopback port (stopped by its PID), and a small libmosquitto client that
// records every message arriving on the topics it subscribed to.
#pragma once

#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "deadline.h"
#include "sandbox.h"

namespace mqtt_peer {

inline int free_tcp_port()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

inline bool accepts(int port)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

// mosquitto with anonymous access on 127.0.0.1:port; its log in dir.
class Broker {
public:
    explicit Broker(const std::string& dir) : dir_(dir), port_(free_tcp_port()) {}
    ~Broker() { stop(); }
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    int port() const { return port_; }

    // (Re)starts on the same port; true once it accepts connections.
    bool start()
    {
        const std::string conf = dir_ + "/mosquitto.conf";
        std::ofstream(conf) << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\npersistence false\n";
        const std::string log = dir_ + "/mosquitto.log";
        pid_ = fork();
        if (pid_ == 0) {
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
                close(fd);
            }
            execlp("mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        return wait_until([&] { return accepts(port_); }, 5000);
    }

    void stop()
    {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    std::string dir_;
    int port_;
    pid_t pid_ = -1;
};

// A client on the broker at 127.0.0.1:port, subscribed to `topics`.
class Client {
public:
    Client(int port, const std::vector<std::string>& topics) : topics_(topics)
    {
        mosquitto_lib_init();
        m_ = mosquitto_new(nullptr, true, this);
        mosquitto_connect_callback_set(m_, [](mosquitto* m, void* o, int rc) {
            if (rc != 0) return;
            for (const auto& t : static_cast<Client*>(o)->topics_) mosquitto_subscribe(m, nullptr, t.c_str(), 0);
        });
        mosquitto_subscribe_callback_set(m_, [](mosquitto*, void* o, int, int, const int*) {
            auto* c = static_cast<Client*>(o);
            std::lock_guard<std::mutex> lock(c->mutex_);
            ++c->subacks_;
        });
        mosquitto_message_callback_set(m_, [](mosquitto*, void* o, const mosquitto_message* msg) {
            auto* c = static_cast<Client*>(o);
            std::lock_guard<std::mutex> lock(c->mutex_);
            c->got_[msg->topic].emplace_back(static_cast<const char*>(msg->payload), msg->payloadlen);
        });
        mosquitto_connect(m_, "127.0.0.1", port, 60);
        mosquitto_loop_start(m_);
    }
    ~Client()
    {
        mosquitto_disconnect(m_);
        mosquitto_loop_stop(m_, true);
        mosquitto_destroy(m_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // True once every subscription is acknowledged.
    bool ready(int timeout_ms)
    {
        return wait(timeout_ms, [this] { return subacks_ >= topics_.size(); });
    }

    void publish(const std::string& topic, const std::string& payload)
    {
        mosquitto_publish(m_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 0, false);
    }

    std::vector<std::string> on(const std::string& topic)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return got_[topic];
    }

    // Waits until `topic` has received more than `seen` messages; message
    // number `seen` (from 0), or "" on time-out.
    std::string next(const std::string& topic, size_t seen, int timeout_ms)
    {
        std::string out;
        wait(timeout_ms, [&] {
            auto& v = got_[topic];
            if (v.size() <= seen) return false;
            out = v[seen];
            return true;
        });
        return out;
    }

    // Publishes a request and returns the next message on `answers`.
    std::string ask(const std::string& requests, const std::string& answers, const std::string& payload,
                    int timeout_ms = 3000)
    {
        const size_t seen = on(answers).size();
        publish(requests, payload);
        return next(answers, seen, timeout_ms);
    }

private:
    template <typename F>
    bool wait(int timeout_ms, F done)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms(timeout_ms));
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (done()) return true;
            }
            if (std::chrono::steady_clock::now() >= end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    std::vector<std::string> topics_;
    mosquitto* m_ = nullptr;
    std::mutex mutex_;
    size_t subacks_ = 0;
    std::map<std::string, std::vector<std::string>> got_;
};

}  // namespace mqtt_peer
