-- Factory configuration database of the KVT-7400 (schema version 1.1.3).
-- The web UI owns these tables; the service relies on the column order.
-- Switched-off thresholds: upper 2147483647, lower -2147483648.

CREATE TABLE webapp_di (id integer primary key, name text, time integer,
  ontext text, offtext text, enable bool, log bool, errortext_id integer,
  trend_id integer);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 8)
INSERT INTO webapp_di SELECT i, 'DI' || i, 0, 'ON', 'OFF', 0, 0, 1, 0 FROM n;

CREATE TABLE webapp_do (id integer primary key, name text, ontext text,
  offtext text, doinit bool, dokeep bool, enable bool, ontype integer,
  onsensor integer, onstate integer, onenable bool, offtype integer,
  offsensor integer, offstate integer, offenable bool, log bool,
  errortext_id integer, trend_id integer);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 8)
INSERT INTO webapp_do SELECT i, 'DO' || i, 'ON', 'OFF', 0, 0, 0,
  0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0 FROM n;

CREATE TABLE webapp_ai (id integer primary key, name text, enable bool,
  input_max integer, input_min integer, output_max integer,
  output_min integer, alert_max_val integer, alert_max_clear integer,
  caution_max_val integer, caution_max_clear integer,
  caution_min_val integer, caution_min_clear integer,
  alert_min_val integer, alert_min_clear integer, err_sampling integer,
  unit text, log bool, range_type integer, trend_id integer);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 8)
INSERT INTO webapp_ai SELECT i, 'AI' || i, 0, 2000, 400, 10000, 0,
  2147483647, 2147483647, 2147483647, 2147483647,
  -2147483648, -2147483648, -2147483648, -2147483648,
  10, 'mA', 0, 0, 0 FROM n;

CREATE TABLE webapp_wire_temp (id integer primary key, name text,
  device_ID text, enable bool, alert_max_val integer,
  alert_max_clear integer, caution_max_val integer,
  caution_max_clear integer, caution_min_val integer,
  caution_min_clear integer, alert_min_val integer,
  alert_min_clear integer, log bool, trend_id integer);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 128)
INSERT INTO webapp_wire_temp SELECT i, 'Temp' || i, '', 0,
  2147483647, 2147483647, 2147483647, 2147483647,
  -2147483648, -2147483648, -2147483648, -2147483648, 0, 0 FROM n;

CREATE TABLE webapp_wire_humid (id integer primary key, name text,
  device_ID text, enable bool, alert_max_val integer,
  alert_max_clear integer, caution_max_val integer,
  caution_max_clear integer, caution_min_val integer,
  caution_min_clear integer, alert_min_val integer,
  alert_min_clear integer, log bool, trend_id integer);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 16)
INSERT INTO webapp_wire_humid SELECT i, 'Humid' || i, '', 0,
  2147483647, 2147483647, 2147483647, 2147483647,
  -2147483648, -2147483648, -2147483648, -2147483648, 0, 0 FROM n;

CREATE TABLE webapp_vlxa (id integer primary key, name text, device_ID text,
  t_name text, enable bool, t_alert_max_val integer,
  t_alert_max_clear integer, t_caution_max_val integer,
  t_caution_max_clear integer, t_caution_min_val integer,
  t_caution_min_clear integer, t_alert_min_val integer,
  t_alert_min_clear integer, t_log bool, h_name text,
  h_alert_max_val integer, h_alert_max_clear integer,
  h_caution_max_val integer, h_caution_max_clear integer,
  h_caution_min_val integer, h_caution_min_clear integer,
  h_alert_min_val integer, h_alert_min_clear integer, h_log bool,
  h_trend_id integer, t_trend_id integer);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 50)
INSERT INTO webapp_vlxa SELECT i, 'VLXA' || i, '', 'VLXA' || i || '_Temp', 0,
  2147483647, 2147483647, 2147483647, 2147483647,
  -2147483648, -2147483648, -2147483648, -2147483648, 0,
  'VLXA' || i || '_Humid',
  2147483647, 2147483647, 2147483647, 2147483647,
  -2147483648, -2147483648, -2147483648, -2147483648, 0, 0, 0 FROM n;

