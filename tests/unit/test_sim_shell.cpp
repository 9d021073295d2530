// The simulated board's shell: every command journaled byte for byte, the
// plain file commands carried out inside the sandbox and nowhere else.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "platform.h"
#include "sandbox.h"
#include "sim_shell.h"

namespace {

std::string journal_text(const TestSandbox& sb) { return sb.read("/sim/commands.log"); }

}  // namespace

TEST(SimShellTest, QuotesBackslashesAndOperatorsSplitLikeTheShell)
{
    struct Case {
        const char* cmd;
        std::vector<std::string> words;
    } cases[] = {
        {"echo \"timer\" > /sys/x", {"echo", "timer", ">", "/sys/x"}},
        {"echo 'a b'  c>>f", {"echo", "a b", "c", ">>", "f"}},
        {"echo \"say \\\"hi\\\" \\$HOME\" > f", {"echo", "say \"hi\" $HOME", ">", "f"}},
        {"a\\ b|grep x", {"a b", "|", "grep", "x"}},
        {"python2.7 /opt/kvt/sbin/UpMgr7400.py &", {"python2.7", "/opt/kvt/sbin/UpMgr7400.py", "&"}},
        {"x && y || z; w", {"x", "&&", "y", "||", "z", ";", "w"}},
        {"rm -f /tmp/k.ipk\n", {"rm", "-f", "/tmp/k.ipk"}},
        {"echo '' > f", {"echo", "", ">", "f"}},
        {"", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(sim_shell_words(c.cmd), c.words) << "[" << c.cmd << "]";
}

TEST(SimShellTest, EveryCommandIsKeptByteForByteInOrder)
{
    TestSandbox sb;
    const std::vector<std::string> cmds = {
        "timeout 60s ps  | grep UpMgr7400.py | grep -v grep | awk '{print $1}' | xargs -r kill",
        "echo \"timer\" > /sys/class/leds/STATUS_LED/trigger",
        "echo  two  blanks  kept",
        "shutdown -h now\n",
    };
    for (const auto& c : cmds) sim_shell_run(sb.root(), c);
    std::string expected;
    for (const auto& c : cmds) expected += c.back() == '\n' ? c : c + "\n";
    // A command that ends in a newline is journaled with that one newline,
    // not with an extra empty line.
    EXPECT_EQ(journal_text(sb), expected);
    EXPECT_EQ(sb.journal().size(), cmds.size());
}

TEST(SimShellTest, FileCommandsWorkInsideTheSandbox)
{
    TestSandbox sb;
    sb.write("/tmp/a.csv", "A");
    sb.write("/tmp/b.csv", "B");
    sb.write("/tmp/keep.txt", "K");
    const char* const DIR = "(directory)";
    struct Step {
        const char* cmd;   // nullptr: only the check
        bool ok;           // exit status 0
        const char* path;  // then checked
        const char* content;  // nullptr: must not exist
    } steps[] = {
        {"mkdir /log/state_log", true, "/log/state_log", DIR},
        {"cp /tmp/a.csv /tmp/c.csv", true, "/tmp/c.csv", "A"},
        {"cp -f /tmp/keep.txt /log/state_log", true, "/log/state_log/keep.txt", "K"},  // into a directory
        {"mv /tmp/*.csv /log/state_log/", true, "/log/state_log/c.csv", "A"},           // a glob into a directory
        {nullptr, true, "/log/state_log/b.csv", "B"},
        {nullptr, true, "/tmp/a.csv", nullptr},
        {nullptr, true, "/tmp/keep.txt", "K"},
        {"rm /log/state_log/a.csv", true, "/log/state_log/a.csv", nullptr},
        {"rm -f /tmp/never_there.ipk", true, "/tmp/never_there.ipk", nullptr},
        {"rm /tmp/never_there.ipk", false, "/tmp/never_there.ipk", nullptr},
        {"rm -f /log/state_log/*.csv", true, "/log/state_log/b.csv", nullptr},
        {"cp /tmp/missing /tmp/x", false, "/tmp/x", nullptr},
        {"mv /tmp/nomatch*.csv /tmp/x", false, "/tmp/x", nullptr},
        {"mkdir /log/state_log", false, "/log/state_log", DIR},  // exists already: fails harmlessly
        {"mkdir -p /log/a/b/c", true, "/log/a/b/c", DIR},
        {"rmdir /log/a", false, "/log/a", DIR},  // not empty
        {"rmdir /log/a/b/c", true, "/log/a/b/c", nullptr},
        {"rm -rf /log/a", true, "/log/a", nullptr},
        {"echo 1000000 > /sys/class/pwm/pwmchip0/pwm0/period", true, "/sys/class/pwm/pwmchip0/pwm0/period", "1000000\n"},
        {"echo \"timer\" > /sys/class/leds/STATUS_LED/trigger", true, "/sys/class/leds/STATUS_LED/trigger", "timer\n"},
        {"echo 'server  a' >> /tmp/list", true, "/tmp/list", "server  a\n"},
        {"echo -n b >> /tmp/list", true, "/tmp/list", "server  a\nb"},
        // Quoted operators are words like any other.
        {"echo \">\" '|' \"a;b\" > /tmp/ops", true, "/tmp/ops", "> | a;b\n"},
        {nullptr, true, "/tmp/|", nullptr},
    };
    for (const auto& st : steps) {
        const std::string what = st.cmd ? st.cmd : st.path;
        if (st.cmd) {
            EXPECT_EQ(kvt_system(st.cmd) == 0, st.ok) << what;
        }
        const std::string found = !sb.exists(st.path) ? "(none)" : st.content == DIR ? DIR : sb.read(st.path);
        EXPECT_EQ(found, st.content ? st.content : "(none)") << what;
    }
}

TEST(SimShellTest, AnsweredProgramsFillTheirOutputFile)
{
    TestSandbox sb;
    EXPECT_EQ(kvt_system("opkg list-installed > /tmp/ver.txt"), 0);
    EXPECT_EQ(sb.read("/tmp/ver.txt"), sb.read("/sim/answers/opkg"));
    EXPECT_EQ(kvt_system("ifconfig eth0 | grep inet > /tmp/ip.txt"), 0);
    EXPECT_EQ(sb.read("/tmp/ip.txt"), "          inet addr:192.168.1.200  Bcast:192.168.1.255  Mask:255.255.255.0\n"
                                      "          inet addr:127.0.0.1  Mask:255.0.0.0\n");
    EXPECT_EQ(kvt_system("ifconfig | grep inet | grep Bcast > /tmp/ip2.txt"), 0);
    EXPECT_EQ(sb.read("/tmp/ip2.txt"), "          inet addr:192.168.1.200  Bcast:192.168.1.255  Mask:255.255.255.0\n");
    // A program without an answer is journaled and produces nothing.
    EXPECT_EQ(kvt_system("hwclock -r > /tmp/clock.txt"), 0);
    EXPECT_FALSE(sb.exists("/tmp/clock.txt"));
}

TEST(SimShellTest, PathsLeavingTheSandboxAreRefused)
{
    TestSandbox sb;
    // A directory beside the sandbox that a command must never reach.
    const std::string outside = sb.root() + "-outside";
    ASSERT_EQ(mkdir(outside.c_str(), 0777), 0);
    {
        std::ofstream(outside + "/victim") << "v";
    }
    const std::string rel = "/../" + outside.substr(outside.rfind('/') + 1);
    sb.write("/tmp/src", "S");
    for (const std::string& cmd : std::vector<std::string>{"rm -f " + rel + "/victim", "cp /tmp/src " + rel + "/victim",
                                   "mv /tmp/src " + rel + "/victim", "echo x > " + rel + "/victim",
                                   "echo x >> /tmp/../../victim2", "mkdir /tmp/../../escape",
                                   "cp " + rel + "/victim /tmp/stolen"}) {
        EXPECT_NE(kvt_system(cmd), 0) << cmd;
    }
    std::ifstream in(outside + "/victim");
    std::string content((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(content, "v");
    EXPECT_TRUE(sb.exists("/tmp/src"));
    EXPECT_FALSE(sb.exists("/tmp/stolen"));
    EXPECT_EQ(access((outside + "/../victim2").c_str(), F_OK), -1);
    unlink((outside + "/victim").c_str());
    rmdir(outside.c_str());
    // Refused commands are journaled all the same.
    EXPECT_EQ(sb.journal().size(), 7u);
}

TEST(SimShellTest, NothingButFileCommandsIsEverRun)
{
    TestSandbox sb;
    const std::string marker = sb.path("/tmp/ran");
    // Real shells would create the marker through these; the simulated one
    // only journals them.
    for (const std::string& cmd : std::vector<std::string>{"touch " + marker, "sh -c 'echo x > " + marker + "'", "$(touch " + marker + ")",
                                   "true; echo x > /tmp/ran", "/etc/init.d/vsftpd start"})
        kvt_system(cmd);
    EXPECT_FALSE(sb.exists("/tmp/ran"));
    EXPECT_EQ(access(marker.c_str(), F_OK), -1);
}

TEST(SimShellTest, Python3RunsOnlyAScriptInsideTheSandboxWithoutAShell)
{
    TestSandbox sb;
    const std::string probe = "import os, sys\nopen(os.environ['KVT_ROOT'] + '/tmp/ran', 'w').write('|'.join(sys.argv[1:]))\n"
                              "sys.exit(3)\n";
    sb.write("/opt/kvt/sbin/probe.py", probe);
    const std::string outside = sb.root() + "-outside.py";
    std::ofstream(outside) << probe;
    ASSERT_EQ(symlink(outside.c_str(), sb.path("/opt/kvt/sbin/link.py").c_str()), 0);
    const std::vector<std::string> refused = {
        "python3 /.." + outside.substr(outside.rfind('/')), "python3 /opt/kvt/sbin/link.py",
        "python3 /opt/kvt/sbin/probe.py a ; true", "python3 /opt/kvt/sbin/probe.py > /tmp/out",
        "python3 -c 'open(\"/tmp/ran\", \"w\")'", "python2.7 /opt/kvt/sbin/probe.py", "python3 /opt/kvt/sbin",
    };
    for (const auto& cmd : refused) EXPECT_EQ(kvt_system(cmd), 0) << cmd << ": only journaled";
    EXPECT_FALSE(sb.exists("/tmp/ran"));
    const int status = kvt_system("python3 /opt/kvt/sbin/probe.py 'a b' \"c'd\" '$(id)'");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
    EXPECT_EQ(sb.read("/tmp/ran"), "a b|c'd|$(id)");
    EXPECT_EQ(sb.journal().size(), refused.size() + 1);
    unlink(outside.c_str());
}
