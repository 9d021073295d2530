// The simulated board's stand-in for system(): every command line is
// journaled, byte for byte, to <root>/sim/commands.log, and only the plain
// file commands the service depends on are carried out, inside the sandbox.
// The one program ever started is the system's python3, and only on a script
// that lies inside the sandbox (the stand-in mail script), without a shell.
#pragma once

#include <string>
#include <vector>

// Journals and emulates one command below root. Returns 0 when the command
// was emulated successfully or is one that is only journaled, 1 when an
// emulated file command failed; for a sandbox script run by python3 its
// wait status as system() returns it.
int sim_shell_run(const std::string& root, const std::string& cmd);

// Journals one command and fails it without carrying anything out (the
// board's shell fault); returns 1, as a failed emulated command does.
int sim_shell_fail(const std::string& root, const std::string& cmd);

// Splits a command line the way the shell would for the simple forms the
// service builds (quotes and backslashes honoured; operators as own words).
std::vector<std::string> sim_shell_words(const std::string& cmd);

// The journal, one command a line.
std::vector<std::string> sim_journal(const std::string& root);

// IPv4 address (host byte order) of interface `iface` in ifconfig output:
// the "inet addr:" (or "inet ") field of the interface's own block. False
// when the interface has no block or no IPv4 address in it.
bool ifconfig_inet_addr(const std::string& text, const std::string& iface, unsigned int& addr);
// The text after "HWaddr " on the first line of interface `iface`'s block.
bool ifconfig_hwaddr(const std::string& text, const std::string& iface, std::string& mac);
