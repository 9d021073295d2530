// The settings writer meeting a full database or a held lock in a batch, on
// the service's own connection (a page limit cannot be put on it from
// another process). Each case prints its fault-matrix line.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "command.h"
#include "common.h"
#include "db_test_support.h"
#include "sandbox.h"

extern sqlite3* db;

namespace {

class SettingsWriterFaultTest : public ::testing::Test {
protected:
    TestSandbox sb;

    void SetUp() override
    {
        reset_run_flags();
        ASSERT_FALSE(built_db("db.sqlite3").empty()) << "factory database not built";
        monitor = new MONITOR_TABLE_CLASS();
        ASSERT_EQ(mmap_open(), 0);
        monitor->initializeData();
        ASSERT_EQ(open_db(), 0);
        init_structs();
        dbsave_reset_copies();
        db_save.clear();
    }
    void TearDown() override { close_db(); }

    std::string peek(const std::string& sql)
    {
        return dbtest::Conn(sb.path("/opt/KVT7400/db.sqlite3")).scalar(sql, true);
    }
};

}  // namespace

TEST_F(SettingsWriterFaultTest, FailedBatchIsUndoneWholeAfterOneStatementKeepsEarlierCommitsAndTheNextBatchSaves)
{
    struct Case {
        const char* fault;
        std::function<void()> inject;  // the fault, on from now until the batch ends
        std::function<void()> lift;
        int attempts;  // the failing statement's attempts before the batch gives up
        const char* error;  // what the statement met
    };
    std::unique_ptr<dbtest::Conn> holder;
    std::thread releaser;
    const Case cases[] = {
        // No page beyond those the file has: longer names need new ones.
        {"database full",
         [&] {
             std::string n = peek("PRAGMA page_count");
             ASSERT_EQ(sqlite3_exec(db, ("PRAGMA max_page_count=" + n).c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
         },
         [] {}, 1, "update ERROR7(13)"},
        // The web UI holding the write lock for longer than the retries; it
        // lets go once the batch was given up (the reload waits for it).
        {"database locked",
         [&] {
             holder = std::make_unique<dbtest::Conn>(sb.path("/opt/KVT7400/db.sqlite3"));
             holder->exec("BEGIN EXCLUSIVE");
             releaser = std::thread([&] {
                 wait_until([&] { return sb.applog().find("> database rollback\n") != std::string::npos; }, 20000);
                 holder->exec("COMMIT");
             });
         },
         [&] {
             releaser.join();
             holder.reset();
         },
         30, "update ERROR7(5)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        std::remove(sb.path("/log/app_log/applog1.txt").c_str());
        // Committed before the fault.
        copy_text(sensor_settings.digitalI[0].name, (std::string("kept ") + c.fault).c_str());
        db_save.push_n(1, 0);
        dbsave_batch();
        ASSERT_EQ(peek("SELECT name FROM webapp_di WHERE id=1"), std::string("kept ") + c.fault);
        const std::string probe_before = peek("SELECT name FROM webapp_wire_temp WHERE id=1");

        // A whole import of long names, every probe and mesh sensor.
        for (int i = 0; i < SETTINGS_TABLE::WIRE_T_NUM; ++i) {
            copy_text(sensor_settings.onewire_temperature[i].name, std::string(31, static_cast<char>('a' + i % 26)).c_str());
            db_save.push_n(15, i);
        }
        for (int i = 0; i < SETTINGS_TABLE::NX40_NUM; ++i) {
            copy_text(sensor_settings.kvt_nx40[i].name, std::string(31, static_cast<char>('A' + i % 26)).c_str());
            db_save.push_n(25, i);
        }
        c.inject();
        testing::internal::CaptureStdout();
        dbsave_batch();
        const std::string out = testing::internal::GetCapturedStdout();
        c.lift();

        const int attempts = count_of(out, "update ERROR7(");
        EXPECT_NE(out.find(c.error), std::string::npos) << out.substr(0, 2000);
        EXPECT_EQ(attempts, c.attempts) << "the rest of the failed batch is not tried";
        EXPECT_TRUE(db_save.empty());
        EXPECT_NE(sb.applog().find("> database rollback\n"), std::string::npos);
        EXPECT_EQ(peek("SELECT name FROM webapp_wire_temp WHERE id=1"), probe_before) << "nothing of the batch stored";
        EXPECT_EQ(std::string(sensor_settings.onewire_temperature[0].name), probe_before) << "memory reloaded";
        EXPECT_EQ(peek("SELECT name FROM webapp_di WHERE id=1"), std::string("kept ") + c.fault);

        // The fault gone (the reopened connection has no page limit): saved.
        copy_text(sensor_settings.onewire_temperature[0].name, "after the fault");
        db_save.push_n(15, 0);
        dbsave_batch();
        EXPECT_EQ(peek("SELECT name FROM webapp_wire_temp WHERE id=1"), "after the fault");
        std::printf("fault matrix| %s | save batch, in-process | %s | 1 of 228 statements tried (%d attempts), "
                    "rolled back, memory reloaded, earlier commit kept, next batch saved\n",
                    c.fault, HasFailure() ? "FAILED" : "ok", attempts);
    }
}
