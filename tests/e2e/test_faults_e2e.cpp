// A few faults at the seam on every ordinary run, one of each kind; the
// whole matrix is the faults label (make faults).
#include <gtest/gtest.h>

#include "fault_scenarios.h"

namespace {

using faults::Fault;
using faults::Point;

class FaultsE2E : public ::testing::TestWithParam<faults::Row> {};

TEST_P(FaultsE2E, ServiceStopsCleanlyKeepsCommittedSettingsAndAReadableStatusLog)
{
    const faults::Row& row = GetParam();
    // SIGTERM amid saves is the one whose invariant needs the restart.
    faults::Outcome o = faults::run(row, row.fault == Fault::sigterm);
    faults::print_row(row, o);
    EXPECT_TRUE(o.ok) << o.text;
}

INSTANTIATE_TEST_SUITE_P(Subset, FaultsE2E,
                         ::testing::Values(faults::Row{Fault::sigterm, Point::batch, 0},
                                           faults::Row{Fault::locked, Point::startup_sigterm, 0},
                                           faults::Row{Fault::corrupt, Point::batch, 0},
                                           faults::Row{Fault::shell, Point::batch, 0}),
                         [](const auto& info) { return faults::row_name(info.param); });

}  // namespace
