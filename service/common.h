// Declarations shared across the service's activities: run control, board
// access, application log and helpers, database layer, settings loading,
// state judgement, scenarios, status log and the thread bodies.
#pragma once

#include <csignal>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "board_lines.h"
#include "codes.h"
#include "monitor_table.h"
#include "settings_map.h"
#include "settings_table.h"

// ---- Run control and start-up (main) -------------------------------------
extern std::atomic<int> control;     // every thread loops while non-zero
// Restart the appliance after the stop: set through reboot() by the thread
// that asks for it; main reads it once the threads have ended.
extern std::atomic<int> rebootflg;
// Quiet exit after the stop: set by the supervisor (SIGTERM) and the update
// command; main reads it once the threads have ended.
extern std::atomic<int> updateflg;
// Set by the SIGTERM handler. A lock-free atomic is as safe in a handler as
// sig_atomic_t and is seen by the supervisor thread without a data race.
extern std::atomic<int> sigterm_received;
// Settings-change counter 1..5000: the settings writer and the command
// thread count it up; the SNMP agent reads it.
extern std::atomic<int> chcnt;
// Versions: start-up writes them before the threads start; the SNMP agent
// and the MQTT thread read them.
extern char software_ver[16];
extern char hardware_ver[16];
extern char updatetime[16];

int service_main();
void handle_sigterm(int);
void* cpustate_thread(void*);
void init_buzzer();
void sound_buzzer();
int chcntread();
int chcntup();
// Next counter value after v: 1..5000, wrapping to 1.
int chcnt_next(int v);
// Starts a service thread with the service's scheduling policy; false when
// it could not be created.
bool start_thread(pthread_t* th, void* (*fn)(void*), const char* name);
// Sleeps up to ms milliseconds, waking early once control is 0.
void sleep_while_running(int ms);
// Sets control to 0 and wakes every thread sleeping in sleep_while_running,
// wait_for_request or on one of the settings queues.
void stop_running();
// Waits up to ms milliseconds for request_posted(), or for the stop.
void wait_for_request(int ms);
// Wakes the threads in wait_for_request: a request flag has been set.
void request_posted();
// The kernel id of the calling thread, as printed in the start lines.
long thread_tid();

// ---- Board access ---------------------------------------------------------
// Board functions return 0 on success and a negative value on failure.
int gpio1_open();
int gpio2_open();
int gpio3_open();
void gpio1_close();
void gpio2_close();
void gpio3_close();
// Back to nothing opened, closing nothing (a window's mapping stays until
// the process ends): the board's next user starts from scratch.
void board_forget();
// Reads (rw 0) or writes one line; 0 on success. A read that fails leaves
// *val unchanged: set it to the level that is safe to assume beforehand.
int gpio_access_7400(unsigned char rw, int chip, int pin, int* val);
// The same for one of the board's named lines.
inline int board_read(BOARD::Line l, int* val) { return gpio_access_7400(0, l.chip, l.line, val); }
inline int board_write(BOARD::Line l, int val) { return gpio_access_7400(1, l.chip, l.line, &val); }
// The full address of an FPGA register.
constexpr unsigned int fpga_reg(unsigned int offset) { return BOARD::FPGA_BASE + offset; }
int fpga_open();
void fpga_close();
int fpga_access_8357(unsigned char rw, unsigned int addr, int* val);
int fpga_word_read(unsigned int addr);
void buzzer_access_8357(unsigned char ope);
void status_led_timer(int type);
void status_led_trigger(int type);
void ftp_enable();
void mask_systemd_tmpfiles_clean_timer();
void mask_systemd_timesyncd();
void mount_tmp();

// ---- Application log and helpers -----------------------------------------
int applog(const std::string& message);
long get_file_size(const std::string& path);
int exist_file(const std::string& path);
int timer();
// Microseconds from (tm_sec, nsec) to the next whole minute.
long timer_remaining_us(int tm_sec, long nsec);
// Number of 100 ms slices timer() sleeps for `remaining_us`; 0 = return at once.
long timer_slices(long remaining_us);
int check_ban_char(const char* text);
// Whole files by the service's path names. A write replaces the file whole
// (partial copy, flushed to the medium, renamed over it) or not at all; a
// failure is reported on the console and in the application log.
bool read_text_file(const std::string& path, std::string& text);
bool write_text_file(const std::string& path, const std::string& text);
// Writes all of text to fd, going on after an interruption; false on a
// failure (errno tells why).
bool write_all(int fd, const std::string& text);
// One event for the operator: the same line on the console and in the
// application log.
void report(const std::string& line);
// The same for a failed call: "<what> <object>[: <errno text>]".
void report_error(const std::string& what, const std::string& object, int err = 0);

