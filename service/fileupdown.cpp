// file_thread: the settings files of the six sensor kinds.
//
// Owns the six "set configuration" request flags while they read 4 (export)
// or 3 (import) and the kind's CSV file under /tmp. Polls the flags every
// 50 ms in kind order; one request is finished (flag 1 or 0) before the next
// is looked at. Imported settings reach the database through db_save. Stops
// when control drops to 0.
#include "fileupdown.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common.h"
#include "platform.h"

namespace FILE_UPDOWN {

namespace {

using namespace SETTINGS_TABLE;

enum class FieldType { Text, Int, Bool };

struct Field {
    FieldType type;
    size_t offset;
    size_t size;  // capacity of a text field
};

#define TEXT_FIELD(S, f) Field{FieldType::Text, offsetof(S, f), sizeof(S::f)}
#define INT_FIELD(S, f) Field{FieldType::Int, offsetof(S, f), sizeof(int)}
#define BOOL_FIELD(S, f) Field{FieldType::Bool, offsetof(S, f), sizeof(bool)}

const Field DI_FIELDS[] = {
    TEXT_FIELD(DigitalI, name),      BOOL_FIELD(DigitalI, enable),       INT_FIELD(DigitalI, time),
    TEXT_FIELD(DigitalI, ontext),    TEXT_FIELD(DigitalI, offtext),      INT_FIELD(DigitalI, errortext_id),
    INT_FIELD(DigitalI, trend_id),
};

const Field DO_FIELDS[] = {
    TEXT_FIELD(DigitalO, name),     BOOL_FIELD(DigitalO, enable),   TEXT_FIELD(DigitalO, ontext),
    TEXT_FIELD(DigitalO, offtext),  BOOL_FIELD(DigitalO, doinit),   BOOL_FIELD(DigitalO, dokeep),
    INT_FIELD(DigitalO, errortext_id), INT_FIELD(DigitalO, ontype), INT_FIELD(DigitalO, onsensor),
    INT_FIELD(DigitalO, onstate),   INT_FIELD(DigitalO, onenable),  INT_FIELD(DigitalO, offtype),
    INT_FIELD(DigitalO, offsensor), INT_FIELD(DigitalO, offstate),  INT_FIELD(DigitalO, offenable),
};

const Field AI_FIELDS[] = {
    TEXT_FIELD(Analog, name),           BOOL_FIELD(Analog, enable),         INT_FIELD(Analog, input_max),
    INT_FIELD(Analog, input_min),       INT_FIELD(Analog, output_max),      INT_FIELD(Analog, output_min),
    INT_FIELD(Analog, alert_max_val),   INT_FIELD(Analog, alert_max_clear), INT_FIELD(Analog, caution_max_val),
    INT_FIELD(Analog, caution_max_clear), INT_FIELD(Analog, caution_min_val), INT_FIELD(Analog, caution_min_clear),
    INT_FIELD(Analog, alert_min_val),   INT_FIELD(Analog, alert_min_clear), INT_FIELD(Analog, err_sampling),
    TEXT_FIELD(Analog, unit),           INT_FIELD(Analog, trend_id),        BOOL_FIELD(Analog, log),
    INT_FIELD(Analog, range),
};

// 1-Wire temperature, 1-Wire humidity and NX40 share one record layout.
const Field PROBE_FIELDS[] = {
    TEXT_FIELD(Onewire_temperature, name),
    BOOL_FIELD(Onewire_temperature, enable),
    TEXT_FIELD(Onewire_temperature, device_ID),
    INT_FIELD(Onewire_temperature, alert_max_val),
    INT_FIELD(Onewire_temperature, alert_max_clear),
    INT_FIELD(Onewire_temperature, caution_max_val),
    INT_FIELD(Onewire_temperature, caution_max_clear),
    INT_FIELD(Onewire_temperature, caution_min_val),
    INT_FIELD(Onewire_temperature, caution_min_clear),
    INT_FIELD(Onewire_temperature, alert_min_val),
    INT_FIELD(Onewire_temperature, alert_min_clear),
    INT_FIELD(Onewire_temperature, trend_id),
    BOOL_FIELD(Onewire_temperature, log),
};

const Field VLXA_FIELDS[] = {
    TEXT_FIELD(Veloxa, name),
    BOOL_FIELD(Veloxa, enable),
    TEXT_FIELD(Veloxa, device_ID),
    TEXT_FIELD(Veloxa, t_name),
    INT_FIELD(Veloxa, t_alert_max_val),
    INT_FIELD(Veloxa, t_alert_max_clear),
    INT_FIELD(Veloxa, t_caution_max_val),
    INT_FIELD(Veloxa, t_caution_max_clear),
    INT_FIELD(Veloxa, t_caution_min_val),
    INT_FIELD(Veloxa, t_caution_min_clear),
    INT_FIELD(Veloxa, t_alert_min_val),
    INT_FIELD(Veloxa, t_alert_min_clear),
    INT_FIELD(Veloxa, t_trend_id),
    BOOL_FIELD(Veloxa, t_log),
    TEXT_FIELD(Veloxa, h_name),
    INT_FIELD(Veloxa, h_alert_max_val),
    INT_FIELD(Veloxa, h_alert_max_clear),
    INT_FIELD(Veloxa, h_caution_max_val),
    INT_FIELD(Veloxa, h_caution_max_clear),
    INT_FIELD(Veloxa, h_caution_min_val),
    INT_FIELD(Veloxa, h_caution_min_clear),
    INT_FIELD(Veloxa, h_alert_min_val),
    INT_FIELD(Veloxa, h_alert_min_clear),
    INT_FIELD(Veloxa, h_trend_id),
    BOOL_FIELD(Veloxa, h_log),
};

#undef TEXT_FIELD
#undef INT_FIELD
#undef BOOL_FIELD

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

// One block of rows: a header line, then one row per element of a record
// array.
struct Section {
    const char* header;
    char* (*base)();
    size_t stride;
    size_t changeflg;
    int count;
    const Field* fields;
    int nfields;
};

struct KindDesc {
    const char* path;
    int32_t MONITOR_TABLE::RequestFlg::*flag;
    Section sections[2];
    int nsections;
    int codes[2];
    int ncodes;
};

template <typename T, size_t N>
constexpr int count_of(const T (&)[N])
{
    return static_cast<int>(N);
}

char* di_base() { return reinterpret_cast<char*>(sensor_settings.digitalI); }
char* do_base() { return reinterpret_cast<char*>(sensor_settings.digitalO); }
char* ai_base() { return reinterpret_cast<char*>(sensor_settings.analog); }
char* wt_base() { return reinterpret_cast<char*>(sensor_settings.onewire_temperature); }
char* wh_base() { return reinterpret_cast<char*>(sensor_settings.onewire_humidity); }
char* vlxa_base() { return reinterpret_cast<char*>(sensor_settings.veloxa); }
char* nx40_base() { return reinterpret_cast<char*>(sensor_settings.kvt_nx40); }

const Section DI_SECTION = {DI_HEADER, di_base, sizeof(DigitalI), offsetof(DigitalI, changeflg), DI_NUM,
                            DI_FIELDS, count_of(DI_FIELDS)};
const Section DO_SECTION = {DO_HEADER, do_base, sizeof(DigitalO), offsetof(DigitalO, changeflg), DO_NUM,
                            DO_FIELDS, count_of(DO_FIELDS)};
const Section AI_SECTION = {AI_HEADER, ai_base, sizeof(Analog), offsetof(Analog, changeflg), AI_NUM,
                            AI_FIELDS, count_of(AI_FIELDS)};
const Section WT_SECTION = {PROBE_HEADER, wt_base, sizeof(Onewire_temperature),
                            offsetof(Onewire_temperature, changeflg), WIRE_T_NUM, PROBE_FIELDS,
                            count_of(PROBE_FIELDS)};
const Section WH_SECTION = {PROBE_HEADER, wh_base, sizeof(Onewire_humidity),
                            offsetof(Onewire_humidity, changeflg), WIRE_H_NUM, PROBE_FIELDS,
                            count_of(PROBE_FIELDS)};
const Section VLXA_SECTION = {PROBE_HEADER, vlxa_base, sizeof(Veloxa), offsetof(Veloxa, changeflg), VLXA_NUM,
                              VLXA_FIELDS, count_of(VLXA_FIELDS)};
const Section NX40_SECTION = {PROBE_HEADER, nx40_base, sizeof(KVT_NX40), offsetof(KVT_NX40, changeflg), NX40_NUM,
                              PROBE_FIELDS, count_of(PROBE_FIELDS)};

using Flg = MONITOR_TABLE::RequestFlg;

// Indexed by identification number - 1.
const KindDesc KINDS[KIND_COUNT] = {
    {"/tmp/dio_config.csv", &Flg::digitalio_set_configuration, {DI_SECTION, DO_SECTION}, 2, {1, 2}, 2},
    {"/tmp/ai_config.csv", &Flg::analog_set_configuration, {AI_SECTION, {}}, 1, {10, 0}, 1},
    {"/tmp/1WireT_config.csv", &Flg::onewire_temperature_set_configuration, {WT_SECTION, {}}, 1, {15, 0}, 1},
    {"/tmp/1WireH_config.csv", &Flg::onewire_humidity_set_configuration, {WH_SECTION, {}}, 1, {16, 0}, 1},
    {"/tmp/VLXA_config.csv", &Flg::veloxa_set_configuration, {VLXA_SECTION, {}}, 1, {20, 0}, 1},
    {"/tmp/MeshT_config.csv", &Flg::kvt_nx40_set_configuration, {NX40_SECTION, {}}, 1, {25, 0}, 1},
};

const KindDesc* kind_desc(int kind) { return kind >= 1 && kind <= KIND_COUNT ? &KINDS[kind - 1] : nullptr; }

const char BOM[] = "\xEF\xBB\xBF";

std::string row_text(const Section& s, int i)
{
    const char* elem = s.base() + s.stride * static_cast<size_t>(i);
    std::string row = std::to_string(i + 1);
    for (int f = 0; f < s.nfields; ++f) {
        const Field& fd = s.fields[f];
        row += ',';
        switch (fd.type) {
        case FieldType::Text: row += std::string(elem + fd.offset, strnlen(elem + fd.offset, fd.size)); break;
        case FieldType::Int: {
            int v;
            std::memcpy(&v, elem + fd.offset, sizeof v);
            row += std::to_string(v);
            break;
        }
        case FieldType::Bool: row += *reinterpret_cast<const bool*>(elem + fd.offset) ? '1' : '0'; break;
        }
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

void store_row(const Section& s, int i, const std::vector<std::string>& fields)
{
    char* elem = s.base() + s.stride * static_cast<size_t>(i);
    for (int f = 0; f < s.nfields; ++f) {
        const Field& fd = s.fields[f];
        const std::string& text = fields[static_cast<size_t>(f) + 1];  // field 0 is the element number
        switch (fd.type) {
        case FieldType::Text: {
            std::string cut = fit_text(text, fd.size);
            std::memcpy(elem + fd.offset, cut.c_str(), cut.size() + 1);
            break;
        }
        case FieldType::Int: {
            int v = to_int(text);
            std::memcpy(elem + fd.offset, &v, sizeof v);
            break;
        }
        case FieldType::Bool: *reinterpret_cast<bool*>(elem + fd.offset) = to_int(text) != 0; break;
        }
    }
    *reinterpret_cast<bool*>(elem + s.changeflg) = true;
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
    if (capacity == 0) return "";
    size_t n = text.size();
    if (n < capacity) return text;
    n = capacity - 1;
    // Step back over continuation bytes so a character is never split.
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return text.substr(0, n);
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
    for (int s = 0; s < k->nsections; ++s) {
        text += k->sections[s].header;
        for (int i = 0; i < k->sections[s].count; ++i) text += row_text(k->sections[s], i);
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
    for (int s = 0; s < k->nsections; ++s) needed += 1 + static_cast<size_t>(k->sections[s].count);
    if (lines.size() < needed)
        return "設定ファイル行数エラー:" + id + " " + std::to_string(lines.size()) + "/" + std::to_string(needed);

    size_t ln = 1;
    for (int s = 0; s < k->nsections; ++s) {
        const Section& sec = k->sections[s];
        for (int i = -1; i < sec.count; ++i, ++ln) {  // i = -1 is the header line
            if (lines[ln].size() > LINE_LIMIT) return "設定ファイル行長エラー:" + id + " " + std::to_string(ln + 1) + "行目";
            if (i < 0) continue;
            // Fields are positional: a comma typed into a name would shift
            // every later value, so only a trailing comma may add a field.
            std::vector<std::string> f = split_fields(lines[ln]);
            size_t want = static_cast<size_t>(sec.nfields) + 1;
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
    for (int s = 0; s < k->nsections; ++s) {
        const Section& sec = k->sections[s];
        ++ln;  // header
        for (int i = 0; i < sec.count; ++i, ++ln) {
            std::vector<std::string> fields = split_fields(lines[ln]);
            std::string shown;
            for (const auto& f : fields) shown += f + " ";
            std::printf("%s\n", shown.c_str());
            store_row(sec, i, fields);
        }
    }
}

int do_export(int kind)
{
    const KindDesc* k = kind_desc(kind);
    if (!k) return 0;
    std::string text = export_text(kind);
    FILE* f = std::fopen(kvt_path(k->path).c_str(), "wb");
    if (!f) {
        std::printf("file export: cannot create %s\n", k->path);
        return 0;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok) {
        std::printf("file export: cannot write %s\n", k->path);
        return 0;
    }
    // The rows on the console, as the operator sees them in the file.
    std::vector<std::string> lines = split_lines(text);
    for (size_t i = 1; i < lines.size(); ++i)
        if (lines[i].empty() || lines[i][0] != '#') std::printf("%s\n", lines[i].c_str());
    return 1;
}

int do_import(int kind)
{
    const KindDesc* k = kind_desc(kind);
    if (!k) return 0;
    int result = 0;
    std::string content;
    if (!read_file(k->path, content)) {
        std::printf("file import: cannot open %s\n", k->path);
        applog("設定ファイルオープンエラー:" + std::to_string(kind));
    } else {
        std::string why = check_import(kind, content);
        if (!why.empty()) {
            std::printf("%s\n", why.c_str());
            applog(why);
        } else {
            apply_import(kind, content);
            for (int c = 0; c < k->ncodes; ++c) db_save.push_n(k->codes[c], 999);
            result = 1;
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
            int32_t* f = FILE_UPDOWN::request_flag(flg, kind);
            if (*f == 4)
                *f = FILE_UPDOWN::do_export(kind);
            else if (*f == 3)
                *f = FILE_UPDOWN::do_import(kind);
        }
        sleep_while_running(50);
    }
    std::printf("end file thread\n");
    return nullptr;
}
