// The simulated service end to end: versions and factory resets at start-up,
// the settings-file handshake through kvtctl's file commands.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <csignal>
#include <cstdint>

#include "../../tools/kvtctl_files.h"
#include "process.h"
#include "sandbox.h"

namespace {

// Rows of a query as "a|b" texts, read with a connection of our own.
std::vector<std::string> query(const std::string& db_path, const std::string& sql)
{
    std::vector<std::string> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "sqlite3_open_v2 " << db_path;
        sqlite3_close(db);
        return rows;
    }
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "sqlite3_prepare_v2 " << sql << ": " << sqlite3_errmsg(db);
    } else {
        while (sqlite3_step(st) == SQLITE_ROW) {
            std::string row;
            for (int c = 0; c < sqlite3_column_count(st); ++c) {
                const unsigned char* t = sqlite3_column_text(st, c);
                row += (c ? "|" : "") + std::string(t ? reinterpret_cast<const char*>(t) : "");
            }
            rows.push_back(row);
        }
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

int32_t ini_account(const std::string& root)
{
    std::ifstream in(root + "/tmp/mmapfile_flg", std::ios::binary);
    MONITOR_TABLE::RequestFlg f{};
    in.read(reinterpret_cast<char*>(&f), sizeof f);
    return f.ini_account;
}

}  // namespace

TEST(SysEndToEnd, StartupResetsVersionsAndTheFileHandshake)
{
    TestSandbox sb;
    const std::string db = sb.path("/opt/KVT7400/db.sqlite3");
    const std::vector<std::string> factory_users = query(db, "SELECT id, username FROM webapp_user ORDER BY id");
    ASSERT_FALSE(factory_users.empty());
    query(db, "INSERT INTO webapp_user (id, username) VALUES (77, 'operator')");
    ASSERT_EQ(query(db, "SELECT count(*) FROM webapp_user"), std::vector<std::string>{std::to_string(factory_users.size() + 1)});
    // Account reset and full reset both switched on.
    sb.set_gpio(2, 49, 0);
    sb.set_gpio(2, 51, 0);

    SimProcess p(sb.root());
    ASSERT_TRUE(p.wait_started(20000)) << p.console();

    std::string applog = sb.read("/log/app_log/applog1.txt");
    EXPECT_NE(applog.find("> Application Start 1.1.1\n"), std::string::npos) << applog;
    EXPECT_EQ(sb.read("/tmp/version.txt"), "0x0102\n");
    size_t account = applog.find("> アカウント設定初期化\n");
    size_t full = applog.find("> 全設定初期化\n");
    ASSERT_NE(account, std::string::npos) << applog;
    ASSERT_NE(full, std::string::npos) << applog;
    EXPECT_LT(account, full);
    EXPECT_EQ(query(db, "SELECT id, username FROM webapp_user ORDER BY id"), factory_users);
    EXPECT_EQ(ini_account(sb.root()), 1);

    // Export, edit one name, import: the service takes it and deletes the file.
    const std::string csv = sb.root() + "/wire-humid.csv";
    ASSERT_EQ(kvtctl_file_command(sb.root(), {"export-settings", "wire-humid", csv}), 0) << p.console();
    std::string text = sb.read("/wire-humid.csv");
    ASSERT_EQ(text.compare(0, 3, "\xEF\xBB\xBF"), 0);
    size_t row3 = text.find("\n3,");
    ASSERT_NE(row3, std::string::npos) << text;
    text.insert(row3 + 3, "edited");
    sb.write("/wire-humid.csv", text);
    ASSERT_EQ(kvtctl_file_command(sb.root(), {"import-settings", "wire-humid", csv}), 0) << p.console();
    EXPECT_FALSE(sb.exists("/tmp/1WireH_config.csv"));
    ASSERT_EQ(kvtctl_file_command(sb.root(), {"export-settings", "wire-humid", csv}), 0);
    EXPECT_NE(sb.read("/wire-humid.csv").find("\n3,edited"), std::string::npos);

    // A file of another kind is refused with the reason in the application log.
    ASSERT_EQ(kvtctl_file_command(sb.root(), {"import-settings", "vlxa", csv}), 1);
    EXPECT_TRUE(wait_until([&] { return sb.read("/log/app_log/applog1.txt").find("設定ファイル識別番号エラー:54") != std::string::npos; }, 2000));
    EXPECT_FALSE(sb.exists("/tmp/VLXA_config.csv"));

    p.signal(SIGTERM);
    EXPECT_EQ(p.wait_exit(10000), 0);
    EXPECT_TRUE(p.wait_console("end file thread", 1000));
}
