// Board lines of the two 1-Wire buses, all on GPIO chip 2: each bus has a
// power enable and a selector pair that connects either its temperature or
// its humidity branch to the adapter. The service drives them; the simulated
// board reads them to decide which probes the adapter can reach.
#pragma once

namespace OW_LINE {
constexpr int CHIP = 2;
constexpr int POWER[2] = {60, 86};         // driven 1 once, before the bus threads start
constexpr int TEMP_BRANCH[2] = {57, 71};   // 1 = temperature branch connected
constexpr int HUMID_BRANCH[2] = {58, 73};  // 1 = humidity branch connected
}  // namespace OW_LINE
