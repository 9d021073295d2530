// The fuzz targets' seed corpora, replayed through the same harnesses under
// the ordinary build: every seed is taken or refused as its name says
// ("refused-*" are refused), and the harnesses' own checks hold for each.
// The SNMP seeds are also cut and flipped byte by byte.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common.h"
#include "harness.h"
#include "recv_harness.h"
#include "sandbox.h"
#include "snmp.h"

namespace {

struct Seed {
    std::string path;
    std::vector<uint8_t> bytes;
    bool refused;
};

std::vector<Seed> corpus(const std::string& target)
{
    const std::string dir = std::string(KVT_FUZZ_CORPUS_DIR) + "/" + target;
    std::vector<Seed> seeds;
    DIR* d = opendir(dir.c_str());
    if (!d) return seeds;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        Seed s{dir + "/" + e->d_name, {}, std::string(e->d_name).rfind("refused-", 0) == 0};
        std::ifstream in(s.path, std::ios::binary);
        s.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        seeds.push_back(std::move(s));
    }
    closedir(d);
    std::sort(seeds.begin(), seeds.end(), [](const Seed& a, const Seed& b) { return a.path < b.path; });
    return seeds;
}

}  // namespace

TEST(FuzzCorpus, EverySnmpSeedIsAnsweredAndItsCutsAndFlipsAreRefusedSafely)
{
    TestSandbox sb(false);
    reset_run_flags();
    recv_harness_setup(sb.root());
    const std::vector<Seed> seeds = corpus("recv_message");
    ASSERT_GE(seeds.size(), 10u);
    for (const Seed& s : seeds) {
        const std::vector<uint8_t>& seed = s.bytes;
        EXPECT_EQ(recv_harness_feed(seed.data(), seed.size()) != 0, s.refused) << s.path;
        // Every cut of a seed is no longer a whole message.
        for (size_t n = 0; n < seed.size() && !s.refused; ++n)
            EXPECT_EQ(recv_harness_feed(seed.data(), n), 1) << s.path << " cut at " << n;
        // Every single-byte flip is answered or refused, never more.
        for (size_t i = 0; i < seed.size(); ++i)
            for (uint8_t x : {0x01, 0x80, 0xFF}) {
                std::vector<uint8_t> m = seed;
                m[i] ^= x;
                EXPECT_LE(recv_harness_feed(m.data(), m.size()), 4) << s.path << " byte " << i;
            }
    }
    stop_running();  // pulses started by mutated SETs end at once
    snmp_pulses_wait();
}

class FuzzCorpusReplay : public ::testing::TestWithParam<std::string> {};

TEST_P(FuzzCorpusReplay, EverySeedIsTakenOrRefusedAsItsNameSays)
{
    const FuzzHarness* h = fuzz_harness(GetParam());
    ASSERT_NE(h, nullptr);
    TestSandbox sb(h->needs_db);
    reset_run_flags();
    h->setup(sb.root());
    const std::vector<Seed> seeds = corpus(h->name);
    ASSERT_GE(seeds.size(), 4u) << "seeds of " << h->name;
    bool some_taken = false;
    for (const Seed& s : seeds) {
        ASSERT_LE(s.bytes.size(), h->max_len) << s.path;
        const int r = h->feed(s.bytes.data(), s.bytes.size());
        EXPECT_EQ(r, s.refused ? FUZZ_REFUSED : FUZZ_TAKEN) << s.path;
        some_taken = some_taken || r == FUZZ_TAKEN;
    }
    EXPECT_TRUE(some_taken) << h->name;
}

INSTANTIATE_TEST_SUITE_P(Decoders, FuzzCorpusReplay,
                         ::testing::Values("mqtt_request", "command_text", "settings_file", "mesh_report",
                                           "state_log", "system_files"),
                         [](const ::testing::TestParamInfo<std::string>& i) { return i.param; });
