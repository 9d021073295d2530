// Faults at the seam, run against the real kvt7400sim: the database locked,
// damaged or the shell failing while settings are being saved, and SIGTERM
// at seeded points of start-up and of save batches. Every scenario ends in
// the same three checks: the service stopped on SIGTERM with exit 0 (no hang,
// no crash), every setting committed before the fault is in the database
// (after a restart where asked), and the status log still decodes.
#pragma once

#include <string>

namespace faults {

// The seed of every random point: KVT_FAULT_SEED when set, else a fresh one.
// Printed once per process, so that a failing run can be repeated.
unsigned seed();

struct Outcome {
    bool ok = true;
    std::string text;  // what happened, for the matrix
};

enum class Fault { sigterm, locked, corrupt, shell };
enum class Point {
    startup,               // while the service starts
    startup_then_release,  // (locked) start-up waits for the lock, then runs
    startup_sigterm,       // (locked) SIGTERM while start-up waits on the lock
    batch,                 // during a save batch
    batch_short,           // (locked) a lock shorter than the writer's retries
    batch_long,            // (locked) a lock longer than the writer's retries
    batch_sigterm,         // (locked) SIGTERM while the batch waits on the lock
    batch_header,          // (corrupt) the file header instead of a table page
};

struct Row {
    Fault fault;
    Point point;
    int draw;  // which seeded draw of the row's random point
};

const char* fault_name(Fault f);
const char* point_name(Point p);

// Runs one row in a fresh sandbox. `restart` starts the service once more
// afterwards and checks the settings and the status log again.
Outcome run(const Row& row, bool restart);

// A test name for the row, letters, digits and underscores only.
std::string row_name(const Row& row);

// One line of the fault matrix on standard output: "fault matrix| F | P | outcome".
void print_row(const Row& row, const Outcome& o);

}  // namespace faults
