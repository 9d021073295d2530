// Figures of the SNMP agent against net-snmp's snmpd on the same machine:
// a load generator of its own (raw UDP, a window of requests in flight)
// measures requests per second and agent CPU per request for GET at windows
// 1 and 16, agent CPU per variable binding for a GET of 10 bindings,
// GET-NEXT objects per second, and walks by GET-BULK (each agent its own
// tree). Targets: at most 20 us of agent CPU per GET and at most 0.4 of
// snmpd's; per binding at most 0.4 of snmpd's; the GET-BULK walk at least as
// many objects per second as snmpd's; the private walk under 1 s. Prints
// figures; judges nothing.
// Also agent CPU per authPriv GET (SHA-256, AES-128) against snmpd with the
// same user; targets: at most 25 us and at most 0.5 of snmpd's.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "sim_board.h"
#include "snmp.h"
#include "snmp_v3.h"
#include "snmp_wire.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace snmp_wire;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

std::string dir_of_exe()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string p(buf, static_cast<size_t>(n));
    return p.substr(0, p.rfind('/'));
}

// CPU time of every thread of pid, in nanoseconds.
double cpu_ns(pid_t pid)
{
    double total = 0;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (!d) return 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream in(dir + "/" + e->d_name + "/schedstat");
        double run = 0;
        if (in >> run) total += run;
    }
    closedir(d);
    return total;
}

// ---- Messages -----------------------------------------------------------------

// A v2c request for the encoded name; the request id is four octets the
// sender patches in at id_offset.
struct Request {
    Bytes bytes;
    size_t id_offset;
};

Request request(unsigned char pdu, const std::vector<Bytes>& names, int non_repeaters = 0, int max_repetitions = 0)
{
    Bytes list;
    for (const Bytes& name : names) {
        Bytes vb = tlv(0x30, cat({tlv(0x06, name), {0x05, 0x00}}));
        list.insert(list.end(), vb.begin(), vb.end());
    }
    Bytes pdu_content = cat({{0x02, 0x04, 0x10, 0, 0, 0}, {0x02, 0x01, static_cast<unsigned char>(non_repeaters)},
                             {0x02, 0x01, static_cast<unsigned char>(max_repetitions)}, tlv(0x30, list)});
    Bytes head = cat({{0x02, 0x01, 0x01}, tlv(0x04, {'p', 'u', 'b', 'l', 'i', 'c'})});
    Bytes msg = tlv(0x30, cat({head, tlv(pdu, pdu_content)}));
    const Bytes id = {0x02, 0x04, 0x10, 0, 0, 0};
    size_t at = static_cast<size_t>(std::search(msg.begin(), msg.end(), id.begin(), id.end()) - msg.begin());
    return {msg, at + 2};
}

// A request whose id cannot be patched (an encrypted one) has this offset.
constexpr size_t FIXED = ~size_t{0};

void set_id(Request& r, uint32_t id)
{
    if (r.id_offset == FIXED) return;
    for (int i = 0; i < 4; ++i) r.bytes[r.id_offset + static_cast<size_t>(i)] = static_cast<unsigned char>(id >> (24 - 8 * i));
}

// Walks a GetResponse: the request id and the variable bindings (name
// octets and value tag).
struct Response {
    bool ok = false;
    uint32_t id = 0;
    std::vector<std::pair<Bytes, int>> vbs;
};

bool read_tlv(const Bytes& b, size_t& pos, size_t end, int& tag, size_t& start, size_t& len)
{
    if (pos + 2 > end) return false;
    tag = b[pos];
    size_t l = b[pos + 1];
    size_t hdr = 2;
    if (l & 0x80) {
        size_t n = l & 0x7F;
        if (n < 1 || n > 2 || pos + 2 + n > end) return false;
        l = 0;
        for (size_t i = 0; i < n; ++i) l = (l << 8) | b[pos + 2 + i];
        hdr += n;
    }
    start = pos + hdr;
    len = l;
    if (start + len > end) return false;
    pos = start + len;
    return true;
}

