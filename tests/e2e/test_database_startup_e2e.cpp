// The service starting on the simulated board with the configuration
// database in various states: current, old, missing or damaged.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <fstream>

#include "process.h"
#include "sandbox.h"

namespace {

constexpr int kStartMs = 60000;
constexpr int kStopMs = 15000;

void copy_file(const std::string& from, const std::string& to)
{
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
}

std::string applog(const TestSandbox& sb) { return sb.read("/log/app_log/applog1.txt"); }

std::string journal_text(const TestSandbox& sb)
{
    std::string all;
    for (const auto& l : sb.journal()) all += l + "\n";
    return all;
}

// SIGTERM ends the service quietly: exit 0 after "Application update".
void stop_cleanly(SimProcess& p, const TestSandbox& sb)
{
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait_exit(kStopMs), 0);
    EXPECT_NE(applog(sb).find("Application update"), std::string::npos);
}

TEST(DbStartupTest, OldDatabaseIsMigratedBeforeSettingsAreLoaded)
{
    TestSandbox sb;
    copy_file(built_db("db-1.0.13.sqlite3"), sb.path("/opt/KVT7400/db.sqlite3"));
    SimProcess p(sb.root());
    ASSERT_TRUE(p.wait_started(kStartMs)) << p.console();
    std::string log = applog(sb);
    size_t a = log.find("DB version update 1.0.13->1.0.14");
    size_t b = log.find("DB version update 1.0.14->1.1.1");
    size_t c = log.find("Struct initialized");
    ASSERT_NE(c, std::string::npos);
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    EXPECT_EQ(log.find("DB version OK"), std::string::npos);
    stop_cleanly(p, sb);
}

// Without a usable database the service reports it, blinks the status LED
// slowly and otherwise runs on until it is told to stop.
class DbUnusableTest : public ::testing::TestWithParam<const char*> {};

TEST_P(DbUnusableTest, ServiceLogsError1BlinksLedKeepsRunningAndEndsOnSigterm)
{
    TestSandbox sb;
    // Take the factory copy away too, so nothing can restore the file.
    for (const char* path : {"/opt/KVT7400/db.sqlite3", "/opt/KVT7400/ini_files/db.sqlite3"})
        std::remove(sb.path(path).c_str());
    if (std::string(GetParam()) == "garbage") {
        std::ofstream f(sb.path("/opt/KVT7400/db.sqlite3"), std::ios::binary);
        for (int i = 0; i < 8192; ++i) f.put(static_cast<char>((i * 2654435761u) >> 13));
    }
    SimProcess p(sb.root());
    ASSERT_TRUE(p.wait_started(kStartMs)) << p.console();
    EXPECT_TRUE(wait_until([&] { return applog(sb).find("ERROR1(") != std::string::npos; }, 5000));
    std::string j = journal_text(sb);
    EXPECT_NE(j.find("echo 670 > /sys/class/leds/STATUS_LED/delay_on"), std::string::npos);
    EXPECT_NE(j.find("echo 670 > /sys/class/leds/STATUS_LED/delay_off"), std::string::npos);
    EXPECT_TRUE(p.running());
    stop_cleanly(p, sb);
}

INSTANTIATE_TEST_SUITE_P(Files, DbUnusableTest, ::testing::Values("missing", "garbage"));

}  // namespace
