// Helpers for tests that look at a configuration database from outside the
// service's own connection.
#pragma once

#include <sqlite3.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace dbtest {

inline int count_text(const std::string& hay, const std::string& needle)
{
    int n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + needle.size())) ++n;
    return n;
}

// A second, independent connection on a database file.
class Conn {
public:
    explicit Conn(const std::string& path)
    {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
            throw std::runtime_error("cannot open " + path);
        sqlite3_busy_timeout(db_, 5000);  // a running service may be committing
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

    // Rows of a query; NULL shows as "NULL", texts are quoted.
    std::vector<std::vector<std::string>> rows(const std::string& sql)
    {
        std::vector<std::vector<std::string>> out;
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
            throw std::runtime_error(sql + ": " + sqlite3_errmsg(db_));
        while (sqlite3_step(st) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int c = 0; c < sqlite3_column_count(st); ++c) {
                const char* t = reinterpret_cast<const char*>(sqlite3_column_text(st, c));
                switch (sqlite3_column_type(st, c)) {
                case SQLITE_NULL:
                    row.push_back("NULL");
                    break;
                case SQLITE_TEXT:
                    row.push_back("'" + std::string(t) + "'");
                    break;
                default:
                    row.push_back(t ? t : "");
                    break;
                }
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

    std::string scalar(const std::string& sql)
    {
        auto r = rows(sql);
        return r.empty() || r[0].empty() ? "" : r[0][0];
    }

    // Every table with its column names and all rows by id: what the service
    // and the web UI can observe of the database.
    std::string dump()
    {
        std::string out;
        for (const auto& t : column("SELECT name FROM sqlite_master WHERE type='table' ORDER BY name")) {
            std::string name = t.substr(1, t.size() - 2);
            out += "table " + name + " (";
            for (auto& c : rows("PRAGMA table_info(" + name + ")")) out += c[1] + " ";
            out += ")\n";
            for (auto& r : rows("SELECT * FROM " + name + " ORDER BY id")) {
                for (auto& v : r) out += v + "|";
                out += "\n";
            }
        }
        return out;
    }

private:
    sqlite3* db_ = nullptr;
};

}  // namespace dbtest