Response parse(const Bytes& b)
{
    Response r;
    size_t pos = 0, s = 0, l = 0;
    int tag = 0;
    if (!read_tlv(b, pos, b.size(), tag, s, l) || tag != 0x30) return r;
    size_t p = s, end = s + l;
    if (!read_tlv(b, p, end, tag, s, l) || !read_tlv(b, p, end, tag, s, l)) return r;  // version, community
    if (!read_tlv(b, p, end, tag, s, l) || tag != 0xA2) return r;
    size_t q = s, pend = s + l;
    if (!read_tlv(b, q, pend, tag, s, l)) return r;
    for (size_t i = 0; i < l; ++i) r.id = (r.id << 8) | b[s + i];
    if (!read_tlv(b, q, pend, tag, s, l) || !read_tlv(b, q, pend, tag, s, l)) return r;  // status, index
    if (!read_tlv(b, q, pend, tag, s, l) || tag != 0x30) return r;
    size_t v = s, vend = s + l;
    while (v < vend) {
        if (!read_tlv(b, v, vend, tag, s, l) || tag != 0x30) return r;
        size_t w = s, wend = s + l;
        size_t ns = 0, nl = 0;
        if (!read_tlv(b, w, wend, tag, ns, nl) || tag != 0x06) return r;
        int vtag = 0;
        if (!read_tlv(b, w, wend, vtag, s, l)) return r;
        r.vbs.push_back({Bytes(b.begin() + static_cast<long>(ns), b.begin() + static_cast<long>(ns + nl)), vtag});
    }
    r.ok = true;
    return r;
}

// ---- Load ---------------------------------------------------------------------------

