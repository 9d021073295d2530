// Mesh report files as the collectors leave them: the input is the report
// of one NX40 and one VLXA sensor, read back by the intake's polls; its
// first line is also tried as a sensor identifier.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "common.h"
#include "events.h"
#include "harness.h"
#include "platform.h"
#include "mesh_report.h"

namespace {

constexpr long long NOW = 1767225600;
constexpr const char* NX40_ID = "0a:1b:2c";
constexpr const char* VLXA_ID = "00170d00003eab12";

void setup(const std::string& root)
{
    fuzz_sandbox(root, false);
    fuzz_map_tables();
    std::memset(&sensor_settings, 0, sizeof sensor_settings);
    sensor_settings.kvt_nx40[0].enable = true;
    copy_text(sensor_settings.kvt_nx40[0].device_ID, NX40_ID);
    sensor_settings.veloxa[0].enable = true;
    copy_text(sensor_settings.veloxa[0].device_ID, VLXA_ID);
    SM_err_time = 600;
    mkdir(kvt_path("/tmp/smartmesh").c_str(), 0777);
    mkdir(kvt_path(MESH::NX40_DIR).c_str(), 0777);
    mkdir(kvt_path(MESH::VLXA_DIR).c_str(), 0777);
}

bool same(const MESH::Report& a, const MESH::Report& b)
{
    return a.time == b.time && a.v[0] == b.v[0] && a.v[1] == b.v[1] && a.v[2] == b.v[2];
}

int feed(const uint8_t* data, size_t size)
{
    const std::string file(reinterpret_cast<const char*>(data), size);
    for (int kind : {MESH::NX40_KIND, MESH::VLXA_KIND}) {
        const std::string path = MESH::report_path(kind, kind == MESH::NX40_KIND ? NX40_ID : VLXA_ID);
        if (!fuzz_put_file(path, file)) fuzz_fail("write " + path);
    }
    nx40_poll(NOW);
    vlxa_poll(NOW);

    // What the intake read is the first line up to its end or a NUL.
    const std::string first = file.substr(0, std::min({file.find('\n'), file.find('\0'), MESH::FIRST_LINE_MAX}));
    const MESH::Report r = MESH::parse_report(first);
    if (!same(MESH::parse_report(MESH::report_line(r)), r)) fuzz_fail("a report does not survive its own line");
    const auto& nx = monitor->sensor_condition->kvt_nx40[0];
    const bool nx_recent = monitor->trend_per->kvt_nx40[0].con == 1;
    if (nx_recent && nx.sensor_temperature.value != r.v[0]) fuzz_fail("NX40 temperature not the report's");
    if (!nx_recent && nx.sensor_temperature.value != SETTINGS_TABLE::VALUE_ERROR) fuzz_fail("stale NX40 report kept");
    const auto& vx = monitor->sensor_condition->veloxa[0];
    const bool vx_recent = monitor->trend_per->veloxa[0].con == 1;
    if (vx_recent && (vx.sensor_humidity.value != r.v[1] || vx.sensor_battery.value != r.v[2]))
        fuzz_fail("VLXA values not the report's");

    // A sensor identifier never leads out of its report directory.
    const std::string id = first.substr(0, 64);
    const std::string p = MESH::report_path(MESH::VLXA_KIND, id.c_str());
    if (!p.empty() && (p.rfind(MESH::VLXA_DIR, 0) != 0 || p.find('/', std::strlen(MESH::VLXA_DIR)) != std::string::npos))
        fuzz_fail("identifier " + id + " reaches " + p);
    return nx_recent || vx_recent ? FUZZ_TAKEN : FUZZ_REFUSED;
}

}  // namespace

extern const FuzzHarness MESH_REPORT_HARNESS{"mesh_report", setup, feed, 2048, false};
