// libFuzzer target: arbitrary datagrams through the agent's request
// handling (make fuzz FUZZ_SECONDS=N).
#include "recv_harness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    recv_harness_setup("");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    recv_harness_feed(data, size);
    return 0;
}
