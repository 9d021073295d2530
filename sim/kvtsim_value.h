// kvtsim value: reads or sets one channel of the live table of a running
// simulator (<root>/tmp/mmapfile_monitor), for kinds whose readings the
// simulated board does not produce.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "../service/codes.h"
#include "../service/monitor_table.h"

namespace kvtsim_value_detail {

struct Kind {
    int code;
    const char* name;
    int ports;
};

constexpr Kind KINDS[] = {
    {KIND::DIO, "dio", 16},           {KIND::AI, "ai", 8},
    {KIND::WIRE_T, "wire-temp", 128}, {KIND::WIRE_H, "wire-humid", 16},
    {KIND::VLXA_T, "vlxa-temp", 50},  {KIND::VLXA_H, "vlxa-humid", 50},
    {KIND::VLXA_BAT, "vlxa-bat", 50}, {KIND::NX40_T, "nx40-temp", 100},
    {KIND::NX40_BAT, "nx40-bat", 100},
};

inline const Kind* find_kind(const char* s)
{
    for (const Kind& k : KINDS)
        if (!std::strcmp(s, k.name) || std::to_string(k.code) == s) return &k;
    return nullptr;
}

inline MONITOR_TABLE::SensorElement* element(MONITOR_TABLE::Sensor_condition* c, int kind, int i)
{
    switch (kind) {
    case KIND::DIO: return &c->digitalio[i];
    case KIND::AI: return &c->analog[i];
    case KIND::WIRE_T: return &c->onewire_temperature[i];
    case KIND::WIRE_H: return &c->onewire_humidity[i];
    case KIND::VLXA_T: return &c->veloxa[i].sensor_temperature;
    case KIND::VLXA_H: return &c->veloxa[i].sensor_humidity;
    case KIND::VLXA_BAT: return &c->veloxa[i].sensor_battery;
    case KIND::NX40_T: return &c->kvt_nx40[i].sensor_temperature;
    case KIND::NX40_BAT: return &c->kvt_nx40[i].sensor_battery;
    default: return nullptr;
    }
}

// True when some process has the file mapped: the service maps its live
// table for as long as it runs, and a table left behind by a service that
// has stopped holds the last values it wrote.
inline bool file_mapped(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    char want[64];
    std::snprintf(want, sizeof want, " %02x:%02x %lu ", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long>(st.st_ino));
    char real[PATH_MAX];
    const std::string by_path = std::string(" ") + (realpath(path.c_str(), real) ? real : path.c_str());
    DIR* proc = opendir("/proc");
    if (!proc) return true;  // cannot tell: take the table as it is
    bool found = false;
    while (dirent* d = readdir(proc)) {
        if (d->d_name[0] < '0' || d->d_name[0] > '9') continue;
        std::ifstream maps(std::string("/proc/") + d->d_name + "/maps");
        std::string line;
        while (!found && std::getline(maps, line)) {
            // address perms offset dev inode path
            size_t p = line.find(' ');
            for (int field = 0; field < 2 && p != std::string::npos; ++field) p = line.find(' ', p + 1);
            if (p != std::string::npos && line.compare(p, std::strlen(want), want) == 0) found = true;
            // Some file systems (overlays) show another device and inode.
            if (line.size() > by_path.size() && line.compare(line.size() - by_path.size(), by_path.size(), by_path) == 0)
                found = true;
        }
        if (found) break;
    }
    closedir(proc);
    return found;
}

constexpr const char* USAGE =
    "usage: kvtsim [-r DIR] value KIND PORT [V]\n"
    "  KIND: 1-9 or dio ai wire-temp wire-humid vlxa-temp vlxa-humid vlxa-bat\n"
    "        nx40-temp nx40-bat; PORT counts from 1. Without V prints\n"
    "        \"value status\"; with V sets the live value.\n";

}  // namespace kvtsim_value_detail

// argv[0] is "value". Exit codes as kvtsim: 0 done, 1 table unusable, 2 usage.
inline int kvtsim_value(const std::string& root, int argc, const char* const* argv)
{
    using namespace kvtsim_value_detail;
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "kvtsim: value KIND PORT [V]\n%s", USAGE);
        return 2;
    }
    const Kind* k = find_kind(argv[1]);
    if (!k) {
        std::fprintf(stderr, "kvtsim: unknown kind %s\n%s", argv[1], USAGE);
        return 2;
    }
    char* end = nullptr;
    long port = std::strtol(argv[2], &end, 10);
    if (*argv[2] == '\0' || *end != '\0' || port < 1 || port > k->ports) {
        std::fprintf(stderr, "kvtsim: port of %s must be 1-%d\n", k->name, k->ports);
        return 2;
    }
    long long v = 0;
    if (argc == 4) {
        errno = 0;
        v = std::strtoll(argv[3], &end, 10);
        if (*argv[3] == '\0' || *end != '\0' || errno || v < INT32_MIN || v > INT32_MAX) {
            std::fprintf(stderr, "kvtsim: value must be a 32-bit integer\n");
            return 2;
        }
    }
    const std::string path = root + "/tmp/mmapfile_monitor";
    int fd = open(path.c_str(), O_RDWR);
    if (fd < 0) {
        std::fprintf(stderr, "kvtsim: cannot open %s: %s (is the simulator running?)\n", path.c_str(),
                     std::strerror(errno));
        return 1;
    }
    if (!file_mapped(path)) {
        std::fprintf(stderr, "kvtsim: no service publishes %s (is the simulator running?)\n", path.c_str());
        close(fd);
        return 1;
    }
    off_t size = lseek(fd, 0, SEEK_END);
    if (size < static_cast<off_t>(sizeof(MONITOR_TABLE::Sensor_condition))) {
        std::fprintf(stderr, "kvtsim: %s is not a live table yet\n", path.c_str());
        close(fd);
        return 1;
    }
    void* p = mmap(nullptr, sizeof(MONITOR_TABLE::Sensor_condition), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED) {
        std::fprintf(stderr, "kvtsim: cannot map %s: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    auto* c = static_cast<MONITOR_TABLE::Sensor_condition*>(p);
    MONITOR_TABLE::SensorElement* e = element(c, k->code, static_cast<int>(port - 1));
    if (argc == 4) {
        e->value = static_cast<int32_t>(v);
    } else {
        std::printf("%d %d\n", static_cast<int>(e->value), static_cast<int>(e->status));
    }
    munmap(p, sizeof(MONITOR_TABLE::Sensor_condition));
    return 0;
}
