// The simulated board's shell: every command journaled byte for byte, the
// plain file commands carried out inside the sandbox and nowhere else.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "platform.h"
#include "sandbox.h"
#include "sim_shell.h"

namespace {

std::string journal_text(const TestSandbox& sb) { return sb.read("/sim/commands.log"); }

}  // namespace

TEST(SimShellWords, QuotesBackslashesAndOperatorsSplitLikeTheShell)
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

TEST(SimShellJournal, EveryCommandIsKeptByteForByteInOrder)
{
    TestSandbox sb;
    const std::vector<std::string> cmds = {
        "timeout 60s ps  | grep UpMgr7400.py | grep -v grep | awk '{print $1}' | xargs -r kill",
        "echo \"timer\" > /sys/class/leds/STATUS_LED/trigger",
        "systemctl restart kvt-uwsgi",
        "echo  two  blanks  kept",
        "shutdown -h now\n",
        "sync",
    };
    for (const auto& c : cmds) sim_shell_run(sb.root(), c);
    std::string expected;
    for (const auto& c : cmds) expected += c.back() == '\n' ? c : c + "\n";
    // A command that ends in a newline is journaled with that one newline,
    // not with an extra empty line.
    EXPECT_EQ(journal_text(sb), expected);
    EXPECT_EQ(sb.journal().size(), cmds.size());
}

TEST(SimShellFiles, CopyMoveAndRemoveWorkInsideTheSandbox)
{
    TestSandbox sb;
    sb.write("/tmp/a.csv", "A");
    sb.write("/tmp/b.csv", "B");
    sb.write("/tmp/keep.txt", "K");
    ASSERT_EQ(kvt_system("mkdir /log/state_log"), 0);

    EXPECT_EQ(kvt_system("cp /tmp/a.csv /tmp/c.csv"), 0);
    EXPECT_EQ(sb.read("/tmp/c.csv"), "A");
    EXPECT_EQ(kvt_system("cp -f /tmp/keep.txt /log/state_log"), 0);  // into a directory
    EXPECT_EQ(sb.read("/log/state_log/keep.txt"), "K");

    EXPECT_EQ(kvt_system("mv /tmp/*.csv /log/state_log/"), 0);  // a glob into a directory
    for (const char* f : {"a.csv", "b.csv", "c.csv"}) {
        EXPECT_TRUE(sb.exists(std::string("/log/state_log/") + f)) << f;
        EXPECT_FALSE(sb.exists(std::string("/tmp/") + f)) << f;
    }
    EXPECT_TRUE(sb.exists("/tmp/keep.txt"));

    EXPECT_EQ(kvt_system("rm /log/state_log/a.csv"), 0);
    EXPECT_FALSE(sb.exists("/log/state_log/a.csv"));
    EXPECT_EQ(kvt_system("rm -f /tmp/never_there.ipk"), 0);
    EXPECT_NE(kvt_system("rm /tmp/never_there.ipk"), 0);
    EXPECT_EQ(kvt_system("rm -f /log/state_log/*.csv"), 0);
    EXPECT_FALSE(sb.exists("/log/state_log/b.csv"));
    EXPECT_NE(kvt_system("cp /tmp/missing /tmp/x"), 0);
    EXPECT_NE(kvt_system("mv /tmp/nomatch*.csv /tmp/x"), 0);
}

TEST(SimShellFiles, DirectoriesAreMadeAndRemoved)
{
    TestSandbox sb;
    EXPECT_EQ(kvt_system("mkdir /tmp/sensor_log"), 0);
    EXPECT_NE(kvt_system("mkdir /tmp/sensor_log"), 0);  // exists already: fails harmlessly
    EXPECT_EQ(kvt_system("mkdir -p /log/a/b/c"), 0);
    EXPECT_TRUE(sb.exists("/log/a/b/c"));
    EXPECT_NE(kvt_system("rmdir /log/a"), 0);  // not empty
    EXPECT_EQ(kvt_system("rmdir /log/a/b/c"), 0);
    EXPECT_FALSE(sb.exists("/log/a/b/c"));
    sb.write("/log/a/b/f", "x");
    EXPECT_EQ(kvt_system("rm -rf /log/a"), 0);
    EXPECT_FALSE(sb.exists("/log/a"));
}

TEST(SimShellFiles, EchoWritesAndAppends)
{
    TestSandbox sb;
    EXPECT_EQ(kvt_system("echo 1000000 > /sys/class/pwm/pwmchip0/pwm0/period"), 0);
    EXPECT_EQ(sb.read("/sys/class/pwm/pwmchip0/pwm0/period"), "1000000\n");
    EXPECT_EQ(kvt_system("echo \"timer\" > /sys/class/leds/STATUS_LED/trigger"), 0);
    EXPECT_EQ(sb.read("/sys/class/leds/STATUS_LED/trigger"), "timer\n");
    EXPECT_EQ(kvt_system("echo 'server  a' >> /tmp/list"), 0);
    EXPECT_EQ(kvt_system("echo -n b >> /tmp/list"), 0);
    EXPECT_EQ(sb.read("/tmp/list"), "server  a\nb");
    // Quoted operators are words like any other.
    EXPECT_EQ(kvt_system("echo \">\" '|' \"a;b\" > /tmp/ops"), 0);
    EXPECT_EQ(sb.read("/tmp/ops"), "> | a;b\n");
    EXPECT_FALSE(sb.exists("/tmp/|"));
}

TEST(SimShellFiles, AnsweredProgramsFillTheirOutputFile)
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

TEST(SimShellConfinement, PathsLeavingTheSandboxAreRefused)
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

TEST(SimShellConfinement, NothingElseIsEverRun)
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
