// net-snmp's snmptrapd as the trap receiver of tests and benchmarks: started
// on a free loopback port with a configuration that accepts the given
// communities, printing every trap as one parseable line, stopped by PID.
#pragma once

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "sandbox.h"
#include "snmp_wire.h"

// One trap as snmptrapd decoded it.
struct ReceivedTrap {
    std::string version;     // "v1", "v2c" or "v3"
    std::string community;
    std::string user;        // v3 user
    std::string agent;       // v1 agent-addr (0.0.0.0 for v2c)
    std::string enterprise;  // v1 enterprise, without the leading dot
    int generic = -1;        // v1 generic-trap
    int specific = -1;       // v1 specific-trap
    long time_stamp = -1;    // v1 time-stamp
    std::vector<std::pair<std::string, std::string>> varbinds;  // name without the leading dot, value text

    // The value text of a binding ("INTEGER: 5"), empty when it is absent.
    std::string value(const std::string& name) const
    {
        for (const auto& v : varbinds)
            if (v.first == name) return v.second;
        return "";
    }
    // snmpTrapOID of a v2c trap, the enterprise of a v1 trap.
    std::string trap_oid() const
    {
        if (version == "v1") return enterprise;
        std::string v = value("1.3.6.1.6.3.1.1.4.1.0");
        return v.rfind("OID: .", 0) == 0 ? v.substr(6) : v;
    }
};

class TrapReceiver {
public:
    // dir holds snmptrapd's configuration, state and output; more_conf is
    // added to the configuration (SNMPv3 users).
    TrapReceiver(const std::string& dir, const std::vector<std::string>& communities, const std::string& more_conf = "")
        : dir_(dir), port_(snmp_wire::free_udp_port())
    {
        std::ofstream conf(dir_ + "/snmptrapd.conf");
        for (const auto& c : communities) conf << "authCommunity log " << c << "\n";
        conf << more_conf;
        conf.close();
        const std::string format = "TRAP|%a|%N|%w|%q|%T|%P|%V\t%v\n";
        // env execs snmptrapd in its own process (the PID stays); its state
        // stays in dir, not in the machine's /var/lib/snmp.
        std::vector<std::string> args = {"/usr/bin/env", "SNMP_PERSISTENT_DIR=" + dir_, "/usr/sbin/snmptrapd", "-f",
                                         "-C", "-c", dir_ + "/snmptrapd.conf", "-n", "-On", "-m", "", "-Lf",
                                         log_path(), "-F", format, "udp:127.0.0.1:" + std::to_string(port_)};
        pid_ = spawn_logged(args, dir_ + "/snmptrapd.out", false);
    }
    ~TrapReceiver() { stop_process(pid_, 2000); }
    TrapReceiver(const TrapReceiver&) = delete;
    TrapReceiver& operator=(const TrapReceiver&) = delete;

    int port() const { return port_; }
    std::string log_path() const { return dir_ + "/traps.log"; }
    std::string log() const
    {
        std::ifstream in(log_path(), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    // True once snmptrapd has announced itself (its transport is open).
    bool ready(int timeout_ms) const
    {
        return wait_until([&] { return log().find("NET-SNMP version") != std::string::npos; }, timeout_ms);
    }

    std::vector<ReceivedTrap> traps() const
    {
        std::vector<ReceivedTrap> out;
        std::istringstream in(log());
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("TRAP|", 0) != 0) continue;
            std::vector<std::string> f;
            size_t pos = 5;
            for (int k = 0; k < 6; ++k) {
                size_t bar = line.find('|', pos);
                if (bar == std::string::npos) break;
                f.push_back(line.substr(pos, bar - pos));
                pos = bar + 1;
            }
            if (f.size() < 6) continue;
            ReceivedTrap t;
            t.agent = f[0];
            t.enterprise = f[1].size() > 1 ? f[1].substr(1) : "";
            t.generic = std::atoi(f[2].c_str());
            t.specific = std::atoi(f[3].c_str() + (f[3].rfind(".", 0) == 0 ? 1 : 0));
            t.time_stamp = std::atol(f[4].c_str());
            // "TRAP, SNMP v1, community public" / "TRAP2, SNMP v2c, community public"
            const std::string& sec = f[5];
            t.version = sec.find("SNMP v1") != std::string::npos   ? "v1"
                        : sec.find("SNMP v3") != std::string::npos ? "v3"
                                                                   : "v2c";
            size_t c = sec.find("community ");
            if (c != std::string::npos) t.community = sec.substr(c + 10);
            // "TRAP2, SNMP v3, user name, context "
            size_t u = sec.find("user ");
            if (u != std::string::npos) t.user = sec.substr(u + 5, sec.find(',', u) - (u + 5));
            std::istringstream vbs(line.substr(pos));
            for (std::string vb; std::getline(vbs, vb, '\t');) {
                size_t eq = vb.find(" = ");
                if (eq == std::string::npos) continue;
                std::string name = vb.substr(vb[0] == '.' ? 1 : 0, eq - (vb[0] == '.' ? 1 : 0));
                std::string value = vb.substr(eq + 3);
                while (!value.empty() && value.back() == ' ') value.pop_back();
                t.varbinds.emplace_back(name, value);
            }
            out.push_back(t);
        }
        return out;
    }

private:
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};
