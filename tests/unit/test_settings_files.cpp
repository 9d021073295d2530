// Settings files of the six sensor kinds: export layout, export/import round
// trip and refusal of damaged files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>

#include "common.h"
#include "db_test_support.h"
#include "fileupdown.h"
#include "record_text.h"
#include "sandbox.h"
#include "settings_map.h"

using namespace SETTINGS_TABLE;
namespace FU = FILE_UPDOWN;
namespace SM = SETTINGS_MAP;

namespace {

const char BOM[] = "\xEF\xBB\xBF";

const char* const SENSOR_TABLES[] = {"webapp_di",         "webapp_do",   "webapp_ai",  "webapp_wire_temp",
                                     "webapp_wire_humid", "webapp_vlxa", "webapp_nx40"};

// Distinct values in every sensor setting, loaded from the sandbox's database
// as the service loads them (negative numbers, texts with a quote), and a
// field that no file carries.
void fill_settings(const TestSandbox& sb)
{
    {
        dbtest::Conn c(sb.path("/opt/KVT7400/db.sqlite3"));
        int t = 0;
        for (const char* table : SENSOR_TABLES) c.fill_distinct(table, t++, 1);
    }
    testing::internal::CaptureStdout();
    ASSERT_EQ(open_db(), 0);
    init_structs();
    close_db();
    testing::internal::GetCapturedStdout();
    for (int i = 0; i < VLXA_NUM; ++i) sensor_settings.veloxa[i].h_enable = i % 3 == 0;
}

// A file row as the database holds it: the entry number, then the columns.
std::string db_row(const TestSandbox& sb, const std::string& table, int id, const std::string& columns)
{
    auto cells = dbtest::Conn(sb.path("/opt/KVT7400/db.sqlite3"))
                     .rows("SELECT " + columns + " FROM " + table + " WHERE id=" + std::to_string(id), true);
    std::string row = std::to_string(id);
    for (const auto& v : cells.at(0)) row += "," + v;
    return row;
}

struct KindCase {
    int kind;
    const char* path;
    int lines;                  // all lines of the exported file
    int fields;                 // fields of a data row
    std::vector<std::string> codes;  // db_save messages of an import
    std::vector<const char*> tables;  // the sections the file carries
};

const std::vector<KindCase> KIND_CASES = {
    {FU::KIND_DIO, "/tmp/dio_config.csv", 19, 8, {"1,999,", "2,999,"}, {"webapp_di", "webapp_do"}},
    {FU::KIND_AI, "/tmp/ai_config.csv", 10, 20, {"10,999,"}, {"webapp_ai"}},
    {FU::KIND_WIRE_T, "/tmp/1WireT_config.csv", 130, 14, {"15,999,"}, {"webapp_wire_temp"}},
    {FU::KIND_WIRE_H, "/tmp/1WireH_config.csv", 18, 14, {"16,999,"}, {"webapp_wire_humid"}},
    {FU::KIND_VLXA, "/tmp/VLXA_config.csv", 52, 26, {"20,999,"}, {"webapp_vlxa"}},
    {FU::KIND_NX40, "/tmp/MeshT_config.csv", 102, 14, {"25,999,"}, {"webapp_nx40"}},
};

std::string join(const std::vector<std::string>& lines)
{
    std::string s;
    for (const auto& l : lines) s += l + "\n";
    return s;
}

// The settings as they were, for comparing after a refused or repeated import.
std::unique_ptr<Sensor_settings> snapshot()
{
    auto s = std::make_unique<Sensor_settings>();
    std::memcpy(s.get(), &sensor_settings, sizeof *s);
    return s;
}

bool unchanged_since(const Sensor_settings& before) { return std::memcmp(&before, &sensor_settings, sizeof before) == 0; }

// Calls f with each element of the kind's sections in the given settings.
void each_element(const KindCase& c, Sensor_settings* ss, const std::function<void(const SM::Section&, char*)>& f)
{
    for (const char* table : c.tables) {
        const SM::Section& s = *SM::section_of_table(table);
        for (int e = 0; e < s.entries; ++e) f(s, SM::element(s, {ss, &admin_settings}, e));
    }
}

}  // namespace