// ---- Configuration database -----------------------------------------------
int open_db();
// The open connection (nullptr while closed), for tracing and limits.
struct sqlite3* db_connection();
int close_db();
int begin_trans();
int commit_trans();
int rollback_trans();
int create_db(const std::string& sql);
int insert_db(const std::string& sql);
int update_db(const std::string& sql);
// The same with values bound to the statement's "?" in order.
int update_db(const std::string& sql, const std::vector<SETTINGS_MAP::Value>& values);
std::string select_db(const std::string& sql);
int delete_db();
int alter(const std::string& result, int mode);
int check_db();
// Query rows with every column as text (NULL as an empty text). Retries like
// select_db; *table_missing tells a query on a table that does not exist.
using DbRows = std::vector<std::vector<std::string>>;
DbRows select_rows(const std::string& sql, bool* table_missing = nullptr);
// Splits a select_db result text ("a$b$," per row) into rows.
DbRows parse_result(const std::string& result);
int alter(const DbRows& rows, int mode);

// ---- Settings loading -----------------------------------------------------
void set_sensor_data();
int init_structs();
int for105update();
int for107update();
int snmp_prefix_Set(int i);
// Fills the records of one table from its rows (or select_db's result text).
void setsettings(const DbRows& rows, const std::string& table);
void setsettings(const std::string& result, const std::string& table);
// System files: read whole through the sandbox seam (nullopt when missing),
// and the pure parsers that fill the records from their text.
std::optional<std::string> read_system_file(const char* path);
void parse_ntp_conf(const std::string& text, SETTINGS_TABLE::Time& t);
void parse_hostname(const std::string& text, SETTINGS_TABLE::Network& n);
void parse_eth_network(const std::string& text, SETTINGS_TABLE::Network& n);
void parse_ifconfig(const std::string& text, SETTINGS_TABLE::Network& n);
void parse_resolv_conf(const std::string& text, SETTINGS_TABLE::Network& n);
void parse_busybox_syslog(const std::string& text, SETTINGS_TABLE::Syslog& s);
void read_network_files();
void read_ntp_file();
void read_syslog_file();

// ---- Digital I/O and relays -----------------------------------------------
void* sensor_monitor_thread(void*);
void* dio_sensor_monitor_thread(void*);
// Output index 0-7. Always 0: a refused argument is reported and switches
// nothing.
int do_ctl(int port, int val);
int do_pulse(int port, int time);
int dio_senario_check(int type, int port, int state, double value, int flg);
int check_scenario_do(unsigned int cond, unsigned int num, int on);
// Identifier formats of remotely set sensors: 0 when valid. 1-Wire and VLXA
// identifiers are hexadecimal digits; NX40 ones two-digit hexadecimal
// groups joined by ':'.
int device_id_check(const char* str);
int device_id_check_sm(const char* str);

// ---- Analog inputs -------------------------------------------------------------
void* ai_thread_func(void*);
// Reloads switch states, range codes and scaling (also after analog settings
// were saved).
void ai_port_setting();
int get_ai_switching(int ch);

// ---- State judgement and status log ----------------------------------------
int judge_state(int value, int pre_state, int ua, int uc, int lc, int la, int ua_cancel,
                int uc_cancel, int lc_cancel, int la_cancel);
int check_change_state(int pre_state, int state);
void* sensor_state_thread(void*);
void* state_log_thread(void*);
std::string state_log_str(int type, int port);
int make_statelog(int type);
// Asks the state-log thread, the one writer of the rings, to empty the DIO
// ring (dio_only) or both; it does so before its next record.
void statelog_request_clear(bool dio_only);

// ---- Notification scenarios ------------------------------------------------
int mail_senario_check(int sensortype, int port, int state, double value, int flag);
int mqtt_senario_check(int time, int sensortype, int port, int state, int value, int flag);

// ---- Command channel, settings writer, files, system actions ---------------
void* messagequeue_thread(void*);
int make_debug_file();
int read_debug_file();
void* dbsave_thread(void*);
int cycle_change();
void* file_thread(void*);
void* network_thread(void*);
int reboot();
int syslog_sh();
int ntp_sh();
int date_sh();
int version_sh();
int get_hardware_revisions(char* text);
int db_copy();
int read_DIP_SW();
int session_conf();
