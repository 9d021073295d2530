// The database layer against real database files in a sandbox: result text,
// missing tables, retries against a second connection that holds the lock,
// and open failures.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "common.h"
#include "db_test_support.h"
#include "sandbox.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

std::string captured()
{
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

class DatabaseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_run_flags();
        ASSERT_FALSE(built_db("db.sqlite3").empty()) << "factory database not built";
        ASSERT_EQ(open_db(), 0);
    }
    void TearDown() override
    {
        close_db();
        reset_run_flags();
    }
    std::string db_path() const { return sb.path("/opt/KVT7400/db.sqlite3"); }

    TestSandbox sb;
};

TEST_F(DatabaseTest, ResultTextHasDollarPerColumnCommaPerRowNullAsEmptyAndParsesBack)
{
    ASSERT_EQ(create_db("CREATE TABLE t (id integer primary key, a text, b integer)"), 0);
    ASSERT_EQ(insert_db("INSERT INTO t VALUES (1, 'abc', 0)"), 0);
    ASSERT_EQ(insert_db("INSERT INTO t VALUES (2, NULL, NULL)"), 0);
    EXPECT_EQ(select_db("SELECT * from t;"), "1$abc$0$,2$$$,");
    EXPECT_EQ(select_db("SELECT * from t where id=9;"), "");
    DbRows rows = select_rows("SELECT * from t;");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1], (std::vector<std::string>{"2", "", ""}));
    struct Case {
        std::string text;
        DbRows rows;
    } cases[] = {
        {"", {}},
        {"1$abc$0$,", {{"1", "abc", "0"}}},
        {"1$$x$,2$y$$,", {{"1", "", "x"}, {"2", "y", ""}}},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_result(c.text), c.rows) << c.text;
}

TEST_F(DatabaseTest, SelectOnMissingTableAnswersNG2AtOnce)
{
    auto t0 = Clock::now();
    EXPECT_EQ(select_db("SELECT * from webapp_no_such_table;"), "NG2");
    bool missing = false;
    EXPECT_TRUE(select_rows("SELECT * from webapp_no_such_table;", &missing).empty());
    EXPECT_TRUE(missing);
    EXPECT_LT(seconds_since(t0), 1.0);
    // An existing table is not reported missing.
    select_rows("SELECT * from webapp_di;", &missing);
    EXPECT_FALSE(missing);
}

TEST_F(DatabaseTest, SelectGivesUpWhenTheServiceStops)
{
    for (int stopping : {0, 2}) {
        control = stopping;
        EXPECT_EQ(select_db("SELECT * from webapp_di;"), "");
    }
    control = 1;
    // A broken statement is retried until control leaves 1.
    testing::internal::CaptureStdout();
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop_running();
    });
    auto t0 = Clock::now();
    std::string r = select_db("SELEC broken statement");
    double took = seconds_since(t0);
    stopper.join();
    std::string out = captured();
    EXPECT_EQ(r, "");
    EXPECT_GE(took, 0.15);
    EXPECT_LT(took, 2.0);
    // Retried every 10 ms: many attempts, each reported.
    EXPECT_GE(count_of(out, "ERROR2(1)"), 5);
}

TEST_F(DatabaseTest, SelectBlockedByExclusiveWriterRetriesUntilReleasedAndReturnsWholeResult)
{
    ASSERT_EQ(select_db("SELECT name from webapp_di where id=1;"), "DI1$,");  // schema cached
    dbtest::Conn other(db_path());
    other.exec("BEGIN EXCLUSIVE");
    other.exec("UPDATE webapp_di SET name='new' WHERE id=1");
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        other.exec("COMMIT");
    });
    testing::internal::CaptureStdout();
    auto t0 = Clock::now();
    std::string r = select_db("SELECT id, name from webapp_di where id<=2;");
    double took = seconds_since(t0);
    std::string out = captured();
    release.join();
    EXPECT_EQ(r, "1$new$,2$DI2$,");
    EXPECT_GE(took, 0.25);
    EXPECT_GE(count_of(out, "ERROR3(5)") + count_of(out, "ERROR2(5)"), 2);
    // A failed attempt's partial text is never part of the answer.
    EXPECT_EQ(count_of(r, "$,"), 2);
}

TEST_F(DatabaseTest, UpdateAgainstRowLockedByOtherConnectionGivesUpAfter30AttemptsWith3OrSucceedsOnItsCommit)
{
    dbtest::Conn other(db_path());
    other.exec("BEGIN IMMEDIATE");
    other.exec("UPDATE webapp_di SET name='held' WHERE id=1");

    testing::internal::CaptureStdout();
    auto t0 = Clock::now();
    int rc = update_db("UPDATE webapp_di SET name='mine' WHERE id=1");
    double took = seconds_since(t0);
    std::string out = captured();
    other.exec("ROLLBACK");

    EXPECT_EQ(rc, 3);
    EXPECT_EQ(count_of(out, "update ERROR7(5) database is locked"), 30);
    EXPECT_GT(took, 2.5);
    EXPECT_LT(took, 4.5);
    EXPECT_EQ(dbtest::Conn(db_path()).scalar("SELECT name FROM webapp_di WHERE id=1"), "'DI1'");

    // The other writer commits within the retries: the update goes through.
    other.exec("BEGIN IMMEDIATE");
    other.exec("UPDATE webapp_di SET name='held' WHERE id=2");
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(350));
        other.exec("COMMIT");
    });
    testing::internal::CaptureStdout();
    rc = update_db("UPDATE webapp_di SET name='mine' WHERE id=2");
    captured();
    release.join();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(dbtest::Conn(db_path()).scalar("SELECT name FROM webapp_di WHERE id=2"), "'mine'");
}

