// libFuzzer entry of one decoder family, chosen when it is built
// (KVT_FUZZ_HARNESS, the harness's name): make fuzz FUZZ_SECONDS=N.
#include <cstdio>
#include <cstdlib>

#include "harness.h"

namespace {
const FuzzHarness* harness = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    harness = fuzz_harness(KVT_FUZZ_HARNESS);
    if (!harness) {
        std::fprintf(stderr, "no fuzz harness named %s\n", KVT_FUZZ_HARNESS);
        std::abort();
    }
    harness->setup("");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size <= harness->max_len) harness->feed(data, size);
    return 0;
}
