// file_thread: the settings files of the six sensor kinds.
//
// Owns the six "set configuration" request flags while they read 4 (export)
// or 3 (import) and the kind's CSV file under /tmp. Polls the flags every
// 50 ms in kind order; one request is finished (flag 1 or 0) before the next
// is looked at. Imported settings reach the database through db_save. Stops
// when control drops to 0.
#include "fileupdown.h"

#include <atomic>
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codes.h"
#include "common.h"
#include "platform.h"
#include "settings_map.h"

namespace FILE_UPDOWN {

namespace {

using namespace SETTINGS_TABLE;

const char* const DI_HEADER = "#ID,名称,状態表示,検出時間,ON表示,OFF表示,エラー設定,検出フィルター設定\n";
const char* const DO_HEADER =
    "#ID,名称,状態表示,ON表示,OFF表示,起動時,保持,エラー設定,onセンサータイプ,onセンサー名,on出力条件,on有効,"
    "offセンサータイプ,offセンサー名,off出力条件,off有効\n";
const char* const AI_HEADER =
    "#ID,名称,状態表示,出力電流/電圧 最大,出力電流/電圧 最小,測定範囲 最大,測定範囲 最小,警報上限 値,警報上限 解除,"
    "注意上限 値,注意上限 解除,注意下限 値,注意下限 解除,警報下限 値,警報下限 解除,エラー(秒),単位,検出フィルター設定,"
    "ロギング,レンジ\n";
const char* const PROBE_HEADER =
    "#ID,名称,状態表示,デバイスID,警報上限 値,警報上限 解除,注意上限 値,注意上限 解除,注意下限 値,注意下限 解除,"
    "警報下限 値,警報下限 解除,検出フィルター設定,ロギング\n";

// One block of rows: a header line, then one row per element of a section.
struct Block {
    const char* header;
    int save;  // the section, by its settings-writer kind
};

struct KindDesc {
    const char* path;
    int32_t MONITOR_TABLE::RequestFlg::*flag;
    Block blocks[2];
    int nblocks;
};

using Flg = MONITOR_TABLE::RequestFlg;

// Indexed by identification number - 1. Each block's rows are saved as a
// whole section afterwards.
const KindDesc KINDS[KIND_COUNT] = {
    {"/tmp/dio_config.csv", &Flg::digitalio_set_configuration, {{DI_HEADER, SAVE::DI}, {DO_HEADER, SAVE::DO}}, 2},
    {"/tmp/ai_config.csv", &Flg::analog_set_configuration, {{AI_HEADER, SAVE::AI}, {}}, 1},
    {"/tmp/1WireT_config.csv", &Flg::onewire_temperature_set_configuration, {{PROBE_HEADER, SAVE::WIRE_T}, {}}, 1},
    {"/tmp/1WireH_config.csv", &Flg::onewire_humidity_set_configuration, {{PROBE_HEADER, SAVE::WIRE_H}, {}}, 1},
    {"/tmp/VLXA_config.csv", &Flg::veloxa_set_configuration, {{PROBE_HEADER, SAVE::VLXA}, {}}, 1},
    {"/tmp/MeshT_config.csv", &Flg::kvt_nx40_set_configuration, {{PROBE_HEADER, SAVE::NX40}, {}}, 1},
};

const SETTINGS_MAP::Section& section(const Block& b) { return *SETTINGS_MAP::section_of_save(b.save); }

// The fields of a block's rows in file order (after the element number).
std::vector<const SETTINGS_MAP::Field*> file_fields(const Block& b)
{
    const SETTINGS_MAP::Record& rec = *section(b).record;
    std::vector<const SETTINGS_MAP::Field*> out;
    for (int k = 0; k < rec.count; ++k)
        if (rec.fields[k].file != SETTINGS_MAP::NONE) out.push_back(&rec.fields[k]);
    std::sort(out.begin(), out.end(), [](auto* a, auto* b) { return a->file < b->file; });
    return out;
}

const KindDesc* kind_desc(int kind) { return kind >= 1 && kind <= KIND_COUNT ? &KINDS[kind - 1] : nullptr; }

const char BOM[] = "\xEF\xBB\xBF";

std::string row_text(const Block& b, int i)
{
    const char* elem = SETTINGS_MAP::element(section(b), i);
    std::string row = std::to_string(i + 1);
    for (const SETTINGS_MAP::Field* f : file_fields(b)) {
        row += ',';
        if (f->type == SETTINGS_MAP::Type::Text) row += SETTINGS_MAP::get_text(elem, *f);
        else row += std::to_string(SETTINGS_MAP::get_int(elem, *f));
    }
    return row + "\n";
}

// The file's lines without their line ends; a carriage return before the
// newline is dropped too, as files edited on a PC carry one.
std::vector<std::string> split_lines(const std::string& content)
{
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        pos = end + 1;
    }
    return lines;
}

std::vector<std::string> split_fields(const std::string& line)
{
    std::vector<std::string> fields;
    size_t pos = 0;
    while (true) {
        size_t end = line.find(',', pos);
        std::string f = line.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (f.size() > FIELD_LIMIT) f = fit_text(f, FIELD_LIMIT + 1);
        fields.push_back(f);
        if (end == std::string::npos) break;
        pos = end + 1;
    }
    return fields;
}

// Decimal text to int: text that is not a number gives 0, values past the
// int range stop at its ends.
int to_int(const std::string& text)
{
    long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (v > 2147483647LL) return 2147483647;
    if (v < -2147483648LL) return -2147483647 - 1;
    return static_cast<int>(v);
}

void store_row(const Block& b, int i, const std::vector<std::string>& fields)
{
    char* elem = SETTINGS_MAP::element(section(b), i);
    size_t k = 1;  // field 0 is the element number
    for (const SETTINGS_MAP::Field* f : file_fields(b)) {
        const std::string& text = fields[k++];
        if (f->type == SETTINGS_MAP::Type::Text) SETTINGS_MAP::set_text(elem, *f, text);
        else SETTINGS_MAP::set_int(elem, *f, to_int(text));
    }
    SETTINGS_MAP::mark_changed(section(b), elem, true);
}

bool read_file(const std::string& path, std::string& content)
{
    FILE* f = std::fopen(kvt_path(path).c_str(), "rb");
    if (!f) return false;
    // A genuine file is far smaller; anything past this is never looked at.
    constexpr size_t MAX_READ = 1 << 20;
    content.clear();
    char buf[8192];
    size_t n;
    while (content.size() < MAX_READ && (n = std::fread(buf, 1, sizeof buf, f)) > 0) content.append(buf, n);
    std::fclose(f);
    return true;
}

}  // namespace

