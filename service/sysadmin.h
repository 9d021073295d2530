// The rules behind the system actions and the network thread, as text to
// text functions: what each system file becomes from its old content and
// the settings, and the command lines built from settings.
#pragma once

#include <string>

#include "settings_table.h"

namespace SYSADMIN {

// /etc/default/busybox-syslog with every OPTIONS line replaced.
std::string syslog_rewrite(const std::string& old_text, const SETTINGS_TABLE::Syslog& s);
// /etc/ntp.conf with the server lines replaced by the configured servers.
std::string ntp_rewrite(const std::string& old_text, const SETTINGS_TABLE::Time& t);
// The clock command for the stored date and time.
std::string date_command(const SETTINGS_TABLE::Time& t);
// "0x" and the four upper-case hex digits of the board revision register.
std::string revision_text(int reg);
// The version in the package list line ("kvt7400sys - 1.1.1-r0" gives 1.1.1).
std::string version_from_package_line(const std::string& line);
// The update time in the updater's line: its text before the first period.
std::string updatetime_from_line(const std::string& line);
// settings.py with its three session lines replaced by the session text.
std::string session_merge(const std::string& settings_py, const std::string& session);

// Prefix suffix ("/24") of a canonical dotted netmask, "" for anything else.
std::string netmask_suffix(const std::string& mask);
// The wired unit: everything up to "[Network]" kept, the address part new.
std::string network_unit(const std::string& old_unit, const SETTINGS_TABLE::Network& n);
// The resolver file: always three nameserver lines.
std::string resolv_text(const SETTINGS_TABLE::Network& n);

// Writes the network settings into the system files (host name, unit,
// resolver) and copies the resolver into place; false when a file could not
// be written (the rest is then left as it was).
bool network_apply();

}  // namespace SYSADMIN