TEST(SettingsFileTest, ExportEveryKindHasMarkIdentificationHeadersAndOneRowPerElement)
{
    for (const KindCase& c : KIND_CASES) {
        SCOPED_TRACE(c.path);
        TestSandbox sb;
        fill_settings(sb);
        copy_text(admin_settings.snmp_user[0].snmp_user_auth_pass, "Auth-Phrase-9");
        copy_text(admin_settings.snmp_user[7].snmp_user_priv_pass, "Priv-Phrase-9");
        ASSERT_EQ(FU::do_export(c.kind), 1);
        std::string text = sb.read(c.path);
        ASSERT_EQ(text.compare(0, 3, BOM), 0);
        EXPECT_EQ(text.find("Phrase-9"), std::string::npos) << "an SNMPv3 passphrase in the export";
        std::vector<std::string> lines = lines_of(text.substr(3));
        ASSERT_EQ(static_cast<int>(lines.size()), c.lines);
        EXPECT_EQ(lines[0], "識別番号," + std::to_string(c.kind) + ",");
        EXPECT_EQ(lines[1].rfind("#ID,名称,状態表示,", 0), 0u);
        EXPECT_EQ(text.back(), '\n');
        int row = 0;
        for (size_t i = 2; i < lines.size(); ++i) {
            if (c.kind == FU::KIND_DIO && i == 10) {
                EXPECT_EQ(lines[i].rfind("#ID,名称,状態表示,ON表示,OFF表示,起動時", 0), 0u);
                row = 0;
                continue;
            }
            ++row;
            EXPECT_EQ(lines[i].substr(0, lines[i].find(',')), std::to_string(row)) << lines[i];
            // Digital inputs carry 8 fields, outputs 16.
            int want = c.kind == FU::KIND_DIO && i > 10 ? 16 : c.fields;
            EXPECT_EQ(count_of(lines[i], ",") + 1, want) << lines[i];
        }
    }
}

TEST(SettingsFileTest, ExportRowsCarryTheFieldsInFileOrder)
{
    TestSandbox sb;
    fill_settings(sb);
    ASSERT_EQ(FU::do_export(FU::KIND_DIO), 1);
    std::vector<std::string> lines = lines_of(sb.read("/tmp/dio_config.csv"));
    EXPECT_EQ(lines[1], "#ID,名称,状態表示,検出時間,ON表示,OFF表示,エラー設定,検出フィルター設定");
    EXPECT_EQ(lines[3], db_row(sb, "webapp_di", 2, "name, enable, time, ontext, offtext, errortext_id, trend_id"));
    EXPECT_EQ(lines[11], db_row(sb, "webapp_do", 1,
                                "name, enable, ontext, offtext, doinit, dokeep, errortext_id, ontype, onsensor, "
                                "onstate, onenable, offtype, offsensor, offstate, offenable"));
    const std::string levels = "alert_max_val, alert_max_clear, caution_max_val, caution_max_clear, caution_min_val, "
                               "caution_min_clear, alert_min_val, alert_min_clear";
    auto side = [&](const std::string& p) {
        std::string out = p + levels;
        for (size_t at = out.find(", "); at != std::string::npos; at = out.find(", ", at + 2)) out.insert(at + 2, p);
        return out;
    };
    ASSERT_EQ(FU::do_export(FU::KIND_VLXA), 1);
    EXPECT_EQ(lines_of(sb.read("/tmp/VLXA_config.csv"))[3],
              db_row(sb, "webapp_vlxa", 2, "name, enable, device_ID, t_name, " + side("t_") + ", t_trend_id, t_log, h_name, " +
                                               side("h_") + ", h_trend_id, h_log"));
    ASSERT_EQ(FU::do_export(FU::KIND_NX40), 1);
    EXPECT_EQ(lines_of(sb.read("/tmp/MeshT_config.csv"))[101],
              db_row(sb, "webapp_nx40", 100, "name, enable, device_ID, " + levels + ", trend_id, log"));
}

TEST(SettingsFileTest, ExportThenImportLeavesEverySettingAndQueuesTheSaveCodes)
{
    for (const KindCase& c : KIND_CASES) {
        SCOPED_TRACE(c.path);
        TestSandbox sb;
        fill_settings(sb);
        db_save.clear();
        auto before = snapshot();
        ASSERT_EQ(FU::do_export(c.kind), 1);
        // Every value the file carries changed, so the import has to bring each back.
        each_element(c, &sensor_settings, [](const SM::Section& s, char* elem) {
            for (int k = 0; k < s.record->count; ++k) {
                const SM::Field& f = s.record->fields[k];
                if (f.file == SM::NONE) continue;
                if (f.type == SM::Type::Text) SM::set_text(elem, f, "?");
                else SM::set_int(elem, f, f.type == SM::Type::Bool ? !SM::get_int(elem, f) : 7);
            }
        });
        ASSERT_EQ(FU::do_import(c.kind), 1);
        each_element(c, before.get(), [](const SM::Section& s, char* elem) { SM::mark_changed(s, elem, true); });
        EXPECT_TRUE(unchanged_since(*before));
        EXPECT_EQ(drain(db_save), c.codes);
        EXPECT_FALSE(sb.exists(c.path));
    }
}

