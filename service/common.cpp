// Board access: GPIO lines, the FPGA register window, buzzer, status LED and
// the start-up preparation of the operating system.
#include <cstdio>

#include "common.h"
#include "platform.h"

int fd_gpio1 = -1, fd_gpio2 = -1, fd_gpio3 = -1, fd_fpga = -1;
char* ram_fpga = nullptr;

namespace {

int gpio_open(int chip, int& fd)
{
    fd = board_gpio_open(chip);
    GpioChipInfo info{};
    int ret = board_gpio_chipinfo(fd, &info);
    if (ret < 0) {
        std::printf("ERROR get chip info ret=%d\n", ret);
        applog("ERROR get chip info" + std::to_string(chip));
        return -1;
    }
    std::printf("GPIO chip: %s, \"%s\", %u GPIO lines\n", info.name, info.label, info.lines);
    return 1;
}

int chip_fd(int chip)
{
    switch (chip) {
    case 1: return fd_gpio1;
    case 2: return fd_gpio2;
    case 3: return fd_gpio3;
    default: return -1;
    }
}

// Byte offset of a register inside the window, or -1 when the window is not
// mapped or the address lies outside it.
long fpga_offset(unsigned int addr)
{
    if (!ram_fpga || addr < FPGA_BASE) return -1;
    unsigned long off = addr - FPGA_BASE;
    return off < FPGA_LEN ? static_cast<long>(off) : -1;
}

}  // namespace

int gpio1_open() { return gpio_open(1, fd_gpio1); }
int gpio2_open() { return gpio_open(2, fd_gpio2); }
int gpio3_open() { return gpio_open(3, fd_gpio3); }
void gpio1_close() { board_gpio_close(fd_gpio1); }
void gpio2_close() { board_gpio_close(fd_gpio2); }
void gpio3_close() { board_gpio_close(fd_gpio3); }

int gpio_access_7400(unsigned char rw, int chip, int pin, int* val)
{
    int fd = chip_fd(chip);
    if (rw == 0) {
        // A failed request reports 0 rather than a stale value.
        int v = 0;
        int ret = board_gpio_read(fd, pin, &v);
        *val = ret == 0 ? v : 0;
        return ret;
    }
    return board_gpio_write(fd, pin, *val);
}

int fpga_open()
{
    fd_fpga = board_mem_open();
    if (fd_fpga < 0) {
        std::printf("/dev/mem error.\n");
        applog("/dev/mem error.");
        return -1;
    }
    ram_fpga = board_mem_map(fd_fpga, FPGA_BASE, FPGA_LEN);
    if (!ram_fpga) {
        std::printf("map error.\n");
        applog("map error.");
        board_mem_close(fd_fpga);
        fd_fpga = -1;
        return -1;
    }
    return 0;
}

void fpga_close()
{
    board_mem_close(fd_fpga);
    fd_fpga = -1;
}

int fpga_access_8357(unsigned char rw, unsigned int addr, int* val)
{
    long off = fpga_offset(addr);
    if (rw == 0) {
        *val = off < 0 ? 0 : static_cast<unsigned char>(ram_fpga[off]);
        return 0;
    }
    if (off < 0) return -1;
    ram_fpga[off] = static_cast<char>(*val & 0xFF);
    board_mem_wrote(static_cast<unsigned long>(off), *val & 0xFF);
    return 0;
}

int fpga_word_read(unsigned int addr)
{
    int hi = 0, lo = 0;
    fpga_access_8357(0, addr + 1, &hi);
    fpga_access_8357(0, addr, &lo);
    return (hi << 8) | lo;
}

void buzzer_access_8357(unsigned char ope)
{
    kvt_system(ope ? "echo 1 > /sys/class/pwm/pwmchip0/pwm0/enable"
                   : "echo 0 > /sys/class/pwm/pwmchip0/pwm0/enable");
}

void status_led_timer(int type)
{
    kvt_system("echo \"timer\" > /sys/class/leds/STATUS_LED/trigger");
    if (type == 1) {
        kvt_system("echo 670 > /sys/class/leds/STATUS_LED/delay_on");
        kvt_system("echo 670 > /sys/class/leds/STATUS_LED/delay_off");
    } else {
        kvt_system("echo 335 > /sys/class/leds/STATUS_LED/delay_on");
        kvt_system("echo 335 > /sys/class/leds/STATUS_LED/delay_off");
    }
}

void status_led_trigger(int type)
{
    kvt_system("echo \"none\" > /sys/class/leds/STATUS_LED/trigger");
    kvt_system(type == 1 ? "echo 255 > /sys/class/leds/STATUS_LED/brightness"
                         : "echo 0 > /sys/class/leds/STATUS_LED/brightness");
}

void ftp_enable()
{
    kvt_system("sed -e 's/force_local_data_ssl=YES/force_local_data_ssl=NO/g' /etc/vsftpd.conf > /tmp/vsftpd.conf");
    kvt_system("mv -f /tmp/vsftpd.conf /etc/vsftpd.conf");
    kvt_system("sed -e 's/force_local_logins_ssl=YES/force_local_logins_ssl=NO/g' /etc/vsftpd.conf > /tmp/vsftpd.conf");
    kvt_system("mv -f /tmp/vsftpd.conf /etc/vsftpd.conf");
    kvt_system("rm -f /tmp/vsftpd.conf");
    kvt_system("/etc/init.d/vsftpd stop");
    kvt_system("/etc/init.d/vsftpd start");
}

void mask_systemd_tmpfiles_clean_timer()
{
    kvt_system("systemctl stop systemd-tmpfiles-clean.timer");
    kvt_system("systemctl mask systemd-tmpfiles-clean.timer");
}

void mask_systemd_timesyncd()
{
    kvt_system("systemctl stop systemd-timesyncd");
    kvt_system("systemctl mask systemd-timesyncd");
}

void mount_tmp()
{
    kvt_system("mkdir /log/tmp");
    kvt_system("mkdir /log/tmp/sensor_log");
    kvt_system("mkdir /log/tmp/trend_log");
    kvt_system("mkdir /log/tmp/filter_log");
    kvt_system("mkdir /tmp/sensor_log");
    kvt_system("mkdir /tmp/trend_log");
    kvt_system("mkdir /tmp/filter_log");
    kvt_system("mount --bind /tmp/sensor_log /log/tmp/sensor_log");
    kvt_system("mount --bind /tmp/trend_log /log/tmp/trend_log");
    kvt_system("mount --bind /tmp/filter_log /log/tmp/filter_log");
}
