// The whole fault matrix: every fault at every point, random points drawn
// from the printed seed, each row followed by a restart that must find
// everything committed before the fault.
#include <gtest/gtest.h>

#include "fault_scenarios.h"

namespace {

using faults::Fault;
using faults::Point;
using faults::Row;

class FaultMatrix : public ::testing::TestWithParam<Row> {};

TEST_P(FaultMatrix, ServiceStopsCleanlyKeepsCommittedSettingsAndAReadableStatusLog)
{
    faults::Outcome o = faults::run(GetParam(), true);
    faults::print_row(GetParam(), o);
    EXPECT_TRUE(o.ok) << o.text;
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, FaultMatrix,
    ::testing::Values(Row{Fault::sigterm, Point::startup, 0}, Row{Fault::sigterm, Point::startup, 1},
                      Row{Fault::sigterm, Point::startup, 2}, Row{Fault::sigterm, Point::batch, 0},
                      Row{Fault::sigterm, Point::batch, 1}, Row{Fault::sigterm, Point::batch, 2},
                      Row{Fault::locked, Point::startup_then_release, 0}, Row{Fault::locked, Point::startup_sigterm, 0},
                      Row{Fault::locked, Point::batch_short, 0}, Row{Fault::locked, Point::batch_long, 0},
                      Row{Fault::locked, Point::batch_sigterm, 0}, Row{Fault::corrupt, Point::startup, 0},
                      Row{Fault::corrupt, Point::batch, 0}, Row{Fault::corrupt, Point::batch_header, 0},
                      Row{Fault::shell, Point::startup, 0}, Row{Fault::shell, Point::batch, 0}),
                         [](const auto& info) { return faults::row_name(info.param); });

}  // namespace
