// Board access: the appliance's GPIO line requests, the FPGA register
// window, and what the service does when the board's devices are missing.
#include <gtest/gtest.h>

#include <cstring>

#include "common.h"
#include "gpio_request.h"
#include "platform.h"
#include "record_text.h"
#include "sandbox.h"
#include <type_traits>

namespace {

// Puts the board handles back to "nothing opened" (globals outlive a test's
// sandbox inside one process).
void reset_board_handles()
{
    board_forget();
}

bool mem_fault(uint32_t f) { return f == simboard::FAULT_MEM_OPEN || f == simboard::FAULT_MEM_MAP; }

}  // namespace

TEST(BoardTest, GpioLineRequestsCarryTheRightFields)
{
    struct Case {
        unsigned char rw;
        int line, val;
        const char* expected;  // flags|label|default value
    } cases[] = {
        {0, 20, 1, "1|pushbutton|0"},  // a read carries no level
        {1, 67, 1, "2|blinker|1"},
        {1, 45, 0, "2|blinker|0"},
        {2, 78, 7, "2|blinker|1"},  // any non-zero rw writes, any non-zero value is 1
    };
    for (const auto& c : cases) {
        gpiohandle_request req = gpio_line_request(c.rw, c.line, c.val);
        EXPECT_EQ(fields(req.flags, req.consumer_label, int(req.default_values[0])), c.expected) << int(c.rw);
        EXPECT_EQ(fields(req.lines, req.lineoffsets[0], req.fd), "1|" + std::to_string(c.line) + "|0");
        // Only one line is requested: nothing else in the request is set.
        for (int i = 1; i < GPIOHANDLES_MAX; ++i) ASSERT_EQ(req.lineoffsets[i] + req.default_values[i], 0u) << i;
    }
}

TEST(BoardTest, FpgaByteAndWordAccessThroughVolatileBytesJournalsEveryWrite)
{
    static_assert(std::is_same_v<decltype(board_mem_map(0, 0, 0)), volatile uint8_t*>);
    TestSandbox sb(false);
    reset_board_handles();
    ASSERT_EQ(fpga_open(), 0);
    // Repeated writes of one register each reach the board (a converter start is one).
    for (int v : {0x1FF, 8, 0x1FF}) EXPECT_EQ(fpga_access_8357(1, BOARD::FPGA_BASE + 0x300, &v), 0);
    EXPECT_EQ(sb.fpga(0x300), 0xFF);  // only the low byte is stored
    for (auto [off, byte] : std::vector<std::pair<unsigned, int>>{{0x700, 0x34}, {0x701, 0x12}, {0x702, 0xFF}, {0x703, 0x80}})
        fpga_access_8357(1, BOARD::FPGA_BASE + off, &byte);
    EXPECT_EQ(fpga_word_read(BOARD::FPGA_BASE + 0x700), 0x1234);
    EXPECT_EQ(fpga_word_read(BOARD::FPGA_BASE + 0x702), 0x80FF);
    int r = -1;
    fpga_access_8357(0, BOARD::FPGA_BASE + 0x702, &r);
    EXPECT_EQ(r, 0xFF);  // zero-extended, never negative
    EXPECT_EQ(sb.fpga_writes(), (std::vector<std::string>{"0x51000300 255", "0x51000300 8", "0x51000300 255",
                                                          "0x51000700 52", "0x51000701 18", "0x51000702 255",
                                                          "0x51000703 128"}));
    fpga_close();
}

TEST(BoardTest, FpgaAddressesOutsideTheWindowReadZeroAndWriteNothing)
{
    TestSandbox sb;
    reset_board_handles();
    ASSERT_EQ(fpga_open(), 0);
    for (unsigned addr : {BOARD::FPGA_BASE + 0x7FFF, BOARD::FPGA_BASE + 0x8000, BOARD::FPGA_BASE + 0x100000, BOARD::FPGA_BASE - 1, 0u}) {
        int v = 0x55;
        fpga_access_8357(1, addr, &v);
        int r = -1;
        EXPECT_EQ((fpga_access_8357(0, addr, &r), r), 0) << std::hex << addr;
    }
    EXPECT_EQ(sb.fpga(0x7FFF), 0);  // the byte just past the window stayed untouched
    EXPECT_TRUE(sb.fpga_writes().empty());
    // The last byte inside the window is still usable; a word read
    // straddling the end takes 0 for the missing half.
    int v = 0x42;
    fpga_access_8357(1, BOARD::FPGA_BASE + 0x7FFE, &v);
    EXPECT_EQ(sb.fpga(0x7FFE), 0x42);
    EXPECT_EQ(fpga_word_read(BOARD::FPGA_BASE + 0x7FFE), 0x0042);
    fpga_close();
}

TEST(BoardTest, GpioOpenReportsEachChipAndLinesFollowTheBoard)
{
    TestSandbox sb;
    reset_board_handles();
    testing::internal::CaptureStdout();
    EXPECT_EQ(fields(gpio1_open(), gpio2_open(), gpio3_open()), "1|1|1");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("GPIO chip: gpiochip2, \"kvtsim-chip2\", 128 GPIO lines\n"), std::string::npos) << out;
    // Chip 2 line 68 (power switch) and chip 3 line 68 (digital input 2) are
    // different signals.
    sb.set_gpio(3, 68, 1);
    sb.set_gpio(2, 68, 0);
    int r2 = -1, r3 = -1;
    gpio_access_7400(0, 2, 68, &r2);
    gpio_access_7400(0, 3, 68, &r3);
    EXPECT_EQ(fields(r2, r3), "0|1");
    // A chip the board does not have fails and leaves the caller's value.
    int r9 = -1;
    EXPECT_NE(gpio_access_7400(0, 9, 1, &r9), 0);
    EXPECT_EQ(r9, -1);
}

