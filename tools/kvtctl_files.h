// kvtctl's side of the settings-file handshake, as the web UI does it: ask
// the service for an export and copy the file out, or place a file and ask
// for its import, through the request flags in <root>/tmp/mmapfile_flg.
//
//   export-settings KIND DEST   flag 4, wait for 1 or 0, copy the file to DEST
//   import-settings KIND SRC    copy SRC into place, flag 3, wait for 1 or 0
//                               (0 is a refusal only with its reason logged:
//                               the settings writer also writes 0 once saved)
//   file-flag KIND              print the kind's flag
//
// KIND: dio, ai, wire-temp, wire-humid, vlxa, nx40. Returns 0 when done,
// 1 on failure (flag 0, time-out, file trouble), 2 on a usage error.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "codes.h"
#include "monitor_table.h"

namespace kvtctl_files {

struct FileKind {
    const char* name;
    const char* path;  // below the root
    size_t flag_offset;
};

inline const FileKind KINDS[] = {
    {"dio", "/tmp/dio_config.csv", offsetof(MONITOR_TABLE::RequestFlg, digitalio_set_configuration)},
    {"ai", "/tmp/ai_config.csv", offsetof(MONITOR_TABLE::RequestFlg, analog_set_configuration)},
    {"wire-temp", "/tmp/1WireT_config.csv", offsetof(MONITOR_TABLE::RequestFlg, onewire_temperature_set_configuration)},
    {"wire-humid", "/tmp/1WireH_config.csv", offsetof(MONITOR_TABLE::RequestFlg, onewire_humidity_set_configuration)},
    {"vlxa", "/tmp/VLXA_config.csv", offsetof(MONITOR_TABLE::RequestFlg, veloxa_set_configuration)},
    {"nx40", "/tmp/MeshT_config.csv", offsetof(MONITOR_TABLE::RequestFlg, kvt_nx40_set_configuration)},
};

// How long the service may take to answer a request.
constexpr int ANSWER_TIMEOUT_MS = 10000;

inline const FileKind* find_kind(const std::string& name)
{
    for (const FileKind& k : KINDS)
        if (name == k.name) return &k;
    return nullptr;
}

// The request-flag table of the service under root, mapped shared.
class FlagTable {
public:
    explicit FlagTable(const std::string& root) : path_(root + "/tmp/mmapfile_flg")
    {
        fd_ = open(path_.c_str(), O_RDWR);
        if (fd_ < 0) return;
        void* p = mmap(nullptr, sizeof(MONITOR_TABLE::RequestFlg), PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        if (p != MAP_FAILED) base_ = static_cast<char*>(p);
    }
    ~FlagTable()
    {
        if (base_) munmap(base_, sizeof(MONITOR_TABLE::RequestFlg));
        if (fd_ >= 0) close(fd_);
    }
    FlagTable(const FlagTable&) = delete;
    FlagTable& operator=(const FlagTable&) = delete;

    bool ok() const { return base_ != nullptr; }
    const std::string& path() const { return path_; }
    volatile int32_t& flag(const FileKind& k) { return *reinterpret_cast<volatile int32_t*>(base_ + k.flag_offset); }

    // Raises the request and waits for the service's answer; -1 on time-out.
    int request(const FileKind& k, int32_t value)
    {
        flag(k) = value;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ANSWER_TIMEOUT_MS);
        while (std::chrono::steady_clock::now() < deadline) {
            int32_t v = flag(k);
            if (v == REQ::FAILED || v == REQ::DONE) return v;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

private:
    std::string path_;
    int fd_ = -1;
    char* base_ = nullptr;
};

constexpr int REQUEST_ATTEMPTS = 3;

inline bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

inline bool copy_file(const std::string& from, const std::string& to)
{
    std::ifstream in(from, std::ios::binary);
    if (!in) return false;
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << in.rdbuf();
    return static_cast<bool>(out);
}

inline std::string read_all(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The service logs why it refused a file before it lowers the flag to 0;
// the settings writer also lowers it to 0 once an accepted file is saved.
// A refusal line logged since `from` tells the two apart.
inline std::string refusal_since(const std::string& applog, size_t from)
{
    std::string text = read_all(applog);
    if (text.size() < from) from = 0;  // rotated meanwhile
    size_t at = text.find("設定ファイル", from);
    if (at == std::string::npos) return "";
    size_t start = text.rfind('\n', at);
    start = start == std::string::npos ? 0 : start + 1;
    return text.substr(start, text.find('\n', at) - start);
}

inline int usage(std::FILE* to = stderr, int status = 2)
{
    std::fprintf(to,
                 "usage: export-settings KIND DEST | import-settings KIND SRC | file-flag KIND\n"
                 "       KIND: dio, ai, wire-temp, wire-humid, vlxa, nx40\n");
    return status;
}

}  // namespace kvtctl_files

// True when args[0] names one of the file commands.
inline bool kvtctl_is_file_command(const std::string& word)
{
    return word == "export-settings" || word == "import-settings" || word == "file-flag";
}

inline int kvtctl_file_command(const std::string& root, const std::vector<std::string>& args)
{
    using namespace kvtctl_files;
    if (args.empty() || !kvtctl_is_file_command(args[0])) return usage();
    const std::string& cmd = args[0];
    if (args.size() == 2 && (args[1] == "--help" || args[1] == "-h")) {
        return usage(stdout, 0);
    }
    size_t want = cmd == "file-flag" ? 2 : 3;
    if (args.size() != want) return usage();
    const FileKind* k = find_kind(args[1]);
    if (!k) {
        std::fprintf(stderr, "%s: unknown kind %s\n", cmd.c_str(), args[1].c_str());
        return usage();
    }
    FlagTable table(root);
    if (!table.ok()) {
        std::fprintf(stderr, "%s: cannot map %s (is the service running?)\n", cmd.c_str(), table.path().c_str());
        return 1;
    }
    const std::string file = root + k->path;

    if (cmd == "file-flag") {
        std::printf("%d\n", static_cast<int>(table.flag(*k)));
        return 0;
    }
    // The settings writer lowers a section's flag to 0 when it has saved
    // that section, which can overwrite a request before the service saw
    // it. The exchange file tells: an export writes it, an import removes
    // it, a lost request leaves it as it was; a lost request is raised again.
    if (cmd == "export-settings") {
        for (int attempt = 1; attempt <= REQUEST_ATTEMPTS; ++attempt) {
            std::remove(file.c_str());
            int answer = table.request(*k, REQ::EXPORT);
            if (answer < 0) {
                std::fprintf(stderr, "export-settings %s: no answer from the service\n", k->name);
                return 1;
            }
            if (!exists(file)) {
                if (answer == REQ::FAILED && attempt < REQUEST_ATTEMPTS) continue;
                std::fprintf(stderr, "export-settings %s: the service did not write %s (flag %d)\n", k->name,
                             file.c_str(), answer);
                return 1;
            }
            if (!copy_file(file, args[2])) {
                std::fprintf(stderr, "export-settings %s: cannot copy %s to %s\n", k->name, file.c_str(),
                             args[2].c_str());
                return 1;
            }
            std::printf("exported %s to %s\n", k->name, args[2].c_str());
            return 0;
        }
        return 1;
    }
    // import-settings
    const std::string applog = root + "/log/app_log/applog1.txt";
    for (int attempt = 1;; ++attempt) {
        if (!copy_file(args[2], file)) {
            std::fprintf(stderr, "import-settings %s: cannot copy %s to %s\n", k->name, args[2].c_str(),
                         file.c_str());
            return 1;
        }
        size_t log_size = read_all(applog).size();
        int answer = table.request(*k, REQ::IMPORT);
        if (answer < 0) {
            std::fprintf(stderr, "import-settings %s: no answer from the service\n", k->name);
            return 1;
        }
        if (answer == REQ::DONE) break;
        if (exists(file)) {
            if (attempt < REQUEST_ATTEMPTS) continue;
            std::fprintf(stderr, "import-settings %s: the service did not take %s\n", k->name, file.c_str());
            return 1;
        }
        std::string why = refusal_since(applog, log_size);
        if (!why.empty()) {
            std::fprintf(stderr, "import-settings %s: refused: %s\n", k->name, why.c_str());
            return 1;
        }
        break;  // taken and already saved
    }
    std::printf("imported %s from %s\n", k->name, args[2].c_str());
    return 0;
}
