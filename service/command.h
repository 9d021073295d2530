// The command channel and the settings writer, split into pure rules (field
// splitting, each command's effect on the records, the UPDATE text of each
// section, the log-storage estimate) and the two thin threads that drive them.
#pragma once

#include <string>
#include <vector>

#include "monitor_table.h"
#include "settings_map.h"
#include "settings_table.h"

// ---- Command texts ----------------------------------------------------------

constexpr size_t MSG_TEXT_MAX = 2048;  // bytes of command text in one queue message
constexpr size_t CMD_MAX_FIELDS = 1000;
constexpr size_t CMD_FIELD_MAX = 2047;

// Splits a command text of `len` bytes (stopping at a NUL): every "," ends a
// field, text after the last "," is one more field. At most CMD_MAX_FIELDS
// fields of at most CMD_FIELD_MAX characters each; the rest is dropped.
std::vector<std::string> split_fields(const char* text, size_t len);

// The console echo of a command: each comma-terminated field followed by
// ", "; the passphrases of an SNMPv3 user (command 62) as "***".
std::string fields_echo(const char* text, size_t len);

// Applies a settings command (1, 2, 10, 15, 16, 18, 20, 21, 24, 25, 26, 28,
// 29, 30, 32-43, 55, 58) to the records and queues its db_save messages.
// Returns false when field 0 is not one of them. A refused record (number
// outside its array, or none of its fields present) is reported on the
// console and left untouched; `refusals` counts them for the caller.
bool apply_settings_command(const std::vector<std::string>& f, int* refusals = nullptr);

// Runs one command of any kind: settings commands through
// apply_settings_command, the operator actions (relays, status log, session
// policy, system actions, simulation) directly.
void dispatch_command(const std::vector<std::string>& f);

// At the stop, once every thread has ended: takes what is left in the
// command queue and applies the settings commands among it (their db_save
// messages wait for the final batch). Actions (relays, restart, update,
// power, simulation...) are dropped. Returns the number applied.
int apply_queued_settings();

// Command 17's wait for both 1-Wire buses to finish a device search, in
// milliseconds. True when both reported; on time-out the wait is logged and
// onewire_id_flg cleared all the same.
constexpr int ONEWIRE_SEARCH_WAIT_MS = 60000;
bool wait_onewire_search(int timeout_ms);

// Field helpers with the channel's conversions: base-10, malformed -> 0,
// clamped to int; a missing field is empty.
int field_num(const std::vector<std::string>& f, size_t k);
const std::string& field_text(const std::vector<std::string>& f, size_t k);

// A value as one argument of a shell command line: single quotes, with every
// ' written as '\''.
std::string shell_quote(const std::string& v);

// Hundredths of a decimal text ("3.35" -> 335), cut toward zero.
int hundredths(const std::string& text);

// The three session lines of the web UI's settings file, or "" unless both
// flags are True or False and the age is digits: anything else would be
// Python the web UI runs.
std::string session_block(const std::string& expire, const std::string& age,
                          const std::string& save_every);
// The web UI's settings file text with its session lines replaced by block.
std::string merge_session_block(const std::string& settings_py, const std::string& block);

// The simulation file contents for the current names and live values.
std::string debug_file_text(const SETTINGS_TABLE::Sensor_settings& s,
                            const MONITOR_TABLE::Sensor_condition& c,
                            const MONITOR_TABLE::RequestFlg& flg);
// Reads a simulation file text back into the simulation arrays; returns the
// number of lines taken.
int parse_debug_text(const std::string& text, int* di, float* ai, float* temp, float* humid);

// ---- Settings writer --------------------------------------------------------

// Number of entries of a db_save kind (0 for kinds the writer does not know).
int kind_entries(int kind);

// The UPDATE statement that saves entry `i` of `kind` from the records,
// values bound in order (none for an unknown kind or an entry outside the
// section).
std::vector<SETTINGS_MAP::Statement> update_statements(int kind, int i, SETTINGS_TABLE::Sensor_settings& s,
                                                       SETTINGS_TABLE::Admin_settings& a, int sm_err_time);

// Parses a db_save message "kind,index,"; false when it is not two numbers.
bool parse_save_message(const std::string& m, int* kind, int* index);

// Handles one db_save message inside the current transaction: its
// statements, changeflg, the follow-ups. Returns false when a statement
// failed.
bool save_message(int kind, int index);

// One batch: begin, every queued message, commit or rollback and reload.
// Returns the number of messages handled (0 when the queue was empty).
int dbsave_batch();

// Forgets the writer's copy of channel names and log flags, as at start.
void dbsave_reset_copies();

// Batches (transactions) run since start, for the figures.
long dbsave_batch_count();

// Log-storage estimate: the total in the sensor logs' storage unit and the
// retention value derived from it; `lines` are the console lines.
struct LogStorageEstimate {
    float total = 0;
    int retention = 0;
    std::vector<std::string> lines;
};
LogStorageEstimate estimate_log_storage(const SETTINGS_TABLE::Sensor_settings& s,
                                        const SETTINGS_TABLE::Admin_settings& a);

// The queue key file of the command channel.
std::string msgq_key_path();
