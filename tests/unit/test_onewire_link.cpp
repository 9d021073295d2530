// The 1-Wire link layer against the emulated DS2480B adapter and devices on
// a pseudo-terminal, and its pure parts: CRCs, scratchpad and A/D decoding,
// the error stack.
#include <set>

#include "test_onewire_support.h"

using OneWireLink = OneWireTest;

TEST_F(OneWireLink, DetectionNeedsAnAnsweringAdapterAndResetReportsPresence)
{
    bus(0).unplugged = 1;
    EXPECT_EQ(owAcquireEx(port_path(0).c_str()), -1);
    EXPECT_TRUE(raised(OWERR::NO_ADAPTER));
    EXPECT_NE(sb.read("/sim/syslog.log").find("DS2480Detect caution " + port_path(0) + "."), std::string::npos);
    EXPECT_EQ(owAcquireEx(sb.path("/dev/ttyS9").c_str()), -1) << "no such port";
    EXPECT_TRUE(raised(OWERR::OPEN_FAILED));

    bus(0).unplugged = 0;
    const int port = owAcquireEx(port_path(0).c_str());
    ASSERT_GE(port, 0);
    EXPECT_EQ(owTouchReset(port), 0) << "no device on the bus";
    EXPECT_TRUE(raised(OWERR::RESET_FAILED));
    add(simow::DS18B20, 1, 2500);
    EXPECT_EQ(owTouchReset(port), 1);
    EXPECT_EQ(owPortInfo(port).UVersion, 0x0C);
    EXPECT_EQ(owPortInfo(port).UBaud, PARMSET_9600);
    // Ports are handed out first-free; a second open of the other bus takes the next.
    const int other = owAcquireEx(port_path(1).c_str());
    EXPECT_EQ(other, port + 1);
}

TEST_F(OneWireLink, SearchReturnsEveryDeviceOnceThenZeroThenStartsAgain)
{
    // Serials that share their first bits, so the search has to branch.
    std::set<Rom> added = {add(simow::DS18B20, 0x000001, 2500), add(simow::DS18B20, 0x000003, 2500),
                           add(simow::DS18S20, 0x000001, 2500)};
    const int port = owAcquireEx(port_path(0).c_str());
    ASSERT_GE(port, 0);
    std::set<Rom> found;
    int calls = 0;
    for (int more = owFirst(port, 1, 0); more && calls < 10; more = owNext(port, 1, 0), ++calls) {
        Rom r;
        owSerialNum(port, r.b, 1);
        EXPECT_EQ(ow_crc8(r.b, 8), 0);
        EXPECT_TRUE(found.insert(r).second) << "found twice: " << r.id();
    }
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(found, added);
    // After the end the next call starts a new search.
    ASSERT_EQ(owNext(port, 1, 0), 1);
    Rom first;
    owSerialNum(port, first.b, 1);
    EXPECT_TRUE(added.count(first));
}

TEST_F(OneWireLink, SearchRejectsAFamilyZeroRomAndFindsNothingOnAnEmptyBranch)
{
    const int port = owAcquireEx(port_path(0).c_str());
    ASSERT_GE(port, 0);
    EXPECT_EQ(owFirst(port, 1, 0), 0);
    EXPECT_TRUE(raised(OWERR::NO_DEVICES));

    Rom zero{};  // family 0 with a valid CRC over all 8 bytes
    zero.b[1] = 0x42;
    zero.b[7] = simow::crc8(zero.b, 7);
    ASSERT_GE(simow::add_probe(st.st, 0, simow::DS18B20, zero.b, 2500), 0);
    EXPECT_EQ(owFirst(port, 1, 0), 0);
    EXPECT_TRUE(raised(OWERR::SEARCH_ERROR));
    EXPECT_EQ(owPortInfo(port).LastDiscrepancy, 0) << "search state cleared";
}