std::string fit_text(const std::string& text, size_t capacity)
{
    return text.substr(0, text_fit(text.data(), text.size(), capacity));
}

const char* file_path(int kind)
{
    const KindDesc* k = kind_desc(kind);
    return k ? k->path : nullptr;
}

int32_t* request_flag(MONITOR_TABLE::RequestFlg* flg, int kind)
{
    const KindDesc* k = kind_desc(kind);
    return k && flg ? &(flg->*(k->flag)) : nullptr;
}

std::string export_text(int kind)
{
    const KindDesc* k = kind_desc(kind);
    if (!k) return "";
    std::string text = std::string(BOM) + "識別番号," + std::to_string(kind) + ",\n";
    for (int s = 0; s < k->nblocks; ++s) {
        text += k->blocks[s].header;
        for (int i = 0; i < section(k->blocks[s]).entries; ++i) text += row_text(k->blocks[s], i);
    }
    return text;
}

std::string check_import(int kind, const std::string& content)
{
    const KindDesc* k = kind_desc(kind);
    if (!k) return "設定ファイル種別エラー:" + std::to_string(kind);
    std::vector<std::string> lines = split_lines(content);
    const std::string id = std::to_string(kind);

    std::string first = lines.empty() ? "" : lines[0];
    if (first.size() > LINE_LIMIT) return "設定ファイル行長エラー:" + id + " 1行目";
    std::vector<std::string> idf = split_fields(first);
    std::string found = idf.size() > 1 ? idf[1] : "";
    if (to_int(found) != kind) return "設定ファイル識別番号エラー:" + id + found;

    size_t needed = 1;
    for (int s = 0; s < k->nblocks; ++s) needed += 1 + static_cast<size_t>(section(k->blocks[s]).entries);
    if (lines.size() < needed)
        return "設定ファイル行数エラー:" + id + " " + std::to_string(lines.size()) + "/" + std::to_string(needed);

    size_t ln = 1;
    for (int s = 0; s < k->nblocks; ++s) {
        const Block& block = k->blocks[s];
        const size_t nfields = file_fields(block).size();
        for (int i = -1; i < section(block).entries; ++i, ++ln) {  // i = -1 is the header line
            if (lines[ln].size() > LINE_LIMIT) return "設定ファイル行長エラー:" + id + " " + std::to_string(ln + 1) + "行目";
            if (i < 0) continue;
            // Fields are positional: a comma typed into a name would shift
            // every later value, so only a trailing comma may add a field.
            std::vector<std::string> f = split_fields(lines[ln]);
            size_t want = nfields + 1;
            bool trailing_comma = f.size() == want + 1 && f.back().empty();
            if (f.size() < want || (f.size() > want && !trailing_comma))
                return "設定ファイル項目数エラー:" + id + " " + std::to_string(ln + 1) + "行目";
        }
    }
    return "";
}