class Client {
public:
    explicit Client(int port)
    {
        s_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(s_, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    ~Client() { close(s_); }
    void send(const Bytes& b) { ::send(s_, b.data(), b.size(), 0); }
    bool receive(Bytes& out, int timeout_ms)
    {
        pollfd p{s_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) return false;
        unsigned char buf[65536];
        ssize_t n = recv(s_, buf, sizeof buf, 0);
        if (n <= 0) return false;
        out.assign(buf, buf + n);
        return true;
    }
    // One request, one answer.
    Response ask(Request r)
    {
        set_id(r, next_id_++);
        send(r.bytes);
        Bytes reply;
        while (receive(reply, 1000)) {
            Response resp = parse(reply);
            if (resp.ok && resp.id == next_id_ - 1) return resp;
        }
        return {};
    }

    uint32_t next_id_ = 0x10000000;

private:
    int s_ = -1;
};

struct Load {
    double rps = 0;
    double cpu_us = 0;  // agent CPU per request
    int lost = 0;
};

// n GETs with `window` of them in flight; idle_ns_per_s is the agent's own
// CPU use without requests, taken off its measured CPU.
Load run_load(int port, pid_t agent, const Request& tmpl, int n, int window, double idle_ns_per_s)
{
    Client c(port);
    Request r = tmpl;
    int sent = 0, answered = 0, lost = 0;
    const double cpu0 = cpu_ns(agent);
    auto t0 = Clock::now();
    auto send_one = [&] {
        set_id(r, c.next_id_++);
        c.send(r.bytes);
        ++sent;
    };
    while (sent < window && sent < n) send_one();
    Bytes reply;
    while (answered + lost < n) {
        if (c.receive(reply, 500)) {
            ++answered;
            if (sent < n) send_one();
        } else {
            // A datagram went missing: count it and keep the window full.
            ++lost;
            if (sent < n) send_one();
        }
    }
    const double wall = seconds_since(t0);
    const double cpu = cpu_ns(agent) - cpu0 - idle_ns_per_s * wall;
    return {answered / wall, cpu / 1000.0 / (answered ? answered : 1), lost};
}

double idle_cpu_rate(pid_t agent)
{
    const double c0 = cpu_ns(agent);
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    return (cpu_ns(agent) - c0) / seconds_since(t0);
}

// GET-NEXT (or GET-BULK with max_repetitions) from `start` while the names
// stay below `root` (encoded octets); returns the objects seen.
int walk(int port, const Bytes& root, int max_repetitions, int limit, double& seconds)
{
    Client c(port);
    Bytes name = root;
    int objects = 0;
    auto t0 = Clock::now();
    while (objects < limit) {
        Response r = c.ask(max_repetitions ? request(0xA5, {name}, 0, max_repetitions) : request(0xA1, {name}));
        if (!r.ok || r.vbs.empty()) break;
        bool inside = true;
        for (const auto& vb : r.vbs) {
            if (vb.second == 0x82 || vb.first.size() <= root.size() ||
                !std::equal(root.begin(), root.end(), vb.first.begin())) {
                inside = false;
                break;
            }
            ++objects;
            name = vb.first;
        }
        if (!inside) break;
    }
    seconds = seconds_since(t0);
    return objects;
}

// ---- Agents ----------------------------------------------------------------------------

bool answers(int port)
{
    Client c(port);
    const Bytes sys_descr = {0x2B, 6, 1, 2, 1, 1, 1, 0};
    for (int i = 0; i < 100; ++i) {
        if (c.ask(request(0xA0, {sys_descr})).ok) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

pid_t start(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& log)
{
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        FILE* out = std::freopen(log.c_str(), "w", stdout);
        FILE* err = std::freopen(log.c_str(), "a", stderr);
        (void)out;
        (void)err;
        for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

void stop(pid_t pid)
{
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
}

bool sql(const std::string& db_path, const char* text)
{
    sqlite3* db = nullptr;
    bool ok = sqlite3_open(db_path.c_str(), &db) == SQLITE_OK &&
              sqlite3_exec(db, text, nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

struct Figures {
    Load get1, get16;
    Load get10;  // a GET of 10 bindings
    double next_per_s = 0;
    double next_cpu_us = 0;
    double bulk_per_s[2] = {};  // GET-BULK walks at max-repetitions 10 and 50
};

constexpr int BULK_REPS[2] = {10, 50};

// walk_root: where GET-NEXT walks (encoded), each agent in its own tree.
Figures measure(int port, pid_t pid, const Bytes& walk_root)
{
    Figures f;
    const double idle = idle_cpu_rate(pid);
    const Bytes sys_descr = {0x2B, 6, 1, 2, 1, 1, 1, 0};
    Request get = request(0xA0, {sys_descr});
    run_load(port, pid, get, 2000, 4, idle);  // warm-up
    f.get1 = run_load(port, pid, get, 20000, 1, idle);
    f.get16 = run_load(port, pid, get, 50000, 16, idle);
    // The system group both agents serve: its seven objects and three again.
    std::vector<Bytes> ten;
    for (unsigned char k : {1, 2, 3, 4, 5, 6, 7, 1, 2, 5}) ten.push_back({0x2B, 6, 1, 2, 1, 1, k, 0});
    f.get10 = run_load(port, pid, request(0xA0, ten), 10000, 1, idle);
    double secs = 0;
    const double cpu0 = cpu_ns(pid);
    int n = walk(port, walk_root, 0, 3000, secs);
    f.next_per_s = n / secs;
    f.next_cpu_us = (cpu_ns(pid) - cpu0 - idle * secs) / 1000.0 / (n ? n : 1);
    for (int k = 0; k < 2; ++k) {
        n = walk(port, walk_root, BULK_REPS[k], 5000, secs);
        f.bulk_per_s[k] = n / secs;
    }
    return f;
}

// ---- SNMPv3 ---------------------------------------------------------------------------

const char* const V3_USER = "benchuser";
const char* const V3_AUTH_PASS = "bench-auth-phrase";
const char* const V3_PRIV_PASS = "bench-priv-phrase";

// An authPriv GET of sysDescr.0 for the agent at port as V3_USER
// (SHA-256, AES-128), its engine learnt from a probe; the same datagram
// serves every request while the agent's time window lasts. Empty when the
// agent's engine did not answer.
Bytes v3_get(int port)
{
    Client c(port);
    static const USM::Bytes none;
    const Bytes probe_pdu = {0xA0, 11, 2, 1, 0, 2, 1, 0, 2, 1, 0, 0x30, 0};
    unsigned char buf[SNMP_BUF_SIZE];
    V3::Outgoing o;
    o.msg_id = 1;
    o.reportable = true;
    o.engine_id = &none;
    o.context_engine = &none;
    o.pdu = probe_pdu.data();
    o.pdu_len = probe_pdu.size();
    size_t n = V3::encode(o, buf, sizeof buf);
    c.send(Bytes(buf, buf + n));
    Bytes reply;
    V3::Message m;
    if (!c.receive(reply, 2000) || !V3::decode(reply.data(), reply.size(), m) || m.engine_id_len == 0) return {};
    const USM::Bytes engine(m.engine_id, m.engine_id + m.engine_id_len);
    UsmUser u;
    u.name = V3_USER;
    u.auth = USM::Auth::SHA256;
    u.priv = USM::Priv::AES128;
    u.auth_key = USM::localize_key(u.auth, USM::password_to_key(u.auth, V3_AUTH_PASS), engine);
    u.priv_key = USM::priv_key(u.auth, u.priv,
                               USM::localize_key(u.auth, USM::password_to_key(u.auth, V3_PRIV_PASS), engine));
    const Bytes sys_descr = {0x2B, 6, 1, 2, 1, 1, 1, 0};
    const Request get = request(0xA0, {sys_descr});
    // The PDU of the v2c request: past its header, version and community.
    const size_t pdu_at = 2 + 3 + 8;
    V3::Outgoing q;
    q.msg_id = 2;
    q.reportable = true;
    q.auth = q.priv = true;
    q.engine_id = &engine;
    q.boots = m.boots;
    q.time = m.time;
    q.user = &u;
    q.context_engine = &engine;
    q.pdu = get.bytes.data() + pdu_at;
    q.pdu_len = get.bytes.size() - pdu_at;
    n = V3::encode(q, buf, sizeof buf);
    const Bytes msg(buf, buf + n);
    // The answer must be the Response, secured as asked (a report is not).
    c.send(msg);
    if (!c.receive(reply, 2000) || !V3::decode(reply.data(), reply.size(), m) ||
        (m.flags & (V3::FLAG_AUTH | V3::FLAG_PRIV)) != (V3::FLAG_AUTH | V3::FLAG_PRIV))
        return {};
    return msg;
}

// Agent CPU per authPriv GET, net of its idle use; negative when the agent
// would not answer.
double v3_cpu_us(int port, pid_t pid, bool& lost)
{
    const Bytes msg = v3_get(port);
    if (msg.empty()) return -1;
    const double idle = idle_cpu_rate(pid);
    const Request r{msg, FIXED};
    run_load(port, pid, r, 500, 1, idle);  // warm-up
    const Load l = run_load(port, pid, r, 10000, 1, idle);
    lost = l.lost != 0;
    return l.cpu_us;
}

}  // namespace

int main()
{
    const std::string dir = dir_of_exe();
    const std::string sim = dir + "/../kvt7400sim";
#ifdef KVT_DB_DIR
    const std::string factory = std::string(KVT_DB_DIR) + "/db.sqlite3";
#else
    const std::string factory = dir + "/../db/db.sqlite3";
#endif
    const char* snmpd = "/usr/sbin/snmpd";
    if (access(sim.c_str(), X_OK) != 0 || access(factory.c_str(), R_OK) != 0 || access(snmpd, X_OK) != 0) {
        std::printf("snmp figures skipped: %s, %s or %s not found (tools/install-deps.sh installs snmpd)\n", sim.c_str(),
                    factory.c_str(), snmpd);
        return 0;
    }
    char tmpl[] = "/tmp/kvt-snmp-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string root = tmpl;
    std::string err;
    if (!simboard::sandbox_init(root, factory, err) ||
        !sql(root + "/opt/KVT7400/db.sqlite3",
             "UPDATE webapp_snmp_config SET snmp_access_ipaddr='127.0.0.1', snmp_access_community='public', "
             "snmp_access_enable=1 WHERE id=1;"
             "UPDATE webapp_snmp_user SET snmp_user_name='benchuser', snmp_user_auth=3, "
             "snmp_user_auth_pass='bench-auth-phrase', snmp_user_priv=1, snmp_user_priv_pass='bench-priv-phrase', "
             "snmp_user_enable=1 WHERE id=1;")) {
        std::printf("snmp figures skipped: sandbox %s: %s\n", root.c_str(), err.c_str());
        return 1;
    }
    const int kvt_port = free_udp_port();
    pid_t kvt = start({sim}, {"KVT_ROOT=" + root, "KVT_SNMP_PORT=" + std::to_string(kvt_port)}, root + "/sim/console.log");

    const int snmpd_port = free_udp_port();
    const std::string conf = root + "/snmpd.conf";
    std::ofstream(conf) << "agentaddress udp:127.0.0.1:" << snmpd_port << "\nrocommunity public 127.0.0.1\n"
                        << "createUser " << V3_USER << " SHA-256 " << V3_AUTH_PASS << " AES " << V3_PRIV_PASS << "\n"
                        << "rouser " << V3_USER << " priv\n";
    pid_t net = start({snmpd, "-f", "-C", "-c", conf, "-Lf", root + "/snmpd.log"}, {"SNMP_PERSISTENT_DIR=" + root},
                      root + "/snmpd.out");

    int rc = 0;
    if (!answers(kvt_port) || !answers(snmpd_port)) {
        std::printf("snmp figures skipped: an agent did not answer (see %s)\n", root.c_str());
        rc = 1;
    } else {
        const Bytes private_root = {0x2B, 6, 1, 4, 1, 0x83, 0xC6, 0x65, 0x16};
        Figures k = measure(kvt_port, kvt, private_root);
        Figures s = measure(snmpd_port, net, {0x2B, 6, 1});
        std::printf("GET sysDescr.0, agent CPU per request net of its idle use; kvt7400sim vs snmpd on loopback\n");
        for (int w : {1, 16}) {
            const Load& a = w == 1 ? k.get1 : k.get16;
            const Load& b = w == 1 ? s.get1 : s.get16;
            std::printf("window %2d   kvt7400sim %8.0f req/s %6.1f us CPU   snmpd %8.0f req/s %6.1f us CPU   "
                        "ratio req/s %.2f CPU %.2f   (target: <= 20 us, <= 0.4 of snmpd)%s\n",
                        w, a.rps, a.cpu_us, b.rps, b.cpu_us, a.rps / b.rps, a.cpu_us / b.cpu_us,
                        a.lost + b.lost ? "  (datagrams lost)" : "");
        }
        std::printf("GET-NEXT   kvt7400sim %8.0f objects/s %6.1f us CPU   snmpd %8.0f objects/s %6.1f us CPU   "
                    "ratio objects/s %.2f CPU %.2f\n",
                    k.next_per_s, k.next_cpu_us, s.next_per_s, s.next_cpu_us, k.next_per_s / s.next_per_s,
                    k.next_cpu_us / s.next_cpu_us);
        std::printf("GET of 10 bindings, CPU per binding   kvt7400sim %6.2f us   snmpd %6.2f us   ratio %.2f   "
                    "(target: <= 0.4)%s\n",
                    k.get10.cpu_us / 10, s.get10.cpu_us / 10, k.get10.cpu_us / s.get10.cpu_us,
                    k.get10.lost + s.get10.lost ? "  (datagrams lost)" : "");
        for (int i = 0; i < 2; ++i)
            std::printf("GET-BULK walk, max-repetitions %2d   kvt7400sim %8.0f objects/s (private tree)   snmpd %8.0f "
                        "objects/s (its own tree)   ratio %.2f   (target: >= 1)\n",
                        BULK_REPS[i], k.bulk_per_s[i], s.bulk_per_s[i], k.bulk_per_s[i] / s.bulk_per_s[i]);
        double secs = 0;
        int n = walk(kvt_port, private_root, 10, 100000, secs);
        std::printf("private walk by GET-BULK: %d objects in %.3f s   (target: under 1 s)\n", n, secs);
        bool lost_k = false, lost_s = false;
        const double v3_k = v3_cpu_us(kvt_port, kvt, lost_k);
        const double v3_s = v3_cpu_us(snmpd_port, net, lost_s);
        if (v3_k < 0 || v3_s < 0)
            std::printf("SNMPv3 figures skipped: %s did not answer the authPriv GET\n", v3_k < 0 ? "kvt7400sim" : "snmpd");
        else
            std::printf("authPriv GET sysDescr.0 (SHA-256, AES-128), agent CPU per request   kvt7400sim %6.1f us   "
                        "snmpd %6.1f us   ratio %.2f   (target: <= 25 us, <= 0.5 of snmpd)%s\n",
                        v3_k, v3_s, v3_k / v3_s, lost_k || lost_s ? "  (datagrams lost)" : "");
    }
    stop(kvt);
    stop(net);
    if (!std::getenv("KVT_KEEP_SANDBOX")) {
        std::string cmd = "rm -rf '" + root + "'";
        if (std::system(cmd.c_str()) != 0) std::printf("could not remove %s\n", root.c_str());
    }
    return rc;
}