TEST(SettingsFileTest, ImportValuesAreConvertedAsTheWebUiWritesThem)
{
    TestSandbox sb;
    fill_settings(sb);
    std::string text = FU::export_text(FU::KIND_AI);
    std::vector<std::string> lines = lines_of(text);
    // enable 2, a number that is not one, a name too long for its field that
    // ends in a multi-byte character, Windows line ends.
    lines[2] = "1,あいうえおかきくけこさ,2,abc,400,10000,0,1,2,3,4,5,6,7,8,30,mA,1,0,3";
    lines[3] = "9,second,0,-2147483648,99999999999,7,7,7,7,7,7,7,7,7,7,7,V,2,7,1,";  // trailing comma
    std::string crlf;
    for (const auto& l : lines) crlf += l + "\r\n";
    sb.write("/tmp/ai_config.csv", crlf);
    db_save.clear();
    ASSERT_EQ(FU::do_import(FU::KIND_AI), 1);
    // 30 bytes of name: the 11th character does not fit whole.
    const Analog& a0 = sensor_settings.analog[0];
    EXPECT_EQ(fields(a0.enable, a0.input_max, a0.name, a0.range), "1|0|あいうえおかきくけこ|3");
    const Analog& a1 = sensor_settings.analog[1];  // rows apply in file order, whatever their number
    EXPECT_EQ(fields(a1.name, a1.enable, a1.input_max, a1.input_min, a1.log, a1.unit),
              "second|0|-2147483648|2147483647|1|V");
}

TEST(SettingsFileTest, ImportDamagedFilesAreRefusedWholeWithAReason)
{
    using Lines = std::vector<std::string>;
    struct Case {
        const char* what;
        int offered_as;
        const char* path;
        std::function<void(Lines&)> damage;
        const char* logged;
    };
    const std::vector<Case> cases = {
        {"NX40 file offered as 1-Wire temperature", FU::KIND_WIRE_T, "/tmp/1WireT_config.csv",
         [](Lines& l) { l = lines_of(FU::export_text(FU::KIND_NX40)); }, "設定ファイル識別番号エラー:36"},
        {"identification missing", FU::KIND_AI, "/tmp/ai_config.csv", [](Lines& l) { l[0] = std::string(BOM) + "識別番号"; },
         "設定ファイル識別番号エラー:2\n"},
        {"empty file", FU::KIND_AI, "/tmp/ai_config.csv", [](Lines& l) { l.clear(); }, "設定ファイル識別番号エラー:2\n"},
        {"last row missing", FU::KIND_VLXA, "/tmp/VLXA_config.csv", [](Lines& l) { l.pop_back(); },
         "設定ファイル行数エラー:5"},
        {"output header missing", FU::KIND_DIO, "/tmp/dio_config.csv", [](Lines& l) { l.erase(l.begin() + 10); },
         "設定ファイル行数エラー:1"},
        {"row of 512 bytes", FU::KIND_WIRE_H, "/tmp/1WireH_config.csv",
         [](Lines& l) { l[17].insert(l[17].find(',') + 1, 512 - l[17].size(), 'n'); }, "設定ファイル行長エラー:4 18行目"},
        {"row short of its last field", FU::KIND_VLXA, "/tmp/VLXA_config.csv",
         [](Lines& l) { l[30].resize(l[30].rfind(',')); }, "設定ファイル項目数エラー:5 31行目"},
        {"comma typed into a name", FU::KIND_NX40, "/tmp/MeshT_config.csv",
         [](Lines& l) { l[5].insert(l[5].find(',') + 2, ", rack 3"); }, "設定ファイル項目数エラー:6 6行目"},
        {"output row short", FU::KIND_DIO, "/tmp/dio_config.csv",
         [](Lines& l) { l[18] = "8,リレー8,1,ON,OFF,1,1,2,3,2,5,1,8,100,1"; }, "設定ファイル項目数エラー:1 19行目"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestSandbox sb;
        fill_settings(sb);
        db_save.clear();
        Lines own = lines_of(FU::export_text(c.offered_as));
        // Change a value in every row so that a partial import would show.
        for (auto& line : own)
            if (!line.empty() && line[0] >= '1' && line[0] <= '9') line.insert(line.find(',') + 1, "Z");
        c.damage(own);
        sb.write(c.path, join(own));
        auto before = snapshot();
        EXPECT_EQ(FU::do_import(c.offered_as), 0);
        EXPECT_TRUE(unchanged_since(*before));
        EXPECT_TRUE(db_save.empty());
        EXPECT_NE(sb.applog().find(c.logged), std::string::npos) << sb.applog();
        EXPECT_FALSE(sb.exists(c.path));
    }
}

TEST(SettingsFileTest, ImportLineOfExactly511BytesIsAccepted)
{
    TestSandbox sb;
    fill_settings(sb);
    std::vector<std::string> l = lines_of(FU::export_text(FU::KIND_WIRE_H));
    l[17].insert(l[17].find(',') + 1, 511 - l[17].size(), 'n');
    sb.write("/tmp/1WireH_config.csv", join(l));
    db_save.clear();
    EXPECT_EQ(FU::do_import(FU::KIND_WIRE_H), 1);
    EXPECT_EQ(std::string(sensor_settings.onewire_humidity[15].name), std::string(31, 'n'));
}

TEST(SettingsFileTest, ImportMissingFileFailsAndReportsTheFailedDeletion)
{
    TestSandbox sb;
    fill_settings(sb);
    db_save.clear();
    auto before = snapshot();
    testing::internal::CaptureStdout();
    EXPECT_EQ(FU::do_import(FU::KIND_NX40), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("ファイルの削除に失敗"), std::string::npos) << out;
    EXPECT_TRUE(unchanged_since(*before));
    EXPECT_TRUE(db_save.empty());
}