void apply_import(int kind, const std::string& content)
{
    const KindDesc* k = kind_desc(kind);
    if (!k) return;
    std::vector<std::string> lines = split_lines(content);
    size_t ln = 1;
    for (int s = 0; s < k->nblocks; ++s) {
        const Block& block = k->blocks[s];
        ++ln;  // header
        for (int i = 0; i < section(block).entries; ++i, ++ln) {
            std::vector<std::string> fields = split_fields(lines[ln]);
            std::string shown;
            for (const auto& f : fields) shown += f + " ";
            std::printf("%s\n", shown.c_str());
            store_row(block, i, fields);
        }
    }
}

int do_export(int kind)
{
    const KindDesc* k = kind_desc(kind);
    if (!k) return REQ::FAILED;
    std::string text = export_text(kind);
    FILE* f = std::fopen(kvt_path(k->path).c_str(), "wb");
    if (!f) {
        report_error("file export: fopen", k->path, errno);
        return REQ::FAILED;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    int err = ok ? 0 : errno;
    if (std::fclose(f) != 0 && ok) ok = false, err = errno;
    if (!ok) {
        report_error("file export: write", k->path, err);
        return REQ::FAILED;
    }
    // The rows on the console, as the operator sees them in the file.
    std::vector<std::string> lines = split_lines(text);
    for (size_t i = 1; i < lines.size(); ++i)
        if (lines[i].empty() || lines[i][0] != '#') std::printf("%s\n", lines[i].c_str());
    return REQ::DONE;
}

int do_import(int kind)
{
    const KindDesc* k = kind_desc(kind);
    if (!k) return REQ::FAILED;
    int result = REQ::FAILED;
    std::string content;
    if (!read_file(k->path, content)) {
        std::printf("file import: cannot open %s\n", k->path);
        applog("設定ファイルオープンエラー:" + std::to_string(kind));
    } else {
        std::string why = check_import(kind, content);
        if (!why.empty()) {
            report(why);
        } else {
            apply_import(kind, content);
            for (int b = 0; b < k->nblocks; ++b) db_save.push_n(k->blocks[b].save, SAVE::WHOLE);
            result = REQ::DONE;
        }
    }
    // An imported file never outlives its import, whatever became of it.
    if (std::remove(kvt_path(k->path).c_str()) == 0)
        std::printf("ファイルの削除に成功\n");
    else
        std::printf("ファイルの削除に失敗\n");
    return result;
}

}  // namespace FILE_UPDOWN

void* file_thread(void*)
{
    std::printf("file_thread tid  : %ld\n", thread_tid());
    while (control) {
        MONITOR_TABLE::RequestFlg* flg = monitor ? monitor->requestflg : nullptr;
        for (int kind = 1; flg && kind <= FILE_UPDOWN::KIND_COUNT && control; ++kind) {
            // The settings writer compares and swaps the same flag from its
            // thread: both sides go through atomic access.
            std::atomic_ref<int32_t> f(*FILE_UPDOWN::request_flag(flg, kind));
            const int32_t req = f.load();
            if (req == REQ::EXPORT)
                f.store(FILE_UPDOWN::do_export(kind));
            else if (req == REQ::IMPORT)
                f.store(FILE_UPDOWN::do_import(kind));
        }
        // The web UI sets the flags from its own process, which cannot wake
        // this thread: a request waits at most half a second.
        sleep_while_running(500);
    }
    std::printf("end file thread\n");
    return nullptr;
}
