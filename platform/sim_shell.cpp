#include "sim_shell.h"

#include <cerrno>

#include <fcntl.h>
#include <glob.h>
#include <ftw.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

void journal(const std::string& root, const std::string& cmd)
{
    std::string line = cmd;
    if (line.empty() || line.back() != '\n') line += '\n';
    int fd = open((root + "/sim/commands.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
    if (fd < 0) return;
    // One write per command so lines from several threads never interleave.
    ssize_t n = write(fd, line.data(), line.size());
    (void)n;
    close(fd);
}

// Maps a path of the command into the sandbox; empty when it would leave it.
std::string map_path(const std::string& root, const std::string& p)
{
    if (p.empty()) return "";
    std::string rest = p;
    size_t pos = 0;
    while (pos <= rest.size()) {
        size_t next = rest.find('/', pos);
        std::string comp = rest.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
        if (comp == "..") return "";
        if (next == std::string::npos) break;
        pos = next + 1;
    }
    return p[0] == '/' ? root + p : root + "/" + p;
}

std::vector<std::string> expand(const std::string& mapped)
{
    if (mapped.find_first_of("*?[") == std::string::npos) return {mapped};
    std::vector<std::string> out;
    glob_t g;
    if (glob(mapped.c_str(), 0, nullptr, &g) == 0)
        for (size_t i = 0; i < g.gl_pathc; ++i) out.push_back(g.gl_pathv[i]);
    globfree(&g);
    return out;
}

bool is_dir(const std::string& p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string base_name(const std::string& p)
{
    size_t s = p.find_last_of('/');
    return s == std::string::npos ? p : p.substr(s + 1);
}

bool copy_file(const std::string& from, const std::string& to)
{
    std::ifstream in(from, std::ios::binary);
    if (!in || is_dir(from)) return false;
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    return static_cast<bool>(out);
}

bool write_text(const std::string& to, const std::string& text, bool append)
{
    std::ofstream out(to, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
    if (!out) return false;
    out << text;
    return static_cast<bool>(out);
}

int rm_tree_entry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

struct Args {
    std::vector<std::string> opts;
    std::vector<std::string> operands;
};

Args split_args(const std::vector<std::string>& w, size_t from, size_t to)
{
    Args a;
    for (size_t i = from; i < to; ++i) {
        if (w[i].size() > 1 && w[i][0] == '-' && a.operands.empty())
            a.opts.push_back(w[i]);
        else
            a.operands.push_back(w[i]);
    }
    return a;
}

bool has_opt(const Args& a, char c)
{
    for (const auto& o : a.opts)
        if (o.find(c) != std::string::npos) return true;
    return false;
}

// cp and mv: sources (globs allowed) into a file or a directory.
int copy_or_move(const std::string& root, const Args& a, bool move)
{
    if (a.operands.size() < 2) return 1;
    std::string dst = map_path(root, a.operands.back());
    if (dst.empty()) return 1;
    std::vector<std::string> srcs;
    for (size_t i = 0; i + 1 < a.operands.size(); ++i) {
        std::string m = map_path(root, a.operands[i]);
        if (m.empty()) return 1;
        for (auto& s : expand(m)) srcs.push_back(s);
    }
    if (srcs.empty()) return 1;
    bool into_dir = is_dir(dst);
    if (srcs.size() > 1 && !into_dir) return 1;
    int rc = 0;
    for (const auto& s : srcs) {
        std::string target = into_dir ? dst + "/" + base_name(s) : dst;
        bool ok = move ? rename(s.c_str(), target.c_str()) == 0 : copy_file(s, target);
        if (!ok) rc = 1;
    }
    return rc;
}

// w are the words, ops[i] true where w[i] is an unquoted shell operator (a
// quoted ">" is an ordinary word).
int emulate(const std::string& root, const std::vector<std::string>& w, const std::vector<bool>& ops)
{
    if (w.empty()) return 0;
    // Find the first operator; only "cmd > file", "cmd >> file" and a
    // trailing "| grep word" chain of answered commands are emulated.
    size_t op = 0;
    while (op < w.size() && !ops[op]) ++op;
    const std::string& prog = w[0];

    if (op < w.size() && (w[op] == ">" || w[op] == ">>") && op + 2 == w.size()) {
        std::string target = map_path(root, w[op + 1]);
        if (target.empty()) return 1;
        if (prog == "echo") {
            bool newline = true;
            size_t i = 1;
            if (i < op && w[i] == "-n") {
                newline = false;
                ++i;
            }
            std::string text;
            for (; i < op; ++i) text += (text.empty() ? "" : " ") + w[i];
            if (newline) text += "\n";
            return write_text(target, text, w[op] == ">>") ? 0 : 1;
        }
    }

    // Programs whose output the sandbox answers from sim/answers/<prog>.
    std::string answer_file = root + "/sim/answers/" + base_name(prog);
    if (op < w.size() && prog.find('/') == std::string::npos && access(answer_file.c_str(), R_OK) == 0) {
        std::ifstream in(answer_file, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        std::string out = ss.str();
        size_t i = op;
        while (i < w.size() && ops[i] && w[i] == "|") {
            if (i + 2 >= w.size() || w[i + 1] != "grep") return 0;
            std::string pat = w[i + 2], kept, line;
            std::istringstream lines(out);
            while (std::getline(lines, line))
                if (line.find(pat) != std::string::npos) kept += line + "\n";
            out = kept;
            i += 3;
        }
        if (i + 2 == w.size() && ops[i] && (w[i] == ">" || w[i] == ">>")) {
            std::string target = map_path(root, w[i + 1]);
            if (target.empty()) return 1;
            return write_text(target, out, w[i] == ">>") ? 0 : 1;
        }
        return 0;
    }

    if (op != w.size()) return 0;  // pipelines and lists are only journaled
    Args a = split_args(w, 1, w.size());
    if (prog == "cp") return copy_or_move(root, a, false);
    if (prog == "mv") return copy_or_move(root, a, true);
    if (prog == "rm") {
        int rc = 0;
        for (const auto& p : a.operands) {
            std::string m = map_path(root, p);
            if (m.empty()) return 1;
            auto paths = expand(m);
            if (paths.empty() && !has_opt(a, 'f')) rc = 1;
            for (const auto& e : paths) {
                bool ok = has_opt(a, 'r') && is_dir(e)
                              ? nftw(e.c_str(), rm_tree_entry, 16, FTW_DEPTH | FTW_PHYS) == 0
                              : (is_dir(e) ? false : unlink(e.c_str()) == 0);
                if (!ok && !(has_opt(a, 'f') && access(e.c_str(), F_OK) != 0)) rc = 1;
            }
        }
        return rc;
    }
    if (prog == "mkdir") {
        int rc = 0;
        for (const auto& p : a.operands) {
            std::string m = map_path(root, p);
            if (m.empty()) return 1;
            if (has_opt(a, 'p')) {
                for (size_t pos = root.size() + 1; pos != std::string::npos;) {
                    pos = m.find('/', pos + 1);
                    mkdir(m.substr(0, pos).c_str(), 0777);
                }
                if (!is_dir(m)) rc = 1;
            } else if (mkdir(m.c_str(), 0777) != 0) {
                rc = 1;
            }
        }
        return rc;
    }
    if (prog == "rmdir") {
        int rc = 0;
        for (const auto& p : a.operands) {
            std::string m = map_path(root, p);
            if (m.empty() || rmdir(m.c_str()) != 0) rc = 1;
        }
        return rc;
    }
    return 0;  // everything else is only journaled
}

// The real path of a python3 script the command names, when the command is
// "python3 SCRIPT ARGS..." alone (no operator) and SCRIPT, followed through
// every link, is a regular file inside the sandbox; empty otherwise.
std::string sandbox_script(const std::string& root, const std::vector<std::string>& w, const std::vector<bool>& ops)
{
    if (w.size() < 2 || w[0] != "python3") return "";
    for (bool op : ops)
        if (op) return "";
    std::string mapped = map_path(root, w[1]);
    char real_root[PATH_MAX], real_script[PATH_MAX];
    if (mapped.empty() || !realpath(root.c_str(), real_root) || !realpath(mapped.c_str(), real_script)) return "";
    std::string inside = std::string(real_root) + "/";
    struct stat st;
    if (std::strncmp(real_script, inside.c_str(), inside.size()) != 0 || stat(real_script, &st) != 0 ||
        !S_ISREG(st.st_mode))
        return "";
    return real_script;
}

// Runs the system's python3 on a sandbox script with the command's other
// words as its arguments, directly (no shell), and waits for it. The script
// finds the sandbox through KVT_ROOT. Returns the wait status as system()
// would, -1 when it could not be started.
int run_sandbox_script(const std::string& root, const std::string& script, const std::vector<std::string>& w)
{
    std::vector<std::string> args = {"python3", script};
    args.insert(args.end(), w.begin() + 2, w.end());
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "KVT_ROOT=", 9) != 0) env.push_back(*e);
    env.push_back("KVT_ROOT=" + root);
    // Everything the child needs is built before the fork: only exec runs
    // there, whatever other threads of the service hold.
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        execve("/usr/bin/python3", argv.data(), envp.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return status;
}

}  // namespace

namespace {

std::vector<std::string> split_words(const std::string& cmd, std::vector<bool>& ops)
{
    std::vector<std::string> words;
    ops.clear();
    std::string cur;
    bool have = false;
    for (size_t i = 0; i < cmd.size(); ++i) {
        char c = cmd[i];
        if (c == '\'') {
            size_t end = cmd.find('\'', i + 1);
            if (end == std::string::npos) end = cmd.size();
            cur += cmd.substr(i + 1, end - i - 1);
            have = true;
            i = end;
        } else if (c == '"') {
            ++i;
            for (; i < cmd.size() && cmd[i] != '"'; ++i) {
                if (cmd[i] == '\\' && i + 1 < cmd.size() &&
                    (cmd[i + 1] == '"' || cmd[i + 1] == '\\' || cmd[i + 1] == '$' || cmd[i + 1] == '`'))
                    ++i;
                cur += cmd[i];
            }
            have = true;
        } else if (c == '\\' && i + 1 < cmd.size()) {
            cur += cmd[++i];
            have = true;
        } else if (c == ' ' || c == '\t' || c == '\n') {
            if (have) {
                words.push_back(cur);
                ops.push_back(false);
            }
            cur.clear();
            have = false;
        } else if (c == '>' || c == '|' || c == ';' || c == '&') {
            if (have) {
                words.push_back(cur);
                ops.push_back(false);
            }
            cur.clear();
            have = false;
            std::string op(1, c);
            if (i + 1 < cmd.size() && cmd[i + 1] == c) op += cmd[++i];
            words.push_back(op);
            ops.push_back(true);
        } else {
            cur += c;
            have = true;
        }
    }
    if (have) {
        words.push_back(cur);
        ops.push_back(false);
    }
    return words;
}

}  // namespace

std::vector<std::string> sim_shell_words(const std::string& cmd)
{
    std::vector<bool> ops;
    return split_words(cmd, ops);
}

int sim_shell_run(const std::string& root, const std::string& cmd)
{
    journal(root, cmd);
    std::vector<bool> ops;
    std::vector<std::string> words = split_words(cmd, ops);
    std::string script = sandbox_script(root, words, ops);
    if (!script.empty()) return run_sandbox_script(root, script, words);
    return emulate(root, words, ops);
}

int sim_shell_fail(const std::string& root, const std::string& cmd)
{
    journal(root, cmd);
    return 1;
}

std::vector<std::string> sim_journal(const std::string& root)
{
    std::vector<std::string> lines;
    std::ifstream in(root + "/sim/commands.log", std::ios::binary);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

bool ifconfig_inet_addr(const std::string& text, const std::string& iface, unsigned int& addr)
{
    // A block starts with the interface name at the start of a line and
    // runs until the next line that is not indented.
    std::istringstream lines(text);
    std::string line;
    bool inside = false;
    while (std::getline(lines, line)) {
        if (!line.empty() && line[0] != ' ' && line[0] != '\t') {
            std::string name = line.substr(0, line.find_first_of(" \t:"));
            inside = name == iface;
            if (!inside) continue;
        }
        if (!inside) continue;
        size_t p = line.find("inet addr:");
        size_t skip = 10;
        if (p == std::string::npos) {
            p = line.find("inet ");
            skip = 5;
        }
        if (p == std::string::npos) continue;
        unsigned a[4];
        char tail = 0;
        std::string field = line.substr(p + skip);
        field = field.substr(0, field.find_first_of(" \t"));
        if (std::sscanf(field.c_str(), "%u.%u.%u.%u%c", &a[0], &a[1], &a[2], &a[3], &tail) != 4) return false;
        if (a[0] > 255 || a[1] > 255 || a[2] > 255 || a[3] > 255) return false;
        addr = (a[0] << 24) | (a[1] << 16) | (a[2] << 8) | a[3];
        return true;
    }
    return false;
}

bool ifconfig_hwaddr(const std::string& text, const std::string& iface, std::string& mac)
{
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == ' ' || line[0] == '\t') continue;
        if (line.substr(0, line.find_first_of(" \t:")) != iface) continue;
        size_t p = line.find("HWaddr ");
        if (p == std::string::npos) return false;
        std::string field = line.substr(p + 7);
        mac = field.substr(0, field.find_first_of(" \t\r"));
        return !mac.empty();
    }
    return false;
}
