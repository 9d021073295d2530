// The fuzz target's seed corpus, replayed through the request handling: real
// requests of the net-snmp tools are all answered, inputs the fuzzer found
// ("refused-*") are refused, and mutations of them never break a buffer.
#include <dirent.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common.h"
#include "recv_harness.h"
#include "sandbox.h"
#include "snmp.h"

TEST(SnmpCorpus, EverySeedIsAnsweredAndItsCutsAndFlipsAreRefusedSafely)
{
    TestSandbox sb(false);
    reset_run_flags();
    recv_harness_setup(sb.root());
    std::vector<std::string> files;
    DIR* d = opendir(KVT_FUZZ_CORPUS_DIR);
    ASSERT_NE(d, nullptr) << KVT_FUZZ_CORPUS_DIR;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') files.push_back(std::string(KVT_FUZZ_CORPUS_DIR) + "/" + e->d_name);
    closedir(d);
    ASSERT_GE(files.size(), 10u);
    for (const auto& f : files) {
        std::ifstream in(f, std::ios::binary);
        std::vector<uint8_t> seed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const bool refused = f.find("/refused-") != std::string::npos;
        EXPECT_EQ(recv_harness_feed(seed.data(), seed.size()) != 0, refused) << f;
        // Every cut of a seed is no longer a whole message.
        for (size_t n = 0; n < seed.size() && !refused; ++n)
            EXPECT_EQ(recv_harness_feed(seed.data(), n), 1) << f << " cut at " << n;
        // Every single-byte flip is answered or refused, never more.
        for (size_t i = 0; i < seed.size(); ++i)
            for (uint8_t x : {0x01, 0x80, 0xFF}) {
                std::vector<uint8_t> m = seed;
                m[i] ^= x;
                EXPECT_LE(recv_harness_feed(m.data(), m.size()), 4) << f << " byte " << i;
            }
    }
    control = 0;  // pulses started by mutated SETs end at once
    snmp_pulses_wait();
}