TEST(BoardTest, GpioEachBoardFaultIsReportedAndAccessKeepsWorking)
{
    struct Case {
        uint32_t fault;
        const char* console;  // printed
        const char* logged;   // in the application log ("" = nothing)
    } cases[] = {
        {simboard::FAULT_GPIO1, "ERROR get chip info ret=-1\n", "ERROR get chip info1"},
        {simboard::FAULT_GPIO2, "ERROR get chip info ret=-1\n", "ERROR get chip info2"},
        {simboard::FAULT_GPIO3, "ERROR get chip info ret=-1\n", "ERROR get chip info3"},
        {simboard::FAULT_MEM_OPEN, "/dev/mem error.\n", "/dev/mem error."},
        {simboard::FAULT_MEM_MAP, "map error.\n", "map error."},
        {simboard::FAULT_LINE_IO, "", ""},
        // The shell fault leaves the devices alone; its commands are still journaled.
        {simboard::FAULT_SHELL, "", ""},
    };
    ASSERT_EQ(std::size(cases), std::size(simboard::FAULT_NAMES));
    for (const auto& c : cases) {
        TestSandbox sb;
        reset_board_handles();
        SCOPED_TRACE(std::string("fault ") + c.logged);
        sb.set_fault(c.fault);
        testing::internal::CaptureStdout();
        EXPECT_EQ(fpga_open() != 0, mem_fault(c.fault));
        gpio1_open();
        gpio2_open();
        gpio3_open();
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(c.console), std::string::npos) << out;
        EXPECT_EQ(count_of(out, "\n"), 3 + (mem_fault(c.fault) ? 1 : 0)) << out;
        std::string log = sb.applog();
        EXPECT_TRUE(*c.logged ? log.find(c.logged) != std::string::npos : log.empty()) << log;
        // The service-level functions answer. Where the device is gone a read
        // fails and keeps the caller's value: a DIP switch read that starts
        // from 1 ("not set") must not turn into a factory reset.
        for (int chip : {1, 2, 3}) {
            int one = 1, r = 1;
            sb.set_gpio(chip, 49, 0);
            gpio_access_7400(1, chip, 5, &one);
            bool chip_ok = !(c.fault == simboard::FAULT_LINE_IO || c.fault == (1u << (chip - 1)));
            EXPECT_EQ(gpio_access_7400(0, chip, 49, &r) == 0, chip_ok) << "chip " << chip;
            EXPECT_EQ(r, chip_ok ? 0 : 1) << "chip " << chip;
            r = 0;
            gpio_access_7400(0, chip, 5, &r);
            EXPECT_EQ(r, chip_ok ? 1 : 0) << "chip " << chip;
        }
        // Without the window a read gives 0, a write is dropped.
        int fr = -1, fw = 1;
        fpga_access_8357(1, BOARD::FPGA_BASE + 0x004, &fw);
        fpga_access_8357(0, BOARD::FPGA_BASE + 2, &fr);
        EXPECT_EQ(fields(fr, sb.fpga(0x004)), mem_fault(c.fault) ? "0|0" : "2|1");
        if (mem_fault(c.fault)) {
            EXPECT_EQ(fpga_word_read(BOARD::FPGA_BASE + 2), 0);
        }
        EXPECT_EQ(sb.fpga_writes().empty(), mem_fault(c.fault));
        buzzer_access_8357(1);
        EXPECT_TRUE(sb.journal_has("echo 1 > /sys/class/pwm/pwmchip0/pwm0/enable"));
        gpio1_close();
        gpio2_close();
        gpio3_close();
        fpga_close();
    }
}

namespace {
struct FakeIoctl {
    static inline int handle_rc = 0, value_rc = 0, level = 1, calls = 0, closed = 0;
    static int io(int, unsigned long request, void* arg)
    {
        ++calls;
        if (request == GPIO_GET_LINEHANDLE_IOCTL) {
            static_cast<gpiohandle_request*>(arg)->fd = 77;
            return handle_rc;
        }
        if (request == GPIOHANDLE_GET_LINE_VALUES_IOCTL && value_rc == 0)
            static_cast<gpiohandle_data*>(arg)->values[0] = static_cast<__u8>(level);
        return value_rc;
    }
    static int close(int fd)
    {
        if (fd == 77) ++closed;
        return 0;
    }
};

}  // namespace

TEST(BoardTest, GpioEitherIoctlFailingIsAFailureAndLeavesTheCallersValue)
{
    struct Case {
        int handle_rc, value_rc;
        bool ok;
        int closes;
    } cases[] = {{0, 0, true, 1}, {-1, 0, false, 0}, {0, -1, false, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "handle " << c.handle_rc << " value " << c.value_rc);
        FakeIoctl::handle_rc = c.handle_rc;
        FakeIoctl::value_rc = c.value_rc;
        FakeIoctl::level = 0;
        FakeIoctl::closed = 0;
        int v = 1;  // a DIP switch read as "off" unless the line says otherwise
        int rc = gpio_line_read(3, 49, &v, FakeIoctl::io, FakeIoctl::close);
        EXPECT_EQ(rc == 0, c.ok);
        EXPECT_EQ(v, c.ok ? 0 : 1);
        EXPECT_EQ(gpio_line_write(3, 45, 1, FakeIoctl::io, FakeIoctl::close) == 0, c.ok);
        EXPECT_EQ(FakeIoctl::closed, 2 * c.closes);  // every handle obtained is released
    }
}