TEST_F(DatabaseTest, CommitBlockedByReaderRetries30TimesThenReopensAndFails)
{
    dbtest::Conn reader(db_path());
    reader.exec("BEGIN");
    reader.rows("SELECT * FROM webapp_di");  // holds a shared lock

    ASSERT_EQ(begin_trans(), 0);
    ASSERT_EQ(update_db("UPDATE webapp_di SET name='uncommitted' WHERE id=3"), 0);
    testing::internal::CaptureStdout();
    auto t0 = Clock::now();
    int rc = commit_trans();
    double took = seconds_since(t0);
    std::string out = captured();
    reader.exec("ROLLBACK");

    EXPECT_EQ(rc, 1);
    EXPECT_GT(took, 2.5);
    EXPECT_LT(took, 4.5);
    EXPECT_EQ(count_of(out, "comit ERROR(5)"), 30);
    EXPECT_EQ(count_of(sb.applog(), "comit ERROR(5)"), 30);
    // The reopened connection dropped the unfinished transaction and works.
    EXPECT_EQ(select_db("SELECT name from webapp_di where id=3;"), "DI3$,");
}

// Commit and rollback of a batch are the settings writer's tests; here the
// rollback without a transaction.
TEST_F(DatabaseTest, RollbackWithoutATransactionIsReportedAndAnswered1)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(rollback_trans(), 1);
    EXPECT_NE(captured().find("ROLLBACK fail\n"), std::string::npos);
    EXPECT_NE(sb.applog().find("ROLLBACK ERROR(1)"), std::string::npos);
    EXPECT_EQ(select_db("SELECT name from webapp_di where id=5;"), "DI5$,");
}

TEST_F(DatabaseTest, FailedCreateLogsBlinksLedAndReopens)
{
    testing::internal::CaptureStdout();
    EXPECT_NE(create_db("CREATE TABLE webapp_di (id integer primary key)"), 0);
    std::string out = captured();
    EXPECT_NE(out.find("ERROR(1) table webapp_di already exists"), std::string::npos);
    EXPECT_NE(sb.applog().find("ERROR(1) table webapp_di already exists"), std::string::npos);
    EXPECT_TRUE(sb.journal_has("echo 670 > /sys/class/leds/STATUS_LED/delay_on"));
    EXPECT_EQ(select_db("SELECT id from webapp_di where id=1;"), "1$,");
}

TEST_F(DatabaseTest, UpdateAndInsertReturn2WhenStatementCannotBePreparedAndInsertNonZeroWhenItsStepFails)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(update_db("UPDATE webapp_nothing SET x=1"), 2);
    EXPECT_EQ(count_of(captured(), "update ERROR6(1)"), 30);
    testing::internal::CaptureStdout();
    EXPECT_EQ(insert_db("INSERT INTO webapp_nothing VALUES (1)"), 2);
    // A constraint failure happens at step: reported, and no success.
    EXPECT_NE(insert_db("INSERT INTO webapp_di (id, name) VALUES (1, 'dup')"), 0);
    std::string out = captured();
    EXPECT_NE(out.find("ERROR(19)"), std::string::npos);
    EXPECT_EQ(insert_db("INSERT INTO webapp_di (id, name) VALUES (9, 'DI9')"), 0);
    EXPECT_EQ(select_db("SELECT name from webapp_di where id=9;"), "DI9$,");
}

TEST_F(DatabaseTest, OpenWhileAnotherWriterHoldsExclusiveLockStillSucceeds)
{
    close_db();
    dbtest::Conn other(db_path());
    other.exec("BEGIN EXCLUSIVE");
    other.exec("UPDATE webapp_di SET name='busy' WHERE id=1");
    EXPECT_EQ(open_db(), 0);
    other.exec("COMMIT");
    EXPECT_EQ(select_db("SELECT name from webapp_di where id=1;"), "busy$,");
    EXPECT_EQ(sb.applog().find("ERROR1("), std::string::npos);
}

// A missing file (the start-up run also covers a file that is no database).
TEST(DatabaseOpenFailureTest, MissingFileFailsWithError1IsNotCreatedAndLaterStatementsReturnQuickly)
{
    reset_run_flags();
    TestSandbox sb;
    std::remove(sb.path("/opt/KVT7400/db.sqlite3").c_str());
    testing::internal::CaptureStdout();
    EXPECT_EQ(open_db(), 1);
    auto t0 = Clock::now();
    check_db();
    init_structs();
    EXPECT_NE(update_db("UPDATE webapp_di SET name='x' WHERE id=1"), 0);
    std::string out = captured();
    EXPECT_LT(seconds_since(t0), 5.0);
    EXPECT_NE(out.find("ERROR1("), std::string::npos);
    std::string log = sb.read("/log/app_log/applog1.txt");
    EXPECT_NE(log.find("ERROR1("), std::string::npos);
    EXPECT_EQ(log.find("DB version"), std::string::npos);
    // Not silently replaced by an empty database.
    EXPECT_FALSE(sb.exists("/opt/KVT7400/db.sqlite3"));
    close_db();
}

}  // namespace
