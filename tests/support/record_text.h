// Small text helpers shared by the unit tests: a record's fields in one
// line, and the contents of a queue.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "settings_table.h"

// The values as "a|b|c" (booleans as 1 and 0, texts as they are), so that
// one comparison covers every field of a record and names the odd one out.
template <typename... T>
std::string fields(const T&... v)
{
    std::ostringstream o;
    int n = 0;
    ((o << (n++ ? "|" : "") << v), ...);
    return o.str();
}

// Everything a queue holds, oldest first; the queue is left empty.
inline std::vector<std::string> drain(TSQueue<std::string>& q)
{
    std::vector<std::string> out;
    while (!q.empty()) {
        out.push_back(q.front());
        q.pop();
    }
    return out;
}
