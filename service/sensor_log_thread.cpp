// Sensor value logs: one daily CSV file per kind written in RAM under
// /tmp/sensor_log every few seconds, copied hourly to /log/sensor_log where
// old months are removed; the monthly NX40 battery log. Also the pieces the
// trend and filter logs share with them: the kinds, the daily paths, the
// appending of lines, the copier and the renaming of headers.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <tuple>

#include "common.h"
#include "datalog.h"
#include "platform.h"

namespace DATALOG {

const Kind KINDS[KIND_NUM] = {
    {1, "analog", SRC_AI, 0, 8, 2, 8, true},
    {2, "1WireTemp1", SRC_WIRE_T, 0, 64, 3, 9, true},
    {3, "1WireTemp2", SRC_WIRE_T, 64, 64, 3, 9, true},
    {4, "1WireHumid1", SRC_WIRE_H, 0, 8, 4, 10, true},
    {5, "1WireHumid2", SRC_WIRE_H, 8, 8, 4, 10, true},
    {6, "VeloxaTH_Temp", SRC_VLXA_T, 0, 50, 5, 11, false},
    {7, "VeloxaTH_Humid", SRC_VLXA_H, 0, 50, 5, 12, false},
    {8, "MeshTemp_01-50", SRC_NX40, 0, 50, 7, 8, true},
    {9, "MeshTemp_51-100", SRC_NX40, 50, 50, 7, 8, true},
};

const char BOM[] = "\xEF\xBB\xBF";

namespace {

// Every append to a daily file and every header rewrite holds this, so a
// rename never swallows a line appended meanwhile.
std::mutex day_file_mutex;
std::string last_failed;  // path whose failure was reported last (under the mutex)

void make_dir(const std::string& path) { ::mkdir(kvt_path(path).c_str(), 0777); }

std::string strftime_text(const char* fmt, const std::tm& t)
{
    char buf[64];
    size_t n = std::strftime(buf, sizeof buf, fmt, &t);
    return std::string(buf, n);
}

std::string year_text(int y) { return std::to_string(y); }

std::string two_digits(int v)
{
    char b[16];
    std::snprintf(b, sizeof b, "%02d", v);
    return b;
}

// Removes a directory tree and logs it when anything went.
void remove_logged(const std::string& path)
{
    if (remove_tree(path)) applog("delete " + path);
}

}  // namespace

std::string name_cell(const char* name)
{
    std::string s;
    {
        std::lock_guard<std::mutex> lock(settings_mutex());  // a name the command thread may be writing
        s.assign(name, strnlen(name, 32));
    }
    for (char& c : s)
        if (c == '\n' || c == '\r') c = ' ';
    return s;
}

const Kind* kind_of_group(int g) { return g >= 1 && g <= KIND_NUM ? &KINDS[g - 1] : nullptr; }

Channel channel(const Kind& k, int c, const SETTINGS_TABLE::Sensor_settings& ss,
                const MONITOR_TABLE::Sensor_condition& live, const SETTINGS_TABLE::Sensor_sdata& sd)
{
    const int i = k.first + c;
    switch (k.source) {
    case SRC_AI: return {ss.analog[i].name, ss.analog[i].log, live.analog[i], &sd.analog[i]};
    case SRC_WIRE_T:
        return {ss.onewire_temperature[i].name, ss.onewire_temperature[i].log, live.onewire_temperature[i],
                &sd.onewire_temperature[i]};
    case SRC_WIRE_H:
        return {ss.onewire_humidity[i].name, ss.onewire_humidity[i].log, live.onewire_humidity[i],
                &sd.onewire_humidity[i]};
    case SRC_VLXA_T:
        return {ss.veloxa[i].t_name, ss.veloxa[i].t_log, live.veloxa[i].sensor_temperature, &sd.veloxa_t[i]};
    case SRC_VLXA_H:
        return {ss.veloxa[i].h_name, ss.veloxa[i].h_log, live.veloxa[i].sensor_humidity, &sd.veloxa_h[i]};
    case SRC_NX40:
        return {ss.kvt_nx40[i].name, ss.kvt_nx40[i].log, live.kvt_nx40[i].sensor_temperature, &sd.kvt_nx40[i]};
    }
    return {"", false, {SETTINGS_TABLE::VALUE_ERROR, 0}, nullptr};
}

bool any_log(const Kind& k, const SETTINGS_TABLE::Sensor_settings& ss)
{
    static const MONITOR_TABLE::Sensor_condition none{};
    for (int c = 0; c < k.count; ++c)
        if (channel(k, c, ss, none, sensor_data).log) return true;
    return false;
}

const char* family_dir(Family f)
{
    switch (f) {
    case TREND: return "trend_log";
    case FILTER: return "filter_log";
    default: return "sensor_log";
    }
}

std::string day_file(Family f, const char* area, const Kind& k, const std::tm& t)
{
    return std::string(area) + "/" + family_dir(f) + "/" + k.word + "/" + strftime_text("%Y", t) + "/" +
           strftime_text("%m", t) + "/" + strftime_text("%Y%m%d", t) + "_" + k.word + ".csv";
}

void make_day_dirs(Family f, const char* area, const Kind& k, const std::tm& t)
{
    // The whole chain: a family or kind directory removed by hand must not
    // silence the kind until the next start.
    std::string p = std::string(area) + "/" + family_dir(f);
    make_dir(p);
    p += std::string("/") + k.word;
    make_dir(p);
    p += "/" + strftime_text("%Y", t);
    make_dir(p);
    make_dir(p + "/" + strftime_text("%m", t));
}

bool append_day_line(const std::string& path, const std::string& header, const std::string& line)
{
    std::lock_guard<std::mutex> lock(day_file_mutex);
    // Appending (never truncating) with the header only into an empty file:
    // a file that merely failed a look-up keeps its lines.
    int fd = ::open(kvt_path(path).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    int err = fd < 0 ? errno : 0;
    if (fd >= 0) {
        struct stat st;
        bool ok = ::fstat(fd, &st) == 0;
        if (ok && st.st_size == 0) ok = write_all(fd, std::string(BOM) + header);
        ok = ok && write_all(fd, line);
        if (!ok) err = errno ? errno : EIO;
        ::close(fd);
    }
    if (err == 0) {
        if (last_failed == path) last_failed.clear();
        return true;
    }
    // Once per failing file, not once per line.
    if (last_failed != path) {
        report_error("append", path, err);
        last_failed = path;
    }
    return false;
}

std::string stamp(const std::tm& t) { return strftime_text("%Y/%m/%d %H:%M:%S", t); }

std::string hundredths_text(int value)
{
    char b[32];
    std::snprintf(b, sizeof b, "%.2f", value / 100.0);
    return b;
}

// ---- Value logs -------------------------------------------------------------

std::string sensor_header(const Kind& k, const SETTINGS_TABLE::Sensor_settings& ss)
{
    static const MONITOR_TABLE::Sensor_condition none{};
    std::string h = "日付";
    for (int c = 0; c < k.count; ++c) h += "," + name_cell(channel(k, c, ss, none, sensor_data).name) + ",";
    return h + "\n";
}

std::string sensor_line(const Kind& k, const std::tm& t, const SETTINGS_TABLE::Sensor_settings& ss,
                        const MONITOR_TABLE::Sensor_condition& live)
{
    std::string out = stamp(t);
    int prev = 5;  // the first channel has no neighbour: "no state"
    for (int c = 0; c < k.count; ++c) {
        const Channel ch = channel(k, c, ss, live, sensor_data);
        if (!ch.log) {
            out += ",,";
            continue;
        }
        prev = STATE::shown(ch.live.status, prev);
        out += ch.live.value == SETTINGS_TABLE::VALUE_ERROR ? std::string(",ERR,")
                                                            : "," + hundredths_text(ch.live.value) + ",";
        out += std::to_string(prev);
    }
    return out + "\n";
}

bool sensor_tick_due(PeriodCounter& c, int period, bool logged, int mday)
{
    ++c.count;
    if (c.count < period && mday == c.last_day) return false;
    c.count = 0;
    c.last_day = mday;
    return logged;
}

void sensor_log_write(const Kind& k, const std::tm& t)
{
    if (!monitor || !monitor->sensor_condition) return;
    make_day_dirs(SENSOR, "/tmp", k, t);
    append_day_line(day_file(SENSOR, "/tmp", k, t), sensor_header(k, sensor_settings),
                    sensor_line(k, t, sensor_settings, *monitor->sensor_condition));
}

// ---- NX40 battery log -------------------------------------------------------

std::string bat_log_path(const std::tm& t)
{
    return "/log/sensor_log/MeshBat/" + strftime_text("%Y", t) + "/" + strftime_text("%Y%m", t) + "_MeshBat.csv";
}

std::string bat_log_header(const SETTINGS_TABLE::Sensor_settings& ss)
{
    std::string h = "日付";
    for (const auto& s : ss.kvt_nx40) h += "," + name_cell(s.name);
    return h + "\n";
}

std::string bat_log_line(const std::tm& t, const MONITOR_TABLE::Sensor_condition& live)
{
    std::string out = stamp(t);
    for (const auto& e : live.kvt_nx40) {
        const int v = e.sensor_battery.value;
        out += v == SETTINGS_TABLE::VALUE_ERROR ? std::string(",ERR") : "," + hundredths_text(v);
    }
    return out + "\n";
}

std::string bat_log_expired_dir(const std::tm& t)
{
    return "/log/sensor_log/MeshBat/" + year_text(t.tm_year + 1900 - 11);
}

void bat_log_day_change(const std::tm& t)
{
    bool logged = false;
    for (const auto& s : sensor_settings.kvt_nx40) logged = logged || s.log;
    if (logged && monitor && monitor->sensor_condition) {
        make_dir("/log/sensor_log");
        make_dir("/log/sensor_log/MeshBat");
        make_dir("/log/sensor_log/MeshBat/" + strftime_text("%Y", t));
        append_day_line(bat_log_path(t), bat_log_header(sensor_settings),
                        bat_log_line(t, *monitor->sensor_condition));
    }
    remove_logged(bat_log_expired_dir(t));
}

// ---- Copiers ------------------------------------------------------------------

std::vector<std::string> sensor_retention_dirs(const std::string& base, int retention, int year, int month)
{
    std::vector<std::string> out;
    // A negative retention (a broken estimate) would reach the current and
    // future years: keep everything instead.
    if (retention < 0) return out;
    int years = retention / 12;
    int m = month - (retention % 12 + 1);
    if (m <= 0) {
        m += 12;
        ++years;
    }
    const int y = year - years;
    if (y >= 1) out.push_back(base + "/" + year_text(y) + "/" + two_digits(m));
    for (int k = years + 1; k <= 15; ++k) out.push_back(base + "/" + year_text(year - k));
    return out;
}

std::string month_dir_back(const std::string& base, int years_back, int year, int month)
{
    int m = month - 1, y = year - years_back;
    if (m == 0) {
        m = 12;
        --y;
    }
    return base + "/" + year_text(y) + "/" + two_digits(m);
}

namespace {

int remove_entry(const char* p, const struct stat*, int, struct FTW*) { return std::remove(p); }

// Bytes the copies wrote below /log since start. Written by the three
// copier threads; read by the benchmark (copied_to_log_bytes).
std::atomic<unsigned long long> log_bytes_written{0};

constexpr size_t COPY_BLOCK = 64 * 1024;

// Writes `len` bytes of `in` from offset `at` to `out`'s current end.
bool copy_range(int in, off_t at, off_t len, int out, bool counted)
{
    std::vector<char> buf(COPY_BLOCK);
    while (len > 0) {
        const ssize_t n = ::pread(in, buf.data(), std::min<off_t>(len, COPY_BLOCK), at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;  // the file shrank under us
            return false;
        }
        if (!write_all(out, std::string(buf.data(), static_cast<size_t>(n)))) return false;
        if (counted) log_bytes_written += static_cast<unsigned long long>(n);
        at += n, len -= n;
    }
    return true;
}

// True when the first `len` bytes of the two files are the same.
bool same_start(int a, int b, off_t len)
{
    std::vector<char> x(COPY_BLOCK), y(COPY_BLOCK);
    for (off_t at = 0; at < len;) {
        const size_t want = static_cast<size_t>(std::min<off_t>(len - at, COPY_BLOCK));
        if (::pread(a, x.data(), want, at) != static_cast<ssize_t>(want) ||
            ::pread(b, y.data(), want, at) != static_cast<ssize_t>(want) || std::memcmp(x.data(), y.data(), want) != 0)
            return false;
        at += static_cast<off_t>(want);
    }
    return true;
}

void sync_dir_of(const std::string& real)
{
    const size_t slash = real.find_last_of('/');
    const int dir = ::open(slash == std::string::npos ? "." : real.substr(0, slash + 1).c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

// Makes `to` byte for byte the file `from` as it is now. Lines are only ever
// appended to a daily file, so a copy that holds the file's first bytes (the
// last copy, or the one found after a restart) only lacks the new tail: that
// is appended and synced. Anything else (no copy, a longer one, a header
// renamed since) is copied whole beside it, synced and renamed over it, so a
// power cut leaves either the old copy or the new one. False, with errno,
// when the copy could not be made.
bool bring_level(const std::string& from, const std::string& to)
{
    const bool counted = to.compare(0, 5, "/log/") == 0;
    const std::string src = kvt_path(from), dst = kvt_path(to);
    int in;
    {
        // The writers append whole lines under the lock and a header rewrite
        // replaces the file by a rename: the size seen here ends on a line
        // and the open file keeps its bytes.
        std::lock_guard<std::mutex> lock(day_file_mutex);
        in = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (in < 0) return false;
    struct stat si, so;
    if (::fstat(in, &si) != 0) {
        const int err = errno;
        ::close(in);
        errno = err;
        return false;
    }
    const off_t size = si.st_size;
    bool ok = false;
    int err = 0;
    if (::stat(dst.c_str(), &so) == 0 && S_ISREG(so.st_mode) && so.st_size <= size) {
        const int old = ::open(dst.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
        if (old >= 0 && same_start(in, old, so.st_size)) {
            ok = (so.st_size == size || copy_range(in, so.st_size, size - so.st_size, old, counted)) &&
                 (so.st_size == size || ::fsync(old) == 0);
            err = ok ? 0 : errno;
            ::close(old);
            ::close(in);
            errno = err;
            return ok;
        }
        if (old >= 0) ::close(old);
    }
    const std::string partial = dst + ".new";
    const int out = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out >= 0) {
        ok = copy_range(in, 0, size, out, counted) && ::fsync(out) == 0;
        err = ok ? 0 : errno;
        if (::close(out) != 0 && ok) ok = false, err = errno;
        if (ok && std::rename(partial.c_str(), dst.c_str()) != 0) ok = false, err = errno;
        if (ok) sync_dir_of(dst);
        else std::remove(partial.c_str());
    } else {
        err = errno;
    }
    ::close(in);
    errno = err;
    return ok;
}

void copy_if_present(const std::string& from, const std::string& to)
{
    if (exist_file(from) == 0) bring_level(from, to);
}

const char* copier_name(Family f)
{
    switch (f) {
    case TREND: return "cp_tlogfile_thread";
    case FILTER: return "cp_flogfile_thread";
    default: return "cp_logfile_thread";
    }
}

// The names in a directory, without "." and "..".
std::vector<std::string> names_in(const std::string& dir)
{
    std::vector<std::string> out;
    DIR* d = ::opendir(kvt_path(dir).c_str());
    if (!d) return out;
    while (const dirent* e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) out.emplace_back(e->d_name);
    ::closedir(d);
    return out;
}

bool same_day(const std::tm& a, const std::tm& b)
{
    return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday;
}

// The days whose daily files of kind k are in RAM, other than `today`,
// oldest first. Only files where the writers put them count.
std::vector<std::tm> finished_days(Family f, const Kind& k, const std::tm& today)
{
    std::vector<std::tm> out;
    const std::string base = std::string("/tmp/") + family_dir(f) + "/" + k.word;
    const std::string tail = std::string("_") + k.word + ".csv";
    for (const std::string& y : names_in(base)) {
        for (const std::string& m : names_in(base + "/" + y)) {
            for (const std::string& name : names_in(base + "/" + y + "/" + m)) {
                int yy = 0, mm = 0, dd = 0;
                if (name.size() != 8 + tail.size() || name.compare(8, std::string::npos, tail) != 0 ||
                    name.find_first_not_of("0123456789") != 8 || std::sscanf(name.c_str(), "%4d%2d%2d", &yy, &mm, &dd) != 3)
                    continue;
                std::tm d{};
                d.tm_year = yy - 1900, d.tm_mon = mm - 1, d.tm_mday = dd;
                if (same_day(d, today) || day_file(f, "/tmp", k, d) != base + "/" + y + "/" + m + "/" + name) continue;
                out.push_back(d);
            }
        }
    }
    std::sort(out.begin(), out.end(), [](const std::tm& a, const std::tm& b) {
        return std::tie(a.tm_year, a.tm_mon, a.tm_mday) < std::tie(b.tm_year, b.tm_mon, b.tm_mday);
    });
    return out;
}

// A finished day's last copy to /log; the RAM file goes only once the copy
// succeeded (an empty file holds nothing to lose). False when it stays.
bool bring_over(Family f, const Kind& k, const std::tm& d)
{
    const std::string tmp = day_file(f, "/tmp", k, d);
    make_day_dirs(f, "/log", k, d);
    if (exist_file(tmp) == 0 && !bring_level(tmp, day_file(f, "/log", k, d))) return false;
    if (std::remove(kvt_path(tmp).c_str()) != 0 && errno != ENOENT) {
        report_error(std::string(copier_name(f)) + ": remove", tmp, errno);
        return false;
    }
    return true;
}

}  // namespace

unsigned long long copied_to_log_bytes() { return log_bytes_written.load(); }

bool remove_tree(const std::string& path)
{
    const std::string real = kvt_path(path);
    struct stat st;
    if (::lstat(real.c_str(), &st) != 0) return false;
    return nftw(real.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS) == 0 || ::lstat(real.c_str(), &st) != 0;
}

void copier_restore(Family f, const std::tm& now)
{
    for (const Kind& k : KINDS) {
        if (!k.started) continue;
        make_day_dirs(f, "/tmp", k, now);
        // Only where the RAM copy is gone (a reboot): after a restart of the
        // service alone the RAM copy is the newer one.
        const std::string tmp = day_file(f, "/tmp", k, now);
        if (exist_file(tmp) != 0) copy_if_present(day_file(f, "/log", k, now), tmp);
    }
}

void copier_pass(Family f, const std::tm& t0, const std::tm& now)
{
    const bool day_changed = t0.tm_mday != now.tm_mday;
    const std::tm& at = day_changed ? t0 : now;
    const int year = at.tm_year + 1900, month = at.tm_mon + 1;
    for (const Kind& k : KINDS) {
        if (!k.started) continue;
        if (!day_changed) {
            make_day_dirs(f, "/log", k, now);
            copy_if_present(day_file(f, "/tmp", k, now), day_file(f, "/log", k, now));
        }
        // Finished days leave RAM only through a copy that succeeded: with
        // /log full or read-only they stay, and every pass tries again. The
        // failure is logged once, at the day change that finished the day.
        std::vector<std::string> kept;
        for (const std::tm& d : finished_days(f, k, now)) {
            const std::string tmp = day_file(f, "/tmp", k, d);
            const bool late = !(day_changed && same_day(d, t0));
            if (bring_over(f, k, d)) {
                if (late) applog(std::string(copier_name(f)) + ": copied to /log at last " + tmp);
                continue;
            }
            kept.push_back(tmp);
            if (!late) report_error(std::string(copier_name(f)) + ": copy to /log failed, kept in RAM", tmp);
        }
        if (day_changed) {
            const std::string ram = std::string("/tmp/") + family_dir(f) + "/" + k.word;
            auto remove_unless_kept = [&](const std::string& dir) {
                for (const std::string& p : kept)
                    if (p.compare(0, dir.size() + 1, dir + "/") == 0) return;
                remove_tree(dir);
            };
            remove_unless_kept(ram + "/" + year_text(year - 1));
            // January's previous month lies in the previous year, gone above.
            if (month > 1) remove_unless_kept(ram + "/" + year_text(year) + "/" + two_digits(month - 1));
        }
        const std::string base = std::string("/log/") + family_dir(f) + "/" + k.word;
        if (f == SENSOR) {
            const int r = admin_settings.sensor_log_cycle[k.retention_entry].cycle_minutes;
            for (const std::string& d : sensor_retention_dirs(base, r, year, month)) remove_logged(d);
        } else {
            remove_logged(month_dir_back(base, f == TREND ? 15 : 1, year, month));
        }
    }
}

void copier_final(Family f, const std::tm& t0, const std::tm& now)
{
    const bool day_changed = t0.tm_mday != now.tm_mday;
    for (const Kind& k : KINDS) {
        if (!k.started) continue;
        if (day_changed) {
            make_day_dirs(f, "/log", k, t0);
            copy_if_present(day_file(f, "/tmp", k, t0), day_file(f, "/log", k, t0));
        }
        make_day_dirs(f, "/log", k, now);
        copy_if_present(day_file(f, "/tmp", k, now), day_file(f, "/log", k, now));
    }
}

// ---- Name changes ---------------------------------------------------------------

std::string replace_header(const std::string& text, const std::string& header)
{
    const size_t nl = text.find('\n');
    return std::string(BOM) + header + (nl == std::string::npos ? std::string() : text.substr(nl + 1));
}

namespace {

// One look, without exist_file's retries: a rename in a batch of settings
// must not wait 30 ms for every file that is not there.
bool present(const std::string& path)
{
    struct stat st;
    return ::stat(kvt_path(path).c_str(), &st) == 0 && st.st_size > 0;
}

void rewrite_header(const std::string& path, const std::string& header)
{
    if (!present(path)) return;
    std::lock_guard<std::mutex> lock(day_file_mutex);
    std::string text;
    if (!read_text_file(path, text)) {
        report_error("sensorlog_namechange: read", path, errno);
        return;
    }
    write_text_file(path, replace_header(text, header));
}

}  // namespace

void sensorlog_namechange_at(int group, const std::tm& t)
{
    const Kind* k = kind_of_group(group);
    if (!k) return;
    rewrite_header(day_file(SENSOR, "/tmp", *k, t), sensor_header(*k, sensor_settings));
    rewrite_header(day_file(TREND, "/tmp", *k, t), trend_header(*k, sensor_settings, true));
}

}  // namespace DATALOG

using namespace DATALOG;

std::tm local_now()
{
    std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    return t;
}

long timer1_sleep_us(long nsec) { return nsec < 150001000 ? 1000000 : 900000; }

int timer1()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    std::this_thread::sleep_for(std::chrono::microseconds(timer1_sleep_us(ts.tv_nsec)));
    return 0;
}

int sensorlog_namechange(int group)
{
    const Kind* k = kind_of_group(group);
    if (!k) return 0;
    // Most renames find no file of today (kinds not logged, the VLXA kinds):
    // no reason then to hold up the settings writer.
    const std::tm today = local_now();
    if (!present(day_file(SENSOR, "/tmp", *k, today)) && !present(day_file(TREND, "/tmp", *k, today))) return 0;
    // Clear of the minute boundary, where the writers and copiers work.
    for (;;) {
        const int sec = local_now().tm_sec;
        if ((sec != 0 && sec != 1 && sec != 59) || control == 0) break;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    sensorlog_namechange_at(group, local_now());
    return 0;
}

void start_and_join(const LogChild* children, int n)
{
    std::vector<pthread_t> th(static_cast<size_t>(n));
    std::vector<char> started(static_cast<size_t>(n), 0);
    for (int i = 0; i < n; ++i) started[i] = start_thread(&th[i], children[i].fn, children[i].name);
    for (int i = 0; i < n; ++i)
        if (started[i]) pthread_join(th[i], nullptr);
}

void* run_family(const char* name, Family f, const LogChild* children, int n)
{
    std::printf("%s tid  : %ld\n", name, thread_tid());
    for (const char* area : {"/log", "/tmp"}) {
        const std::string root = std::string(area) + "/" + family_dir(f);
        ::mkdir(kvt_path(root).c_str(), 0777);
        for (const Kind& k : KINDS)
            if (k.started) ::mkdir(kvt_path(root + "/" + k.word).c_str(), 0777);
    }
    if (f == SENSOR) ::mkdir(kvt_path("/log/sensor_log/MeshBat").c_str(), 0777);
    start_and_join(children, n);
    std::printf("end sensor log thread\n");
    return nullptr;
}

namespace {

/*
 * Value writer of one kind (ai_sensor_log_thread and its siblings).
 * Owns: the kind's daily file under /tmp/sensor_log.
 * Waits on: the next whole minute at start, then timer1 ticks.
 * Order: one line every period of ticks and one at the first tick of a new
 *   day, which opens the new day's file.
 * Stopped by: `control` dropping to 0 (within a tick).
 */
void* sensor_log_writer(const char* name, int group)
{
    std::printf("%s tid  : %ld\n", name, thread_tid());
    const Kind& k = *kind_of_group(group);
    timer();
    PeriodCounter c;
    c.last_day = local_now().tm_mday;
    while (control != 0) {
        const int period = admin_settings.sensor_log_cycle[k.period_entry].cycle_minutes;
        const bool logged = any_log(k, sensor_settings);
        timer1();
        if (control == 0) break;
        const std::tm now = local_now();
        if (sensor_tick_due(c, period, logged, now.tm_mday)) sensor_log_write(k, now);
    }
    std::printf("end %s\n", name);
    return nullptr;
}

}  // namespace

void* ai_sensor_log_thread(void*) { return sensor_log_writer("ai_sensor_log_thread", 1); }
void* WireT1_sensor_log_thread(void*) { return sensor_log_writer("WireT1_sensor_log_thread", 2); }
void* WireT2_sensor_log_thread(void*) { return sensor_log_writer("WireT2_sensor_log_thread", 3); }
void* WireH1_sensor_log_thread(void*) { return sensor_log_writer("WireH1_sensor_log_thread", 4); }
void* WireH2_sensor_log_thread(void*) { return sensor_log_writer("WireH2_sensor_log_thread", 5); }
void* NX40_1_sensor_log_thread(void*) { return sensor_log_writer("NX40_1_sensor_log_thread", 8); }
void* NX40_2_sensor_log_thread(void*) { return sensor_log_writer("NX40_2_sensor_log_thread", 9); }

/*
 * NX40_bat_log_thread: the monthly NX40 battery log.
 * Owns: the files under /log/sensor_log/MeshBat.
 * Waits on: the next whole minute at start, then timer1 ticks.
 * Order: at each day change one line (when an NX40 channel is logged), then
 *   the year 11 years back removed.
 * Stopped by: `control` dropping to 0.
 */
void* NX40_bat_log_thread(void*)
{
    std::printf("NX40_bat_log_thread tid  : %ld\n", thread_tid());
    timer();
    int last_day = local_now().tm_mday;
    while (control != 0) {
        timer1();
        const std::tm now = local_now();
        if (now.tm_mday == last_day) continue;
        bat_log_day_change(now);
        last_day = now.tm_mday;
    }
    std::printf("end NX40_bat_log_thread\n");
    return nullptr;
}

/*
 * Copier of one family (cp_logfile_thread, cp_tlogfile_thread,
 * cp_flogfile_thread).
 * Owns: the family's files under /log and the finished days in /tmp.
 * Waits on: 60 whole minutes between passes.
 * Order: restore at start, then hourly copies; after a day change the
 *   finished day is copied a last time before it leaves RAM.
 * Stopped by: `control` dropping to 0; copies the RAM files once more.
 */
void* log_copier(const char* name, Family f)
{
    std::printf("%s tid  : %ld\n", name, thread_tid());
    copier_restore(f, local_now());
    timer();
    std::tm t0 = local_now();
    while (control != 0) {
        t0 = local_now();
        for (int i = 0; i < 60 && control != 0; ++i) timer();
        if (control == 0) break;
        copier_pass(f, t0, local_now());
    }
    copier_final(f, t0, local_now());
    std::printf("end %s\n", name);
    return nullptr;
}

void* cp_logfile_thread(void*) { return log_copier("cp_logfile_thread", SENSOR); }

/*
 * sensor_log_thread: starter of the value logs.
 * Owns: the directories of /log/sensor_log and /tmp/sensor_log.
 * Waits on: its children.
 * Order: the seven writers, the copier, the battery logger.
 * Stopped by: its children ending once `control` drops to 0.
 */
void* sensor_log_thread(void*)
{
    const LogChild children[] = {
        {ai_sensor_log_thread, "ai-log"},
        {WireT1_sensor_log_thread, "wireT1-log"},
        {WireT2_sensor_log_thread, "wireT2-log"},
        {WireH1_sensor_log_thread, "wireH1-log"},
        {WireH2_sensor_log_thread, "wireH2-log"},
        {NX40_1_sensor_log_thread, "nx40-1-log"},
        {NX40_2_sensor_log_thread, "nx40-2-log"},
        {cp_logfile_thread, "log-copy"},
        {NX40_bat_log_thread, "nx40bat-log"},
    };
    return run_family("sensor_log_thread", SENSOR, children, static_cast<int>(sizeof children / sizeof children[0]));
}
