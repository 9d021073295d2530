// Helpers for tests that look at a configuration database from outside the
// service's own connection.
#pragma once

#include <sqlite3.h>

#include <cctype>
#include <stdexcept>
#include <string>
#include <vector>

namespace dbtest {

// A second, independent connection on a database file; it waits out the
// service's own commits.
class Conn {
public:
    explicit Conn(const std::string& path)
    {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
            throw std::runtime_error("sqlite3_open_v2 " + path + ": " + sqlite3_errmsg(db_));
        sqlite3_busy_timeout(db_, 5000);
    }
    ~Conn() { sqlite3_close(db_); }
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    void exec(const std::string& sql)
    {
        char* err = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
            std::string msg = err ? err : "?";
            sqlite3_free(err);
            throw std::runtime_error(sql + ": " + msg);
        }
    }

    // Rows of a query; NULL shows as "NULL", texts are quoted unless raw.
    std::vector<std::vector<std::string>> rows(const std::string& sql, bool raw = false)
    {
        std::vector<std::vector<std::string>> out;
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
            throw std::runtime_error(sql + ": " + sqlite3_errmsg(db_));
        while (sqlite3_step(st) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int c = 0; c < sqlite3_column_count(st); ++c) {
                const char* t = reinterpret_cast<const char*>(sqlite3_column_text(st, c));
                int type = sqlite3_column_type(st, c);
                if (type == SQLITE_NULL) row.push_back(raw ? "" : "NULL");
                else if (type == SQLITE_TEXT && !raw) row.push_back("'" + std::string(t) + "'");
                else row.push_back(t ? t : "");
            }
            out.push_back(row);
        }
        sqlite3_finalize(st);
        return out;
    }

    std::vector<std::string> column(const std::string& sql)
    {
        std::vector<std::string> out;
        for (auto& r : rows(sql)) out.push_back(r.empty() ? "" : r[0]);
        return out;
    }

    // The first cell of a query ("" without a row); texts quoted unless raw.
    std::string scalar(const std::string& sql, bool raw = false)
    {
        auto r = rows(sql, raw);
        return r.empty() || r[0].empty() ? "" : r[0][0];
    }

    std::vector<std::string> columns_of(const std::string& table)
    {
        std::vector<std::string> out;
        for (auto& c : rows("PRAGMA table_info(" + table + ")", true)) out.push_back(c[1]);
        return out;
    }

    // Every table with its column names and all rows by id: what the service
    // and the web UI can observe of the database.
    std::string dump()
    {
        std::string out;
        for (const auto& t : column("SELECT name FROM sqlite_master WHERE type='table' ORDER BY name")) {
            std::string name = t.substr(1, t.size() - 2);
            out += "table " + name + " (";
            for (auto& c : columns_of(name)) out += c + " ";
            out += ")\n";
            for (auto& r : rows("SELECT * FROM " + name + " ORDER BY id")) {
                for (auto& v : r) out += v + "|";
                out += "\n";
            }
        }
        return out;
    }

    // Gives every cell of the table but its id a value that no other cell of
    // any filling with another salt holds: negative and positive numbers,
    // texts with a quote in them, booleans 0 or non-zero (the column number
    // when any_true, else 1).
    void fill_distinct(const std::string& table, int table_no, int salt, bool any_true = false)
    {
        auto info = rows("PRAGMA table_info(" + table + ")", true);
        auto ids = column("SELECT id FROM " + table + " ORDER BY id");
        exec("BEGIN");
        for (size_t r = 0; r < ids.size(); ++r) {
            std::string sql = "UPDATE " + table + " SET ";
            for (size_t k = 1; k < info.size(); ++k) {
                std::string type = info[k][2];
                for (char& ch : type) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
                int n = salt * 100000000 + table_no * 1000000 + static_cast<int>(r) * 100 + static_cast<int>(k);
                std::string v = type == "bool"      ? ((r + k + salt) % 3 == 0 ? "0" : any_true ? std::to_string(k) : "1")
                                : type == "integer" ? std::to_string(k % 2 ? -n : n)
                                                    : "'" + std::to_string(n) + "''q'";
                sql += (k > 1 ? ", " : "") + info[k][1] + "=" + v;
            }
            exec(sql + " WHERE id=" + ids[r]);
        }
        exec("COMMIT");
    }

private:
    sqlite3* db_ = nullptr;
};

}  // namespace dbtest
