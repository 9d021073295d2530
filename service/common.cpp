// Board access: GPIO lines, the FPGA register window, buzzer, status LED and
// the start-up preparation of the operating system. Further down: relay
// switching, the threshold and announcement rules, the relay, mail and MQTT
// scenario matchers, and the status-log export.
#include <sys/stat.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "common.h"
#include "events.h"
#include "platform.h"

// The board handles: set at start-up before any thread starts, only read
// afterwards.
static int fd_gpio1 = -1, fd_gpio2 = -1, fd_gpio3 = -1, fd_fpga = -1;
static volatile uint8_t* ram_fpga = nullptr;  // the register window: byte access only

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
    if (!ram_fpga || addr < BOARD::FPGA_BASE) return -1;
    unsigned long off = addr - BOARD::FPGA_BASE;
    return off < BOARD::FPGA_LEN ? static_cast<long>(off) : -1;
}

}  // namespace

int gpio1_open() { return gpio_open(1, fd_gpio1); }
int gpio2_open() { return gpio_open(2, fd_gpio2); }
int gpio3_open() { return gpio_open(3, fd_gpio3); }
void gpio1_close() { board_gpio_close(fd_gpio1); }
void gpio2_close() { board_gpio_close(fd_gpio2); }
void gpio3_close() { board_gpio_close(fd_gpio3); }

void board_forget()
{
    fd_gpio1 = fd_gpio2 = fd_gpio3 = fd_fpga = -1;
    ram_fpga = nullptr;
}

int gpio_access_7400(unsigned char rw, int chip, int pin, int* val)
{
    int fd = chip_fd(chip);
    if (rw == 0) {
        // A failed request leaves *val as the caller set it, so each caller
        // chooses what an unreadable line means: 0 is harmless for an input
        // or the power switch, but for a DIP switch 0 means "set" and would
        // start a factory reset.
        int v = 0;
        int ret = board_gpio_read(fd, pin, &v);
        if (ret == 0) *val = v;
        return ret;
    }
    return board_gpio_write(fd, pin, *val);
}

