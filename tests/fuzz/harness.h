// The decoders of outside input as fuzz harnesses: each family takes one
// input the way the service meets it (a request payload, a command text, a
// settings file, a report line, a status-log file, a system file), checks
// what must always hold afterwards and aborts when it does not. The fuzz
// targets and the corpus replay test share them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What a harness gives back for one input; anything that must never happen
// aborts instead.
constexpr int FUZZ_TAKEN = 0;    // applied or answered
constexpr int FUZZ_REFUSED = 1;  // refused whole, nothing changed

struct FuzzHarness {
    const char* name;  // also the corpus directory and the fuzz program (fuzz_<name>)
    // Prepares the sandbox at root (a fresh temporary one, removed at exit,
    // when empty): the tables, the board and whatever the decoder reads.
    void (*setup)(const std::string& root);
    // One input; the records and queues it may touch are put back first.
    int (*feed)(const uint8_t* data, size_t size);
    size_t max_len;  // longest input worth trying
    bool needs_db;   // the sandbox needs the factory database
};

// Every harness but the SNMP one, which keeps its own functions.
const std::vector<FuzzHarness>& fuzz_harnesses();
const FuzzHarness* fuzz_harness(const std::string& name);

// ---- Shared by the harnesses ------------------------------------------------

// The sandbox directory to use for root (see FuzzHarness::setup), with the
// service's paths pointed at it.
std::string fuzz_sandbox(const std::string& root, bool with_db);
// Maps the four shared tables of the current sandbox once.
void fuzz_map_tables();
// The sandbox with the factory database, its records loaded (then changed by
// adjust, when given) and snapshot for fuzz_restore_records.
void fuzz_setup_from_factory_db(const std::string& root, void (*adjust)() = nullptr, bool keep_db_open = false);
// Writes a file of the sandbox by its service path (no flush to the medium:
// inputs come by the thousand); false when it could not be written.
bool fuzz_put_file(const std::string& service_path, const std::string& text);
// A broken invariant: the message on stderr, then abort.
[[noreturn]] void fuzz_fail(const std::string& what);
// Every text of every configuration record still ends inside its array.
void fuzz_check_texts(const char* after);
// The configuration records as they were at setup, and the five queues empty.
void fuzz_snapshot_records();
void fuzz_restore_records();