TEST_F(OneWireLink, BlockDoublesE3OnTheWireReadsItBackOnceAndRefusesMoreThan160Bytes)
{
    add(simow::DS18B20, 7, 2500);
    const int port = owAcquireEx(port_path(0).c_str());
    ASSERT_GE(port, 0);
    ASSERT_EQ(owTouchReset(port), 1);  // command mode now
    uint8_t buf[4] = {0xE3, 0x12, 0xE3, 0xFF};
    const uint32_t before = bus(0).bytes_in;
    ASSERT_EQ(owBlock(port, 0, buf, 4), 1);
    EXPECT_EQ(bus(0).bytes_in - before, 1u + 6u) << "data-mode switch, then E3 E3 12 E3 E3 FF";
    const uint8_t back[4] = {0xE3, 0x12, 0xE3, 0xFF};
    EXPECT_EQ(std::memcmp(buf, back, 4), 0) << "nobody drives the line: every byte reads back as written";

    uint8_t big[OW_BLOCK_MAX + 1];
    std::memset(big, 0x55, sizeof big);
    const uint32_t in_before = bus(0).bytes_in;
    EXPECT_EQ(owBlock(port, 1, big, OW_BLOCK_MAX + 1), 0);
    EXPECT_EQ(errors(), std::vector<int>{OWERR::BLOCK_TOO_LARGE});
    EXPECT_EQ(bus(0).bytes_in, in_before) << "nothing sent";
    uint8_t full[OW_BLOCK_MAX];
    std::memset(full, 0x55, sizeof full);
    EXPECT_EQ(owBlock(port, 1, full, OW_BLOCK_MAX), 1);
}

TEST_F(OneWireLink, ScratchpadTemperatures)
{
    struct Case {
        uint8_t sp[9];
        int ok;
        float t;
    } cases[] = {
        // DS18S20 (byte 4 above 127): half degrees, count remaining, counts per degree.
        {{0x32, 0x00, 0x4B, 0x46, 0xFF, 0xFF, 0x0C, 0x10, 0}, 1, 25.0f},
        {{0xCE, 0xFF, 0x4B, 0x46, 0xFF, 0xFF, 0x0C, 0x10, 0}, 1, -25.0f},
        {{0x33, 0x00, 0x4B, 0x46, 0xFF, 0xFF, 0x02, 0x10, 0}, 1, 25.625f},
        {{0x32, 0x00, 0x4B, 0x46, 0xFF, 0xFF, 0x0C, 0x00, 0}, 0, 0.0f},  // no counts per degree
        // DS18B20: signed 1/16 degree; lower resolutions leave low bits undefined.
        {{0x91, 0x01, 0x4B, 0x46, 0x7F, 0xFF, 0x0F, 0x10, 0}, 1, 25.0625f},
        {{0x5E, 0xFF, 0x4B, 0x46, 0x7F, 0xFF, 0x02, 0x10, 0}, 1, -10.125f},
        {{0x97, 0x01, 0x4B, 0x46, 0x1F, 0xFF, 0x09, 0x10, 0}, 1, 25.0f},  // 9 bits
        {{0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10, 0}, 1, 85.0f},  // power-on value
    };
    for (const auto& c : cases) {
        float t = -999;
        EXPECT_EQ(ow_scratchpad_temperature(c.sp, &t), c.ok) << int(c.sp[0]);
        if (c.ok) {
            EXPECT_FLOAT_EQ(t, c.t) << int(c.sp[0]);
        }
    }
}

TEST_F(OneWireLink, ThermometersConvertAndReadThroughTheAdapter)
{
    const Rom b20 = add(simow::DS18B20, 0x10, 2537);
    const int port = owAcquireEx(port_path(0).c_str());
    ASSERT_GE(port, 0);
    float t = 0;
    ASSERT_EQ(TemperatureConvertRead(port, b20.b, &t), 1);
    EXPECT_FLOAT_EQ(t, 85.0f) << "no conversion yet";
    ASSERT_EQ(TemperatureConvertStart(port), 1);
    ASSERT_EQ(TemperatureConvertRead(port, b20.b, &t), 1);
    EXPECT_EQ(static_cast<int>(t * 100), 2537);

    // Its own retry spent on a second corrupted reply, the read fails.
    probe(b20).corrupt = 2;
    EXPECT_EQ(TemperatureConvertRead(port, b20.b, &t), 0);
    EXPECT_TRUE(raised(OWERR::CRC_FAILED));
}