CREATE TABLE webapp_nx40 (id integer primary key, name text,
  device_ID text, enable bool, alert_max_val integer,
  alert_max_clear integer, caution_max_val integer,
  caution_max_clear integer, caution_min_val integer,
  caution_min_clear integer, alert_min_val integer,
  alert_min_clear integer, log bool, trend_id integer);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100)
INSERT INTO webapp_nx40 SELECT i, 'NX40_' || i, '', 0,
  2147483647, 2147483647, 2147483647, 2147483647,
  -2147483648, -2147483648, -2147483648, -2147483648, 0, 0 FROM n;

-- Mesh-sensor report age limit in seconds.
CREATE TABLE webapp_SM_errortime (id integer primary key, time integer);
INSERT INTO webapp_SM_errortime VALUES (1, 300);

-- Reporting cycle in minutes: VLXA, NX40, spare.
CREATE TABLE webapp_smartmesh_cycle (id integer primary key, name text,
  cycle_minutes integer);
INSERT INTO webapp_smartmesh_cycle VALUES (1, 'VLXA', 1), (2, 'NX40', 1),
  (3, 'spare', 1);

-- Ids 0 to 5: the settings writer uses the rule number itself as id.
-- The four per-threshold percentages start equal to the single one.
CREATE TABLE webapp_trend_list (id integer primary key, name text,
  enable bool, minutes integer, percentage integer, au_per integer,
  al_per integer, cu_per integer, cl_per integer);
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 5)
INSERT INTO webapp_trend_list SELECT i, 'Trend' || (i + 1), 0, 10, 50,
  50, 50, 50, 50 FROM n;

-- Battery levels: row 1 VLXA, row 2 NX40.
CREATE TABLE webapp_bat_config (id integer primary key, alert integer,
  alert_clear integer, caution integer, caution_clear integer);
INSERT INTO webapp_bat_config VALUES (1, 260, 270, 280, 290),
  (2, 335, 340, 345, 350);

CREATE TABLE webapp_network_config (id integer primary key, net_host text,
  net_dhcp bool, net_ipaddr text, net_mask text, net_broadcast text,
  net_gateway text, net_dns1 text, net_dns2 text, net_dns3 text);
INSERT INTO webapp_network_config VALUES (1, 'KVT7400', 0, '192.168.1.200',
  '255.255.255.0', '192.168.1.255', '192.168.1.1', '', '', '');

CREATE TABLE webapp_snmp_config (id integer primary key,
  snmp_access_ipaddr text, snmp_access_community text,
  snmp_access_enable bool);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 8)
INSERT INTO webapp_snmp_config SELECT i, '0.0.0.0', 'public', 0 FROM n;

CREATE TABLE webapp_snmp_trap_send (id integer primary key,
  snmp_trap_send_sendto text, snmp_trap_send_community text,
  snmp_trap_send_version integer, snmp_trap_send_portoid bool,
  snmp_trap_send_user integer);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 8)
INSERT INTO webapp_snmp_trap_send SELECT i, '0.0.0.0', 'public', 1, 0, 1 FROM n;

-- SNMPv3 users: auth 0 none, 1 SHA-1, 2 SHA-224, 3 SHA-256, 4 SHA-384,
-- 5 SHA-512; priv 0 none, 1 AES-128, 2 AES-192, 3 AES-256; access 0
-- read-only, 1 read-write. Shipped empty and disabled.
CREATE TABLE webapp_snmp_user (id integer primary key, snmp_user_name text,
  snmp_user_auth integer, snmp_user_auth_pass text, snmp_user_priv integer,
  snmp_user_priv_pass text, snmp_user_access integer, snmp_user_enable bool);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 8)
INSERT INTO webapp_snmp_user SELECT i, '', 0, '', 0, '', 0, 0 FROM n;

-- The SNMPv1/v2c switch, and the engine's boot count (the service's own).
CREATE TABLE webapp_snmp_agent (id integer primary key,
  snmp_v1v2c_enable bool, snmp_engine_boots integer);
INSERT INTO webapp_snmp_agent VALUES (1, 1, 0);

-- Ids 0 to 192: row 0 is never read, entry i lives in row id i + 1.
CREATE TABLE webapp_trap_scenario (id integer primary key,
  sensortype integer, sensor integer, state integer, enable bool);
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 192)
INSERT INTO webapp_trap_scenario SELECT i, 0, 0, 0, 0 FROM n;

