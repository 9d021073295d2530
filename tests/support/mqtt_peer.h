// MQTT peers for tests and benchmarks: a real mosquitto broker on a free
// loopback port (stopped by its PID), plain or over TLS, and a small
// libmosquitto client that records every message arriving on the topics it
// subscribed to; certificates made with the openssl command.
#pragma once

#include <mosquitto.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "deadline.h"
#include "process.h"
#include "sandbox.h"

namespace mqtt_peer {

inline int free_tcp_port() { return free_port(SOCK_STREAM); }

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

// A CA and the certificates it signs, made in `dir` by the openssl command:
// <name>.crt and <name>.key. Leaf certificates name 127.0.0.1 by an IP
// subjectAltName. True when every command succeeded.
inline bool make_ca(const std::string& dir, const std::string& ca)
{
    const std::string k = dir + "/" + ca;
    return std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj '/CN=" +
                        ca + "' -keyout " + k + ".key -out " + k + ".crt 2>/dev/null").c_str()) == 0;
}
inline bool make_leaf(const std::string& dir, const std::string& ca, const std::string& name)
{
    const std::string k = dir + "/" + name, c = dir + "/" + ca;
    std::ofstream(k + ".ext") << "basicConstraints=CA:FALSE\nsubjectAltName=IP:127.0.0.1\n";
    return std::system(("openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj '/CN=" + name +
                        "' -keyout " + k + ".key -out " + k + ".csr 2>/dev/null && openssl x509 -req -in " + k +
                        ".csr -CA " + c + ".crt -CAkey " + c + ".key -CAcreateserial -days 2 -extfile " + k +
                        ".ext -out " + k + ".crt 2>/dev/null")
                           .c_str()) == 0;
}

// TLS files of a peer: the CA file it trusts, its own certificate and key
// (empty: none).
struct Tls {
    std::string cafile, certfile, keyfile;
    bool require_certificate = false;  // broker: clients must present one
};

// mosquitto with anonymous access on 127.0.0.1:port, plain or over TLS;
// its log in dir. With `persistent`, sessions and their queued messages
// survive a restart.
class Broker {
public:
    explicit Broker(const std::string& dir, Tls tls = {}, bool persistent = false)
        : dir_(dir), port_(free_tcp_port()), tls_(tls), persistent_(persistent) {}
    ~Broker() { stop(); }
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    int port() const { return port_; }

    // (Re)starts on the same port; true once it accepts connections.
    bool start()
    {
        const std::string conf = dir_ + "/mosquitto.conf";
        {
            std::ofstream c(conf);
            c << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\n";
            // Started as root it would read the sandbox's keys and write its
            // store as the mosquitto user; it stays who the test is.
            if (geteuid() == 0) c << "user root\n";
            if (persistent_) c << "persistence true\npersistence_location " << dir_ << "/\n";
            else c << "persistence false\n";
            if (!tls_.certfile.empty())
                c << "cafile " << tls_.cafile << "\ncertfile " << tls_.certfile << "\nkeyfile " << tls_.keyfile
                  << "\ntls_version tlsv1.2\nrequire_certificate " << (tls_.require_certificate ? "true" : "false")
                  << "\n";
        }
        pid_ = spawn_logged({"mosquitto", "-c", conf}, dir_ + "/mosquitto.log");
        return wait_until([&] { return accepts(port_); }, 5000);
    }

    void stop() { stop_process(pid_); }

private:
    std::string dir_;
    int port_;
    pid_t pid_ = -1;
    Tls tls_;
    bool persistent_;
};

// mosquitto_sub as a persistent QoS 1 subscriber (-c -i id -q 1) of one
// topic, each payload a line of `out`; stopped by its PID.
class Subscriber {
public:
    Subscriber(int port, const std::string& id, const std::string& topic, const std::string& out)
        : pid_(spawn_logged({"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port), "-c", "-i", id, "-q", "1",
                             "-t", topic},
                            out, true, true))
    {
    }
    ~Subscriber() { stop_process(pid_); }
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;

private:
    pid_t pid_ = -1;
};

// A client on the broker at 127.0.0.1:port, subscribed to `topics`.
class Client {
public:
    Client(int port, const std::vector<std::string>& topics, const Tls& tls = {}) : topics_(topics)
    {
        mosquitto_lib_init();
        m_ = mosquitto_new(nullptr, true, this);
        if (!tls.cafile.empty())
            mosquitto_tls_set(m_, tls.cafile.c_str(), nullptr, tls.certfile.empty() ? nullptr : tls.certfile.c_str(),
                              tls.keyfile.empty() ? nullptr : tls.keyfile.c_str(), nullptr);
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
