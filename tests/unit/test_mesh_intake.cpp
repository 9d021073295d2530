// Mesh intake: report file naming, first-line parsing, the age rules of
// both kinds and the identifier checks.
#include <sys/stat.h>

#include "event_fixture.h"
#include "mesh_report.h"

TEST(MeshReport, FileNamesAreUpperCaseWithDashesAndNeverLeaveTheDirectory)
{
    struct Case {
        int kind;
        const char* id;
        const char* path;
    } cases[] = {
        {MESH::NX40_KIND, "0a:1b:2c", "/tmp/smartmesh/KVT-MS-NX40/0A-1B-2C.csv"},
        {MESH::VLXA_KIND, "00170d00003eab12", "/tmp/smartmesh/VeloxaTH/00170D00003EAB12.csv"},
        {MESH::NX40_KIND, "", ""},
        {MESH::NX40_KIND, "../../etc/passwd", ""},
        {MESH::VLXA_KIND, "ab/cd", ""},
        {MESH::VLXA_KIND, "..", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(MESH::report_path(c.kind, c.id), c.path) << c.id;
}

// A collector caught halfway through its file leaves a short line: what is
// not there is no reading (65535), never a reading of 0.
TEST(MeshReport, HalfWrittenLineMissingFieldsAreNoReadingNotZero)
{
    struct Case {
        const char* line;
        const char* fields;
    } cases[] = {
        {"1700000000,2150,0,330\nold,1,2,3\n", "1700000000|2150|0|330"},
        {"1700000000,2150,55,330,9,9", "1700000000|2150|55|330"},
        {"1700000000,-150", "1700000000|-150|65535|65535"},
        {"1700000000,2150,", "1700000000|2150|65535|65535"},
        {"1700000000,", "1700000000|65535|65535|65535"},
        {"1700000000,2150,0,330\r\n", "1700000000|2150|0|330"},
        {"", "0|65535|65535|65535"},
        {"x,abc,,77", "0|65535|65535|77"},
        {"1700000000,21x,0, 5 ", "1700000000|65535|0|5"},
    };
    for (const Case& c : cases) {
        MESH::Report r = MESH::parse_report(c.line);
        EXPECT_EQ(fields(r.time, r.v[0], r.v[1], r.v[2]), c.fields) << c.line;
    }
}

class MeshIntakeTest : public EventsTest {
protected:
    static constexpr long long NOW = 1800000000;
    void report(const char* dir, const char* file, long long age, const char* values)
    {
        mkdir(sb.path("/tmp/smartmesh").c_str(), 0777);
        mkdir(sb.path(dir).c_str(), 0777);
        sb.write(std::string(dir) + file, std::to_string(NOW - age) + "," + values + "\n");
    }
    MONITOR_TABLE::NX40Element& nx(int i) { return live().kvt_nx40[i]; }
    MONITOR_TABLE::VeloxaElement& vl(int i) { return live().veloxa[i]; }
};

TEST_F(MeshIntakeTest, Nx40ReportIsTakenBelowTheErrorTimeOnly)
{
    SM_err_time = 600;
    for (int i : {0, 1, 2}) sensor_settings.kvt_nx40[i].enable = true;
    copy_text(sensor_settings.kvt_nx40[0].device_ID, "0a:1b:2c");
    copy_text(sensor_settings.kvt_nx40[1].device_ID, "0a:1b:2d");
    copy_text(sensor_settings.kvt_nx40[2].device_ID, "0a:1b:2e");
    copy_text(sensor_settings.kvt_nx40[3].device_ID, "0a:1b:2f");  // disabled: left untouched
    report("/tmp/smartmesh/KVT-MS-NX40/", "0A-1B-2C.csv", 599, "2150,0,330");
    report("/tmp/smartmesh/KVT-MS-NX40/", "0A-1B-2D.csv", 600, "2250,0,340");
    report("/tmp/smartmesh/KVT-MS-NX40/", "0A-1B-2F.csv", 0, "2350,0,350");
    nx(1).sensor_battery.value = 310;
    nx(3).sensor_temperature.value = 1234;
    nx40_poll(NOW);
    auto* tp = monitor->trend_per->kvt_nx40;
    EXPECT_EQ(fields(nx(0).sensor_temperature.value, nx(0).sensor_battery.value, tp[0].con), "2150|330|1");
    // Too old: temperature missing, the battery keeps its reading.
    EXPECT_EQ(fields(nx(1).sensor_temperature.value, nx(1).sensor_battery.value, tp[1].con), "65535|310|0");
    EXPECT_EQ(fields(nx(2).sensor_temperature.value, tp[2].con), "65535|0") << "no file";
    EXPECT_EQ(nx(3).sensor_temperature.value, 1234);
}

TEST_F(MeshIntakeTest, VlxaReportAgesOutAtTwoMinutesWithAllThreeValues)
{
    for (int i : {0, 1}) sensor_settings.veloxa[i].enable = true;
    copy_text(sensor_settings.veloxa[0].device_ID, "00170d00003eab12");
    copy_text(sensor_settings.veloxa[1].device_ID, "00170d00003eab13");
    report("/tmp/smartmesh/VeloxaTH/", "00170D00003EAB12.csv", 119, "2210,4560,300");
    report("/tmp/smartmesh/VeloxaTH/", "00170D00003EAB13.csv", 120, "2220,4570,310");
    vlxa_poll(NOW);
    auto* tp = monitor->trend_per->veloxa;
    auto all = [&](int i) {
        const auto& e = vl(i);
        return fields(e.sensor_temperature.value, e.sensor_humidity.value, e.sensor_battery.value, tp[i].con);
    };
    EXPECT_EQ(all(0), "2210|4560|300|1");
    EXPECT_EQ(all(1), "65535|65535|65535|0");
}

TEST(MeshIdentifiers, HexadecimalAndColonGroupedChecks)
{
    struct Case {
        const char* id;
        int hex, grouped;
    } cases[] = {
        {"0123456789abCDEF", 0, 1}, {"", 0, 0},          {"01-23", 1, 1},      {"0a:1b:2c", 1, 0},
        {"0a:1b:", 1, 0},           {"0a:1b2c", 1, 1},   {"0a:1g:2c", 1, 1},   {"0a:1", 1, 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(fields(device_id_check(c.id), device_id_check_sm(c.id)), fields(c.hex, c.grouped)) << c.id;
}