CREATE TABLE webapp_timer (id integer primary key, time_year integer,
  time_month integer, time_day integer, time_hour integer,
  time_minute integer, time_second integer, ntp text);
INSERT INTO webapp_timer VALUES (1, 2024, 1, 1, 0, 0, 0, '');

-- mqtt_tls: 0 plain, 1 TLS verifying the broker against mqtt_cafile,
-- 2 TLS with the client certificate mqtt_certfile and its key mqtt_keyfile.
CREATE TABLE webapp_mqttconfig (id integer primary key, mqtt_id integer,
  mqtt_addr text, mqtt_port integer, mqtt_account text, mqtt_password text,
  mqtt_tls integer, mqtt_cafile text, mqtt_certfile text, mqtt_keyfile text);
INSERT INTO webapp_mqttconfig VALUES (1, 1, '0.0.0.0', 1883, '', '',
  0, '/etc/ssl/certs/ca-certificates.crt', '', '');

CREATE TABLE webapp_mqtt_scenario (id integer primary key,
  sensortype integer, sensor integer, state integer, enable bool);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 24)
INSERT INTO webapp_mqtt_scenario SELECT i, 0, 0, 0, 0 FROM n;

CREATE TABLE webapp_mailconfig (id integer primary key, mail_smtp text,
  mail_smtp_port integer, mail_account text, mail_password text,
  mail_mailaddr text, mail_sender text, mail_smtp_method bool,
  mail_smtp_auth bool, mail_sendmail bool);
INSERT INTO webapp_mailconfig VALUES (1, '', 25, '', '', '', 'KVT7400',
  0, 0, 0);

CREATE TABLE webapp_mail_client (id integer primary key,
  mailclient_addr text, mailclient_subject text);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 5)
INSERT INTO webapp_mail_client SELECT i, '', 'KVT7400 alert' FROM n;

-- Ids 0 to 120: row 0 is never read, entry i lives in row id i + 1.
CREATE TABLE webapp_mail_client_scenario (id integer primary key,
  sensortype integer, sensor integer, state integer, enable bool);
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 120)
INSERT INTO webapp_mail_client_scenario SELECT i, 0, 0, 0, 0 FROM n;

CREATE TABLE webapp_mailreport (id integer primary key,
  mailreport_addr integer, mailreport_subject text,
  mailreport_enable integer, mailreport_day integer,
  mailreport_week integer, mailreport_hour integer,
  mailreport_minute integer);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 5)
INSERT INTO webapp_mailreport SELECT i, 0, 'KVT7400 report', 0, 1, 0, 9, 0
  FROM n;

-- Entries 0 to 7: writing periods in seconds; 8 to 13: retention in months.
CREATE TABLE webapp_sensor_log_cycle (id integer primary key, name text,
  cycle_minutes integer);
INSERT INTO webapp_sensor_log_cycle VALUES
  (1, 'digital', 60), (2, 'status', 60), (3, 'analog', 60),
  (4, 'wire_temp', 60), (5, 'wire_humid', 60), (6, 'vlxa_temp', 60),
  (7, 'vlxa_humid', 60), (8, 'nx40', 60),
  (9, 'analog_keep', 12), (10, 'wire_temp_keep', 12),
  (11, 'wire_humid_keep', 12), (12, 'vlxa_temp_keep', 12),
  (13, 'vlxa_humid_keep', 12), (14, 'nx40_keep', 12);

CREATE TABLE webapp_systemlog (id integer primary key,
  syslog_destination integer, syslog_ip text, syslog_port text);
INSERT INTO webapp_systemlog VALUES (1, 0, '', '514');

-- 1-Wire retries: row 1 temperature probes, row 2 humidity probes.
CREATE TABLE webapp_onewire_conf (id integer primary key, num integer,
  interval integer, log bool);
INSERT INTO webapp_onewire_conf VALUES (1, 30, 1000, 0), (2, 30, 1000, 0);

CREATE TABLE webapp_user (id integer primary key, username text,
  password text, is_superuser bool);
INSERT INTO webapp_user VALUES (1, 'admin', 'admin', 1);

CREATE TABLE db_version (id integer primary key, version text);
INSERT INTO db_version VALUES (1, '1.1.3');
