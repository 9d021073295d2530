// The wireless sensors' report files: one small CSV file per sensor under
// /tmp/smartmesh, written by the mesh collectors and read by the intake.
// Header-only so that kvtsim writes them by the same rules the service reads
// them with.
#pragma once

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <string>

namespace MESH {

constexpr const char* NX40_DIR = "/tmp/smartmesh/KVT-MS-NX40/";
constexpr const char* VLXA_DIR = "/tmp/smartmesh/VeloxaTH/";
constexpr int NX40_KIND = 0;
constexpr int VLXA_KIND = 1;
constexpr int VLXA_MAX_AGE_S = 120;  // VLXA reports count as recent below this age
constexpr size_t FIRST_LINE_MAX = 1023;     // characters of the first line that are read

// The file name of a sensor's report: its identifier with every ':' as '-'
// and letters in upper case. False when there is none to look up: an empty
// identifier, or one that would reach outside the report directory.
inline bool report_file_id(const char* id, std::string& out)
{
    out.clear();
    if (!id || !*id) return false;
    std::string s(id);
    if (s.find('/') != std::string::npos || s.find("..") != std::string::npos) return false;
    for (char c : s) out += c == ':' ? '-' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return true;
}

// Full path of the report of a sensor of `kind` (NX40_KIND, VLXA_KIND); empty
// when the identifier is refused.
inline std::string report_path(int kind, const char* id)
{
    std::string fid;
    if (!report_file_id(id, fid)) return "";
    return std::string(kind == VLXA_KIND ? VLXA_DIR : NX40_DIR) + fid + ".csv";
}

// The four fields of a report's first line: report time (seconds since the
// epoch) and three values (NX40: temperature, unused, battery; VLXA:
// temperature, humidity, battery). Missing or unreadable fields read 0.
struct Report {
    long long time = 0;
    int v[3] = {0, 0, 0};
};

inline Report parse_report(const std::string& first_line)
{
    Report r;
    const std::string line = first_line.substr(0, std::min(first_line.find('\n'), FIRST_LINE_MAX));
    size_t pos = 0;
    for (int field = 0; field < 4 && pos <= line.size(); ++field) {
        size_t end = line.find(',', pos);
        std::string cell = line.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        long long n = std::strtoll(cell.c_str(), nullptr, 10);
        if (field == 0) r.time = n;
        else r.v[field - 1] = n > INT_MAX ? INT_MAX : n < INT_MIN ? INT_MIN : static_cast<int>(n);
        if (end == std::string::npos) break;
        pos = end + 1;
    }
    return r;
}

// A report of time `time` is recent at `now` when it is less than max_age
// seconds old (one from the future counts as recent). The report time is
// whatever the file holds, so it is never subtracted.
inline bool report_recent(long long now, long long time, long long max_age)
{
    return time > now - max_age;
}

inline std::string report_line(const Report& r)
{
    return std::to_string(r.time) + "," + std::to_string(r.v[0]) + "," + std::to_string(r.v[1]) + "," +
           std::to_string(r.v[2]) + "\n";
}

}  // namespace MESH
