// Changes a test sandbox's configuration database before the service
// starts, as the web UI would have left it.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "sandbox.h"

inline void sandbox_sql(const TestSandbox& sb, const std::string& sql)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(sb.path("/opt/KVT7400/db.sqlite3").c_str(), &db), SQLITE_OK);
    char* err = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
    const std::string msg = err ? err : "";
    sqlite3_free(err);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << sql << ": " << msg;
}
