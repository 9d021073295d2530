// Path resolution shared by both backends: one root in front of every
// absolute path the service names.
#include "platform.h"

namespace {
std::string g_root;  // empty on the appliance
}

const std::string& sandbox_root() { return g_root; }

void set_sandbox_root(const std::string& root)
{
    g_root = root;
    while (g_root.size() > 1 && g_root.back() == '/') g_root.pop_back();
    if (g_root == "/") g_root.clear();
}

std::string kvt_path(const char* path)
{
    if (!path) return g_root;
    if (path[0] != '/' || g_root.empty()) return path;
    return g_root + path;
}
