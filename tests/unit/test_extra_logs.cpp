// Extra logs: lines stamped to the minute, the state numbers, and the
// removal of the file two days back across month ends.
#include <sys/stat.h>

#include "datalog.h"
#include "event_fixture.h"

using namespace DATALOG;

namespace {

std::tm day(int y, int mo, int d, int h = 10, int mi = 15, int s = 42)
{
    std::tm t{};
    t.tm_year = y - 1900, t.tm_mon = mo - 1, t.tm_mday = d, t.tm_hour = h, t.tm_min = mi, t.tm_sec = s;
    return t;
}

}  // namespace

TEST(ExtraLogRules, StateNumbersByStatusCode)
{
    const int want[] = {999, 128, 0, 999, 999, 16, 1, 4, 8, 2, 999};  // codes -1 to 9
    for (int code = -1; code <= 9; ++code) EXPECT_EQ(extra_state_number(code), want[code + 1]) << code;
}

TEST(ExtraLogRules, FileTwoDaysBackAcrossMonthAndYearEnds)
{
    struct Case {
        std::tm t;
        const char* old;
    } cases[] = {
        {day(2026, 3, 1), "/tmp/extra_log/analog/extra20260227.csv"},
        {day(2024, 3, 1), "/tmp/extra_log/analog/extra20240228.csv"},
        {day(2027, 1, 2, 0, 0, 5), "/tmp/extra_log/analog/extra20261231.csv"},
        {day(2026, 12, 5), "/tmp/extra_log/analog/extra20261203.csv"},
    };
    for (const Case& c : cases) EXPECT_EQ(extra_old_path(c.t, "analog"), c.old);
}

TEST_F(EventsTest, ExtraWriterStampsTheMinuteAndSwitchesFilesAtTheDayChange)
{
    const ExtraGroup& g = EXTRA_GROUPS[0];
    live().analog[0] = {2050, 1};
    live().analog[1] = {65535, 4};
    live().analog[2] = {-1, 6};
    mkdir(sb.path("/tmp/extra_log").c_str(), 0777);
    mkdir(sb.path("/tmp/extra_log/analog").c_str(), 0777);
    sb.write("/tmp/extra_log/analog/extra20261204.csv", "two days back\n");
    sb.write("/tmp/extra_log/analog/extra20261205.csv", "");
    {
        ExtraWriter w;
        EXPECT_TRUE(extra_writer_pass(w, g, day(2026, 12, 5, 23, 59, 0)));
        EXPECT_TRUE(extra_writer_pass(w, g, day(2026, 12, 6, 0, 0, 1)));
    }
    EXPECT_EQ(sb.read("/tmp/extra_log/analog/extra20261205.csv"),
              "2026/12/05 23:59:00,20.50,0,65535,16,-0.01,4,65535,128,65535,128,65535,128,65535,128,65535,128,\n");
    EXPECT_EQ(lines_of(sb.read("/tmp/extra_log/analog/extra20261206.csv"))[0].substr(0, 20), "2026/12/06 00:00:00,");
    EXPECT_FALSE(sb.exists("/tmp/extra_log/analog/extra20261204.csv"));
    EXPECT_TRUE(sb.exists("/tmp/extra_log/analog/extra20261205.csv")) << "yesterday stays";
}

TEST_F(EventsTest, ExtraWriterThatCannotOpenItsFileWritesNothingThatDay)
{
    ExtraWriter w;
    EXPECT_FALSE(extra_writer_pass(w, EXTRA_GROUPS[3], day(2026, 12, 5)));  // no directory
    mkdir(sb.path("/tmp/extra_log").c_str(), 0777);
    mkdir(sb.path("/tmp/extra_log/MeshTemp").c_str(), 0777);
    EXPECT_TRUE(extra_writer_pass(w, EXTRA_GROUPS[3], day(2026, 12, 5, 10, 16, 0)));
    EXPECT_FALSE(sb.exists("/tmp/extra_log/MeshTemp/extra20261205.csv"));
}