TEST_F(OneWireLink, AtoDControlPageConversionAndResults)
{
    const uint8_t page[8] = {0, 0, 0, 0, 0, 0, 0x00, 0x80};
    uint8_t ctrl[16] = {};
    float v[4];
    ctrl[7] = 0x01;  // input D on the 5.12 V range
    ow_atod_volts(page, ctrl, v);
    EXPECT_NEAR(v[3], 2.56f, 0.0001f);
    ctrl[7] = 0x00;
    ow_atod_volts(page, ctrl, v);
    EXPECT_NEAR(v[3], 1.28f, 0.0001f);

    branch(0, false);
    const Rom h = add(simow::DS2450, 0x20, 5500);
    const int port = owAcquireEx(port_path(0).c_str());
    ASSERT_GE(port, 0);
    char msg[64];
    ASSERT_EQ(SetupAtoDControl(port, h.b, ctrl, msg), 1);
    ASSERT_EQ(WriteAtoD(port, 0, h.b, ctrl, 8, 17), 1);
    uint8_t back[8];
    ASSERT_EQ(ReadDS2450Results(port, 0, h.b, back), 1);
    EXPECT_EQ(std::memcmp(back, ctrl, 8), 0);
    ASSERT_EQ(DoAtoDConversion(port, 0, h.b), 1);
    ASSERT_EQ(ReadAtoDResults(port, 0, h.b, v, ctrl), 1);
    EXPECT_EQ(static_cast<int>(v[3] * 10000), 5500);
    EXPECT_EQ(v[0], 0.0f);

    // The 5.12 V range on input D halves the count for the same voltage.
    ctrl[7] = 0x01;
    ASSERT_EQ(WriteAtoD(port, 0, h.b, ctrl, 8, 17), 1);
    ASSERT_EQ(DoAtoDConversion(port, 0, h.b), 1);
    ASSERT_EQ(ReadAtoDResults(port, 0, h.b, v, ctrl), 1);
    EXPECT_NEAR(v[3], 0.55f, 0.0002f);

    probe(h).corrupt = 1;
    EXPECT_EQ(ReadAtoDResults(port, 0, h.b, v, ctrl), 0);
    EXPECT_TRUE(raised(OWERR::CRC_FAILED));
}

TEST_F(OneWireLink, LevelsAndSpeedsRoundTrip)
{
    add(simow::DS18B20, 0x30, 2500);
    const int port = owAcquireEx(port_path(0).c_str());
    ASSERT_GE(port, 0);
    EXPECT_EQ(owLevel(port, MODE_STRONG5), MODE_STRONG5);
    EXPECT_EQ(owLevel(port, MODE_NORMAL), MODE_NORMAL);
    EXPECT_EQ(owLevel(port, MODE_PROGRAM), MODE_NORMAL) << "no program voltage on this adapter";
    EXPECT_TRUE(raised(OWERR::LEVEL_FAILED));
    EXPECT_EQ(owTouchReset(port), 1);

    EXPECT_EQ(owSpeed(port, SPEEDSEL_OD), SPEEDSEL_OD);
    EXPECT_EQ(owPortInfo(port).UBaud, PARMSET_115200);
    EXPECT_EQ(owTouchReset(port), 0) << "a DS18B20 does not answer an overdrive reset";
    EXPECT_EQ(owSpeed(port, SPEEDSEL_FLEX), SPEEDSEL_FLEX);
    EXPECT_EQ(owPortInfo(port).UBaud, PARMSET_9600);
    EXPECT_EQ(owTouchReset(port), 1);
    EXPECT_EQ(owTouchBit(port, 1), 1) << "a read slot nobody pulls low";
}

TEST_F(OneWireLink, CrcsMatchTheirKnownValues)
{
    // A ROM code with its CRC byte ends at 0; a scratchpad likewise.
    const uint8_t rom[8] = {0x02, 0x1C, 0xB8, 0x01, 0x00, 0x00, 0x00, 0xA2};
    EXPECT_EQ(ow_crc8(rom, 7), 0xA2);
    EXPECT_EQ(ow_crc8(rom, 8), 0);
    const uint8_t check[9] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(ow_crc16(check, 9), 0xBB3D);
    // The per-port accumulators give the same.
    setcrc16(0, 0);
    uint16_t c = 0;
    for (uint8_t b : check) c = docrc16(0, b);
    EXPECT_EQ(c, 0xBB3D);
    setcrc8(0, 0);
    uint8_t c8 = 0xFF;
    for (uint8_t b : rom) c8 = docrc8(0, b);
    EXPECT_EQ(c8, 0);
}

TEST_F(OneWireLink, ErrorStackKeepsTheTenNewestNewestFirst)
{
    for (int code = 1; code <= 12; ++code) owRaiseError(code);
    EXPECT_EQ(errors(), (std::vector<int>{12, 11, 10, 9, 8, 7, 6, 5, 4, 3}));
    EXPECT_EQ(owHasErrors(), 0);
    EXPECT_STREQ(owGetErrorMsg(OWERR::BLOCK_TOO_LARGE), "Data Block Too Large");
    EXPECT_EQ(owTouchReset(MAX_PORTNUM), 0);
    EXPECT_EQ(errors(), std::vector<int>{OWERR::BAD_PORT});
}