int fpga_open()
{
    fd_fpga = board_mem_open();
    if (fd_fpga < 0) {
        report("/dev/mem error.");
        return -1;
    }
    ram_fpga = board_mem_map(fd_fpga, BOARD::FPGA_BASE, BOARD::FPGA_LEN);
    if (!ram_fpga) {
        report("map error.");
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
        *val = off < 0 ? 0 : ram_fpga[off];
        return 0;
    }
    if (off < 0) return -1;
    ram_fpga[off] = static_cast<uint8_t>(*val & 0xFF);
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

// ==== Relay outputs, judgement rules, scenarios and the status-log export ====

namespace {

// Serialises output switching between the DIO monitor, the state log, the
// command channel, SNMP and MQTT: a toggle reads and writes the level.
std::mutex do_ctl_mutex;

bool output_index_ok(const char* call, int port)
{
    if (port >= 0 && port <= 7) return true;
    report_error(std::string(call) + ": nothing switched, output index not 0-7:", std::to_string(port));
    return false;
}

// The scenario condition bit of a state code (0 for states matching none).
int state_condition_bit(int state)
{
    switch (state) {
    case STATE::CAUTION: case STATE::UPPER_CAUTION: case STATE::LOWER_CAUTION: return EVENT::CAUTION;
    case STATE::ALERT: case STATE::UPPER_ALERT: case STATE::LOWER_ALERT: return EVENT::ALERT;
    case STATE::NORMAL: return EVENT::NORMAL;
    case STATE::NONE: case STATE::ERROR: return EVENT::NONE;
    default: return 0;
    }
}

// The ON/OFF bit of a digital level: 1 is on, anything else off.
int level_bit(double value) { return value == 1.0 ? EVENT::ON : EVENT::OFF; }

// The state bit of a digital port's own states (0 to 4).
int dio_state_bit(int state) { return state >= STATE::NONE && state <= STATE::ERROR ? state_condition_bit(state) : 0; }

// MQTT scenarios group the threshold states by side: the caution bit
// stands for the lower states, the alert bit for the upper ones.
int mqtt_side_bit(int state)
{
    switch (state) {
    case STATE::LOWER_CAUTION: case STATE::LOWER_ALERT: return EVENT::CAUTION;
    case STATE::UPPER_CAUTION: case STATE::UPPER_ALERT: return EVENT::ALERT;
    case STATE::NORMAL: return EVENT::NORMAL;
    case STATE::NONE: case STATE::ERROR: return EVENT::NONE;
    default: return 0;
    }
}

bool port_selected(int sensor, int port) { return sensor == 1 || sensor == port + 1; }

// On/off text of digital port P (1-16); empty for ports that do not exist.
const char* dio_text(int port, bool on)
{
    if (port >= 1 && port <= 8) {
        const auto& r = sensor_settings.digitalI[port - 1];
        return on ? r.ontext : r.offtext;
    }
    if (port >= 9 && port <= 16) {
        const auto& r = sensor_settings.digitalO[port - 9];
        return on ? r.ontext : r.offtext;
    }
    return "";
}

// One relay rule (ON or OFF side) of output k against one event.
bool relay_rule_matches(int enable, int rtype, int rsensor, int rstate, int type, int port, int state,
                        double value, int flg, bool& level_hit)
{
    level_hit = false;
    if (enable != 1 || rtype != type || !port_selected(rsensor, port)) return false;
    bool state_test = type != KIND::DIO || flg == 0;
    if (type == KIND::DIO) level_hit = (level_bit(value) & rstate) != 0;
    return state_test && (state_condition_bit(state) & rstate);
}

}  // namespace

int do_ctl(int port, int val)
{
    if (!output_index_ok("do_ctl", port)) return 0;
    if (val < 0 || val > 3) {
        report_error("do_ctl: nothing switched, code " + std::to_string(val) + " not 0-3 for output",
                     std::to_string(port + 1));
        return 0;
    }
    {
        std::lock_guard<std::mutex> lock(do_ctl_mutex);
        MONITOR_TABLE::SensorElement* el =
            monitor && monitor->sensor_condition ? &monitor->sensor_condition->digitalio[port + 8] : nullptr;
        int cur = el ? el->value : 0;
        int level = val;
        if (val == 2) level = cur ? 1 : 0;
        if (val == 3) level = cur ? 0 : 1;
        board_write(BOARD::RELAY[port], level);
        if (el) el->value = level;
    }
    // The hold is outside the lock so other outputs switch meanwhile.
    if (sensor_settings.digitalO[port].dokeep) std::this_thread::sleep_for(std::chrono::seconds(1));
    return 0;
}

int do_pulse(int port, int time)
{
    if (!output_index_ok("do_pulse", port)) return 0;
    int active = sensor_settings.digitalO[port].doinit ? 0 : 1;
    do_ctl(port, active);
    // do_ctl already held the output for a second when dokeep is set.
    int rest = time - (sensor_settings.digitalO[port].dokeep ? 1 : 0);
    // A stop cuts the pulse short: a long pulse must not hold the command
    // thread, and with it the whole shutdown, for its full length. The output
    // still goes back to its resting level.
    for (; rest > 0 && control.load(); rest -= 3600) sleep_while_running((rest < 3600 ? rest : 3600) * 1000);
    do_ctl(port, 1 - active);
    return 0;
}

int dio_senario_check(int type, int port, int state, double value, int flg)
{
    for (int k = 0; k < 8; ++k) {
        const auto& o = sensor_settings.digitalO[k];
        bool level_hit = false;
        bool state_hit = relay_rule_matches(o.onenable, o.ontype, o.onsensor, o.onstate, type, port, state,
                                            value, flg, level_hit);
        if (level_hit) do_ctl(k, 1);
        if (state_hit) do_ctl(k, 1);
        state_hit = relay_rule_matches(o.offenable, o.offtype, o.offsensor, o.offstate, type, port, state,
                                       value, flg, level_hit);
        if (level_hit) do_ctl(k, 0);
        if (state_hit) do_ctl(k, 0);
    }
    return 0;
}

int check_scenario_do(unsigned int cond, unsigned int num, int on)
{
    if (num < 9 || num > 16) {
        std::printf("check_scenario_do: relay port %u out of range 9-16, nothing stored\n", num);
        return 0;
    }
    int k = static_cast<int>(num - 9);
    auto& o = sensor_settings.digitalO[k];
    int type = static_cast<int>(cond & 0xFFu);
    int sensor = static_cast<int>((cond >> 8) & 0xFFFFu);
    int state = static_cast<int>((cond >> 24) & 0x3Fu);
    int enable = static_cast<int>((cond >> 31) & 1u);
    if (on) {
        o.ontype = type;
        o.onsensor = sensor;
        o.onstate = state;
        o.onenable = enable;
    } else {
        o.offtype = type;
        o.offsensor = sensor;
        o.offstate = state;
        o.offenable = enable;
    }
    o.changeflg = true;
    db_save.push_n(SAVE::DO, k);
    return 0;
}

int judge_state(int value, int pre_state, int ua, int uc, int lc, int la, int ua_cancel, int uc_cancel,
                int lc_cancel, int la_cancel)
{
    using SETTINGS_TABLE::THRESHOLD_OFF_MAX;
    using SETTINGS_TABLE::THRESHOLD_OFF_MIN;
    if (value == SETTINGS_TABLE::VALUE_ERROR) return STATE::ERROR;
    const bool ua_set = ua_cancel != THRESHOLD_OFF_MAX;
    const bool uc_set = uc_cancel != THRESHOLD_OFF_MAX;
    const bool lc_set = lc_cancel != THRESHOLD_OFF_MIN;
    const bool la_set = la_cancel != THRESHOLD_OFF_MIN;
    auto lower_test = [&] { return (value < lc && lc_set) ? STATE::LOWER_CAUTION : STATE::NORMAL; };

    switch (pre_state) {
    case STATE::NONE: case STATE::NORMAL: case STATE::ERROR:
        if (value > ua && ua_set) return STATE::UPPER_ALERT;
        if (value < la && la_set) return STATE::LOWER_ALERT;
        if (uc_set && value > uc) return STATE::UPPER_CAUTION;
        if (value < lc && lc_set) return STATE::LOWER_CAUTION;
        return STATE::NORMAL;
    case STATE::UPPER_ALERT:
        if (value >= ua_cancel && ua != THRESHOLD_OFF_MAX && ua_set) return STATE::UPPER_ALERT;
        if (la_set && value < la) return STATE::LOWER_ALERT;
        if (value < uc_cancel) return lower_test();
        if (uc != THRESHOLD_OFF_MAX && uc_set) return STATE::UPPER_CAUTION;
        return lower_test();
    case STATE::UPPER_CAUTION:
        if (value > ua && ua_set) return STATE::UPPER_ALERT;
        if (la_set && value < la) return STATE::LOWER_ALERT;
        if (value < uc_cancel) return lower_test();
        if (uc != THRESHOLD_OFF_MAX && uc_set) return STATE::UPPER_CAUTION;
        return lower_test();
    case STATE::LOWER_CAUTION:
        if (value > ua && ua_set) return STATE::UPPER_ALERT;
        if (la_set && value < la) return STATE::LOWER_ALERT;
        if (value > uc && uc_set) return STATE::UPPER_CAUTION;
        if (value > lc_cancel) return STATE::NORMAL;
        return (lc != THRESHOLD_OFF_MIN && lc_set) ? STATE::LOWER_CAUTION : STATE::NORMAL;
    case STATE::LOWER_ALERT:
        if (ua_set && value > ua) return STATE::UPPER_ALERT;
        if (value <= la_cancel && la != THRESHOLD_OFF_MIN && la_set) return STATE::LOWER_ALERT;
        if (uc_set && value > uc) return STATE::UPPER_CAUTION;
        if (value <= lc_cancel) return (lc != THRESHOLD_OFF_MIN && lc_set) ? STATE::LOWER_CAUTION : STATE::NORMAL;
        return STATE::NORMAL;
    default:
        return STATE::ERROR;
    }
}

int check_change_state(int pre_state, int state)
{
    switch (pre_state) {
    case STATE::NONE: return state != STATE::NORMAL;
    case STATE::NORMAL: return state != STATE::NONE;
    case STATE::CAUTION: case STATE::ALERT: case STATE::ERROR: case STATE::UPPER_CAUTION: case STATE::LOWER_CAUTION: return STATE::NORMAL;
    case STATE::UPPER_ALERT: return state != STATE::UPPER_CAUTION;
    case STATE::LOWER_ALERT: return state != STATE::LOWER_CAUTION;
    default: return STATE::NONE;
    }
}

int mail_senario_check(int sensortype, int port, int state, double value, int flag)
{
    for (int i = 0; i < SETTINGS_TABLE::MAIL_SCENARIO_NUM - 1; ++i) {
        const auto& s = admin_settings.mail_client_scenario[i];
        if (!s.enable || s.sensortype != sensortype || !port_selected(s.sensor, port)) continue;
        const int d = i / 24 + 1;  // 24 entries per recipient
        const int bits = s.state;
        std::string text;
        if (sensortype == KIND::DIO) {
            text = dio_text(port, value == 1.0);
        } else if (value == SETTINGS_TABLE::VALUE_ERROR) {
            text = "ERROR";
        } else {
            char buf[48];
            std::snprintf(buf, sizeof buf, "%.2f", value / 100.0);
            text = buf;
        }
        const std::string req = std::to_string(d) + ",1," + std::to_string(sensortype) + "," +
                                std::to_string(port) + "," + std::to_string(state) + "," + text + ",";
        if (sensortype == KIND::DIO) {
            if (level_bit(value) & bits) mail_send.push(req);
            if (flag != 0) continue;
            if (dio_state_bit(state) & bits) mail_send.push(req);
            continue;
        }
        if (state_condition_bit(state) & bits) mail_send.push(req);
    }
    return 0;
}

int mqtt_senario_check(int time, int sensortype, int port, int state, int value, int flag)
{
    auto record = [&](int v) {
        return std::to_string(time) + "," + std::to_string(sensortype) + "," + std::to_string(port) + "," +
               std::to_string(state) + "," + std::to_string(v) + ",";
    };
    for (int i = 0; i < SETTINGS_TABLE::MQTT_SCENARIO_NUM; ++i) {
        const auto& s = admin_settings.mqtt_scenario[i];
        if (!s.enable || s.sensortype != sensortype || !port_selected(s.sensor, port)) continue;
        const int bits = s.state;
        if (sensortype == KIND::DIO) {
            if (value == 1 && (bits & EVENT::ON)) mqtt_con.push(record(1));
            else if (value != 1 && (bits & EVENT::OFF)) mqtt_con.push(record(value));
            if (flag != 0) continue;
            if (dio_state_bit(state) & bits) mqtt_con.push(record(value));
            continue;
        }
        if (mqtt_side_bit(state) & bits) mqtt_con.push(record(value));
    }
    return 0;
}

std::string state_log_str(int type, int port)
{
    const auto& ss = sensor_settings;
    // The port comes from the status-log file, which may hold any number:
    // it is checked against the array before 1 is taken off.
    const long i = static_cast<long>(port) - 1;
    auto in = [i](int n) { return i >= 0 && i < n; };
    switch (type) {
    case KIND::DIO:
        if (port >= 1 && port <= 8) return std::string("デジタル入出力,") + ss.digitalI[port - 1].name;
        if (port >= 9 && port <= 16) return std::string("デジタル入出力,") + ss.digitalO[port - 9].name;
        return "デジタル入出力,";
    case KIND::AI: return std::string("アナログ入力,") + (in(SETTINGS_TABLE::AI_NUM) ? ss.analog[i].name : "");
    case KIND::WIRE_T:
        return std::string("1-Wire温度,") + (in(SETTINGS_TABLE::WIRE_T_NUM) ? ss.onewire_temperature[i].name : "");
    case KIND::WIRE_H: return std::string("1-Wire湿度,") + (in(SETTINGS_TABLE::WIRE_H_NUM) ? ss.onewire_humidity[i].name : "");
    case KIND::VLXA_T: return std::string("Veloxa温度,") + (in(SETTINGS_TABLE::VLXA_NUM) ? ss.veloxa[i].t_name : "");
    case KIND::VLXA_H: return std::string("Veloxa湿度,") + (in(SETTINGS_TABLE::VLXA_NUM) ? ss.veloxa[i].h_name : "");
    case KIND::VLXA_BAT: return std::string("Veloxa電池電圧,") + (in(SETTINGS_TABLE::VLXA_NUM) ? ss.veloxa[i].name : "");
    case KIND::NX40_T: return std::string("Nimbra温度,") + (in(SETTINGS_TABLE::NX40_NUM) ? ss.kvt_nx40[i].name : "");
    case KIND::NX40_BAT: return std::string("Nimbra電池電圧,") + (in(SETTINGS_TABLE::NX40_NUM) ? ss.kvt_nx40[i].name : "");
    default: return "";
    }
}

std::string statelog_csv(const MONITOR_TABLE::StatusEntry* entries, int capacity, int r, int w)
{
    std::string out = "\xEF\xBB\xBF";
    out += "時刻,センサータイプ,名称,状態,値\n";
    // r == w is an empty ring whatever the indices.
    if (!MONITOR_TABLE::ring_indices_valid(r, w, capacity) || r == w) return out;
    for (int k = r; k != w; k = (k + 1) % capacity) {
        const auto& e = entries[k];
        time_t t = e.time;
        struct tm lt;
        localtime_r(&t, &lt);
        char stamp[32];
        strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S", &lt);
        out += stamp;
        out += ",";
        out += state_log_str(e.type, e.port);
        out += ",";
        out += std::to_string(e.state);
        out += ",";
        out += e.value == SETTINGS_TABLE::VALUE_ERROR ? std::string("ERR") : std::to_string(e.value);
        out += "\n";
    }
    return out;
}

int make_statelog(int type)
{
    if (!monitor || !monitor->status_log) return 0;
    mkdir(kvt_path("/log/state_log").c_str(), 0777);
    MONITOR_TABLE::Status_Log* log = monitor->status_log;
    std::string csv;
    const char* path;
    if (type == 1) {
        auto& l = log->all_status_log;
        if (!MONITOR_TABLE::ring_indices_valid(l.r, l.w, MONITOR_TABLE::ALL_LOG_NUM))
            std::printf("make_statelog: all status log indices out of range (r=%d w=%d)\n", l.r, l.w);
        csv = statelog_csv(l.all, MONITOR_TABLE::ALL_LOG_NUM, l.r, l.w);
        path = "/log/state_log/statelog_all.csv";
    } else {
        auto& l = log->dio_status_log;
        if (!MONITOR_TABLE::ring_indices_valid(l.r, l.w, MONITOR_TABLE::DIO_LOG_NUM))
            std::printf("make_statelog: dio status log indices out of range (r=%d w=%d)\n", l.r, l.w);
        csv = statelog_csv(l.dio, MONITOR_TABLE::DIO_LOG_NUM, l.r, l.w);
        path = "/log/state_log/statelog_dio.csv";
    }
    FILE* f = std::fopen(kvt_path(path).c_str(), "wb");
    if (!f) return 0;
    std::fwrite(csv.data(), 1, csv.size(), f);
    std::fclose(f);
    return 0;
}
