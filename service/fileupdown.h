// Settings files exchanged with the web UI: one CSV file per sensor kind,
// written on an export request and read back on an import request.
#pragma once

#include <cstdint>
#include <string>

#include "monitor_table.h"

namespace FILE_UPDOWN {

// Identification numbers written in the first line of each file.
enum Kind { KIND_DIO = 1, KIND_AI = 2, KIND_WIRE_T = 3, KIND_WIRE_H = 4, KIND_VLXA = 5, KIND_NX40 = 6 };
constexpr int KIND_COUNT = 6;

// Longest line the importer accepts, newline not counted.
constexpr size_t LINE_LIMIT = 511;
// Longest field kept from an imported row.
constexpr size_t FIELD_LIMIT = 127;

// Path of the kind's file as the service names it ("/tmp/dio_config.csv"),
// or nullptr for an unknown kind.
const char* file_path(int kind);
// The kind's request flag in the shared table.
int32_t* request_flag(MONITOR_TABLE::RequestFlg* flg, int kind);

// The whole export file of the kind built from the current configuration.
std::string export_text(int kind);

// Checks a whole import file against the kind's layout. Returns "" when it
// can be applied, otherwise the application-log line that says why not.
std::string check_import(int kind, const std::string& content);
// Copies the rows of a file that passed check_import into the configuration
// and marks every element changed.
void apply_import(int kind, const std::string& content);

// One export or import request handled against the kind's file; the value
// returned is the flag to hand back (1 done, 0 failed).
int do_export(int kind);
int do_import(int kind);

// Cuts text to fit `capacity` bytes with its NUL, never inside a UTF-8
// character.
std::string fit_text(const std::string& text, size_t capacity);

}  // namespace FILE_UPDOWN
