#!/usr/bin/env python3
# Writes KVT7400-MIB.txt, the SMIv2 module of the agent's private tree under
# both model roots (.22 KVT-7400, .23 KVT-6100), from the object lists below.
# They follow the agent's MIB tables; run this after changing either:
#     python3 mibs/make-mib.py > mibs/KVT7400-MIB.txt
import sys

THRESHOLDS = [("AlertMax", "alert upper level"), ("AlertMaxClear", "alert upper clear level"),
              ("CautionMax", "caution upper level"), ("CautionMaxClear", "caution upper clear level"),
              ("CautionMin", "caution lower level"), ("CautionMinClear", "caution lower clear level"),
              ("AlertMin", "alert lower level"), ("AlertMinClear", "alert lower clear level")]

def th(first, what):
    return [(first + i, n, "I", "rw", "Threshold of the %s: %s (hundredths)." % (what, d))
            for i, (n, d) in enumerate(THRESHOLDS)]

# Settings groups under <root>.1: (number, name, objects); an entry group
# has a count and its objects repeat under <group>.<entry>.
# Object: (number, name, type S/I/C (C: integer with instances 1..24), description)
SETTINGS = [
    (1, "Info", None, [(1, "SoftwareVersion", "S", "Software version."),
                       (2, "HardwareVersion", "S", "Hardware revision."),
                       (3, "Model", "I", "1 on the KVT-7400, 0 on the KVT-6100."),
                       (4, "UpdateTime", "S", "Time of the last software update.")]),
    (2, "Network", None, [(1, "HostName", "S", "Host name."), (2, "Dhcp", "I", "1 when the address comes from DHCP."),
                          (3, "IpAddress", "S", "Address."), (4, "Netmask", "S", "Netmask."),
                          (5, "Gateway", "S", "Default gateway."), (6, "Dns1", "S", "First name server."),
                          (7, "Dns2", "S", "Second name server."), (8, "Dns3", "S", "Third name server.")]),
    (3, "SnmpAccess", 8, [(1, "Address", "S", "Manager address, optionally with /prefix length."),
                          (2, "Community", "S", "Community the manager must send; reads as an empty string."),
                          (3, "Enable", "I", "1 when the entry admits managers.")]),
    (4, "TrapReceiver", 8, [(1, "Address", "S", "Trap receiver address."), (2, "Community", "S", "Trap community; reads as an empty string."),
                            (3, "Version", "I", "Trap version."),
                            (4, "Scenario", "C", "Trap scenario words: kind in bits 0-7, port in bits 8-23, "
                                                 "states in bits 24-29, enable in bit 31.")]),
    (5, "Time", None, [(1, "NtpServer1", "S", "First NTP server."), (2, "NtpServer2", "S", "Second NTP server."),
                       (3, "NtpServer3", "S", "Third NTP server.")]),
    (6, "Mqtt", None, [(1, "UnitId", "I", "Unit id in the MQTT topics."), (2, "Broker", "S", "Broker address."),
                       (3, "Port", "I", "Broker port."), (4, "Login", "S", "Broker account."),
                       (5, "Password", "S", "Broker password; reads as an empty string."),
                       (6, "Scenario", "C", "MQTT scenario words, as the trap scenario words.")]),
    (7, "Mail", None, [(1, "SmtpServer", "S", "SMTP server."), (2, "SmtpPort", "I", "SMTP port."),
                       (3, "Account", "S", "SMTP account."), (4, "Password", "S", "SMTP password; reads as an empty string."),
                       (5, "Address", "S", "Mail address."), (6, "Sender", "S", "Sender name."),
                       (7, "SmtpAuth", "I", "1 with SMTP authentication."), (8, "Encode", "I", "Encryption method."),
                       (9, "SendMail", "I", "1 when mails are sent.")]),
    (8, "MailClient", 5, [(1, "Address", "S", "Recipient address."), (2, "Subject", "S", "Mail subject."),
                          (3, "Scenario", "C", "Mail scenario words, as the trap scenario words.")]),
    (9, "MailReport", 5, [(1, "Client", "I", "Recipient of the report."), (2, "Subject", "S", "Report subject."),
                          (3, "Enable", "I", "1 when the report is sent."), (4, "Day", "I", "Day of the month."),
                          (5, "Week", "I", "Day of the week."), (6, "Hour", "I", "Hour."),
                          (7, "Minute", "I", "Minute.")]),
    (11, "Syslog", None, [(1, "Address", "S", "Remote syslog address."), (2, "Port", "I", "Remote syslog port."),
                          (3, "Destination", "I", "Where the system log goes.")]),
]

# Status tables under <root>.2: (number, name, rows, only on the KVT-7400, columns)
# Column: (number, name, type S/I, access rw/ro, description)
def wire(what, trend):
    return ([(1, "Name", "S", "rw", "Display name of the %s probe." % what),
             (2, "Enable", "I", "rw", "1 when the probe is read.")] + th(3, "probe") +
            [(11, "DeviceId", "S", "rw", "ROM code of the probe, 16 hexadecimal digits."),
             (12, "Value", "I", "ro", "Live value in hundredths; 65535 without a reading."),
             (13, "Status", "I", "ro", "State: 1 normal, 2 caution, 3 alert, 4 error, 5 none."),
             (14, "Connected", "I", "ro", "1 while the probe answers."),
             (15, "TrendId", "I", "rw", "Trend group %s." % trend), (16, "Log", "I", "rw", "1 when logged.")])

def vlxa(side):
    return ([(1, "MeshCycle", "I", "rw", "Rows 1-5: the mesh reporting cycle switch; other rows read 0."),
             (2, "Name", "S", "rw", "Display name of the sensor."),
             (3, "ChannelName", "S", "rw", "Display name of the %s channel." % side),
             (4, "Enable", "I", "rw", "1 when the sensor is taken in.")] + th(5, side + " channel") +
            [(13, "DeviceId", "S", "rw", "Identifier of the sensor, 16 hexadecimal digits."),
             (14, "Value", "I", "ro", "Live %s in hundredths; 65535 without a report." % side),
             (15, "Status", "I", "ro", "State: 1 normal, 2 caution, 3 alert, 4 error, 5 none."),
             (16, "Reporting", "I", "ro", "1 while the sensor reports."),
             (17, "BatteryState", "I", "ro", "State code of the battery."),
             (18, "TrendId", "I", "rw", "Trend group."), (19, "Log", "I", "rw", "1 when logged.")])

STATUS = [
    (1, "Dio", 16, False, [
        (1, "Name", "S", "rw", "Display name; rows 1-8 inputs, 9-16 relay outputs."),
        (2, "DetectTime", "I", "rw", "Inputs: seconds a level must persist."),
        (3, "OnText", "S", "rw", "Label of the on state."), (4, "OffText", "S", "rw", "Label of the off state."),
        (5, "InitLevel", "I", "rw", "Outputs: level at start-up."),
        (6, "Keep", "I", "rw", "Outputs: hold after switching."),
        (7, "Enable", "I", "rw", "1 when the port is in use."),
        (8, "OnRule", "I", "rw", "Outputs: switch-on rule word."),
        (9, "OffRule", "I", "rw", "Outputs: switch-off rule word."),
        (10, "ErrorText", "I", "rw", "Error text selection 1-5."),
        (11, "TrendId", "I", "rw", "Inputs: trend group 0-5."),
        (12, "Level", "I", "rw", "Live level; a SET of 0 or 1 switches an output."),
        (13, "Pulse", "I", "rw", "Reads 0; a SET of n pulses an output for n + 1 seconds."),
        (14, "Status", "I", "ro", "State: 1 normal, 2 caution, 3 alert, 4 error, 5 none."),
        (15, "Levels", "S", "rw", "The 16 live levels; a SET of 9 characters switches the outputs.")]),
    (2, "Ai", 8, False, [
        (1, "Name", "S", "rw", "Display name of the analog input."), (2, "Enable", "I", "rw", "1 when read."),
        (3, "InputMax", "I", "rw", "Upper end of the input range."),
        (4, "InputMin", "I", "rw", "Lower end of the input range."),
        (5, "OutputMax", "I", "rw", "Displayed value at the upper end."),
        (6, "OutputMin", "I", "rw", "Displayed value at the lower end.")] + th(7, "input") + [
        (15, "ErrSampling", "I", "rw", "Error sampling setting."), (16, "Unit", "S", "rw", "Unit text."),
        (17, "TrendId", "I", "rw", "Trend group."), (18, "Log", "I", "rw", "1 when logged."),
        (19, "Range", "I", "rw", "Input range: 0 current, 1-5 voltage."),
        (20, "Value", "I", "ro", "Live value in hundredths of the unit; 65535 without a reading."),
        (21, "Status", "I", "ro", "State: 1 normal, 2 caution, 3 alert, 4 error, 5 none."),
        (22, "Error", "I", "ro", "1 while the input is in error.")]),
    (3, "WireTemp", 128, False, wire("1-Wire temperature", "0-5")),
    (4, "WireHumid", 16, False, wire("1-Wire humidity", "")),
    (5, "VlxaTemp", 50, True, vlxa("temperature")),
    (6, "VlxaHumid", 50, True, vlxa("humidity")),
    (7, "Nx40", 100, True, [
        (1, "Battery", "I", "rw", "Rows 2-5: battery alert, alert clear, caution and caution clear levels."),
        (2, "Name", "S", "rw", "Display name of the sensor."), (3, "Enable", "I", "rw", "1 when taken in.")] +
        th(4, "sensor") + [
        (12, "DeviceId", "S", "rw", "Identifier of the sensor, eight hexadecimal pairs joined by colons."),
        (13, "Value", "I", "ro", "Live temperature in hundredths; 65535 without a report."),
        (14, "Status", "I", "ro", "State: 1 normal, 2 caution, 3 alert, 4 error, 5 none."),
        (15, "Reporting", "I", "ro", "1 while the sensor reports."),
        (16, "BatteryStatus", "I", "ro", "State of the battery."),
        (17, "TrendId", "I", "rw", "Trend group."), (18, "Log", "I", "rw", "1 when logged.")]),
    (8, "Trend", 5, False, [
        (1, "Enable", "I", "rw", "1 when the trend group judges."), (2, "Minutes", "I", "rw", "Window in minutes."),
        (3, "AlertUpperPercent", "I", "rw", "Percentage beyond the alert upper level."),
        (4, "AlertLowerPercent", "I", "rw", "Percentage beyond the alert lower level."),
        (5, "CautionUpperPercent", "I", "rw", "Percentage beyond the caution upper level."),
        (6, "CautionLowerPercent", "I", "rw", "Percentage beyond the caution lower level.")]),
]

# Traps under <root>.3: the test trap, the complement traps (their number
# under 3.3, the packed word at 3.4) and one expansion trap per sensor kind
# under 3.5 with its port, state and value bindings.
# (number, name, description)
COMPLEMENT = [(1, "Caution", "entered a caution state"), (2, "Alert", "entered an alert state"),
              (3, "CautionCleared", "back to normal from a caution state"),
              (4, "AlertCleared", "back to normal from an alert state"),
              (5, "PortOff", "a digital port switched off"), (6, "PortOn", "a digital port switched on"),
              (7, "Error", "lost its reading"), (8, "Normal", "normal after no state or an error")]
# (kind code, name, what, only on the KVT-7400)
KINDS = [(1, "Dio", "digital port", False), (2, "Ai", "analog input", False),
         (3, "WireTemp", "1-Wire temperature probe", False), (4, "WireHumid", "1-Wire humidity probe", False),
         (5, "VlxaTemp", "VLXA temperature channel", True), (6, "VlxaHumid", "VLXA humidity channel", True),
         (7, "VlxaBattery", "VLXA battery", True), (8, "Nx40Temp", "NX40 temperature sensor", True),
         (9, "Nx40Battery", "NX40 battery", True)]

out = []
w = out.append

def obj(name, parent, num, typ, access, descr):
    syntax = "DisplayString (SIZE (0..127))" if typ == "S" else "Integer32"
    w("%s OBJECT-TYPE\n    SYNTAX      %s\n    MAX-ACCESS  %s\n    STATUS      current\n"
      "    DESCRIPTION\n        \"%s\"\n    ::= { %s %d }\n" %
      (name, syntax, "read-write" if access == "rw" else "read-only", descr, parent, num))
    return name

def notify_obj(name, parent, num, descr):
    w("%s OBJECT-TYPE\n    SYNTAX      Integer32\n    MAX-ACCESS  accessible-for-notify\n    STATUS      current\n"
      "    DESCRIPTION\n        \"%s\"\n    ::= { %s %d }\n" % (name, descr, parent, num))
    return name

def notification(name, parent, num, objects, descr):
    objs = "    OBJECTS     { %s }\n" % ", ".join(objects) if objects else ""
    w("%s NOTIFICATION-TYPE\n%s    STATUS      current\n    DESCRIPTION\n        \"%s\"\n"
      "    ::= { %s %d }\n" % (name, objs, descr, parent, num))
    return name

def traps(root, p, k7400):
    objects, notifications = [], []
    t = p + "Traps"
    oid(t, root, 3)
    oid(p + "TestTraps", t, 1)
    oid(p + "TestInfo", t, 2)
    oid(p + "ComplementTraps", t, 3)
    oid(p + "ExpansionTraps", t, 5)
    w("")
    objects.append(notify_obj(p + "TestTrapInfo", p + "TestInfo", 6, "Always 1."))
    notifications.append(notification(p + "TestTrap", p + "TestTraps", 6, [p + "TestTrapInfo"],
                                      "The test trap the web UI asks for; SNMPv1: enterprise-specific 0."))
    objects.append(notify_obj(p + "TrapWord", t, 4,
                              "Which sensor: port in bits 25-31, kind code in bits 0-7 (4 digital I/O, 16 analog, "
                              "28 1-Wire temperature, 32 1-Wire humidity, 76 VLXA temperature, 80 VLXA humidity, "
                              "84 VLXA battery, 88 NX40 temperature, 92 NX40 battery), bit 0 the second 1-Wire "
                              "channel. Sent without an instance suffix."))
    for num, name, what in COMPLEMENT:
        notifications.append(notification(p + name + "Trap", p + "ComplementTraps", num, [p + "TrapWord"],
                                          "A sensor " + what + "; sent to every receiver. SNMPv1: this OID as "
                                          "enterprise, enterprise-specific 0."))
    for code, name, what, only7400 in KINDS:
        if only7400 and not k7400:
            continue
        # The bindings sit below the notification's own OID, where no object
        # can be defined; the description names them.
        value = "its level as 20 (on) or 10 (off)" if code == 1 else "its value in hundredths"
        notifications.append(notification(
            p + name + "Trap", p + "ExpansionTraps", code, [],
            "A state change of a %s that a trap scenario selects. Bindings, all INTEGER: this OID .1.<port> the "
            "port number, .2.<s> the state s (1 normal, 2 caution, 3 alert, 4 error or no state), .3.<port> %s. "
            "SNMPv1: this OID as enterprise, enterprise-specific 0." % (what, value)))
    return objects, notifications

def oid(name, parent, num):
    w("%s OBJECT IDENTIFIER ::= { %s %d }" % (name, parent, num))

def model(root, p, k7400):
    settings, status = [], []
    oid(p + "Settings", root, 1)
    oid(p + "Status", root, 2)
    oid(p + "Conformance", root, 4)
    w("")
    for num, name, count, objs in SETTINGS:
        grp = p + name
        oid(grp, p + "Settings", num)
        w("")
        for e in range(1, (count or 1) + 1):
            parent = grp
            if count:
                parent = "%s%d" % (grp, e)
                oid(parent, grp, e)
                w("")
            for n, oname, typ, descr in objs:
                d = descr if not count else "Entry %d: %s" % (e, descr)
                settings.append(obj(parent + oname, parent, n, "S" if typ == "S" else "I", "ro", d))
        if num == 9:
            cycles = "1-8" if k7400 else "1-5"
            settings.append(obj(p + "SensorLogCycle", p + "Settings", 10, "I", "ro",
                                "Sensor log cycles in minutes, instances %s." % cycles))
    for num, name, rows, only7400, cols in STATUS:
        if only7400 and not k7400:
            continue
        table = p + name
        oid(table, p + "Status", num)
        w("")
        for n, cname, typ, access, descr in cols:
            status.append(obj(table + cname, table, n, typ, access, descr + " Instances are the rows 1-%d." % rows
                              if n != 15 or name != "Dio" else descr))
    status.append(obj(p + "ChangeCounter", p + "Status", 20, "I", "ro", "Settings change counter, 1-5000."))
    trap_objects, notifications = traps(root, p, k7400)
    oid(p + "Groups", p + "Conformance", 1)
    oid(p + "Compliances", p + "Conformance", 2)
    w("")
    for num, (gname, members, what) in enumerate(((p + "SettingsGroup", settings, "settings"),
                                                  (p + "StatusGroup", status, "status"),
                                                  (p + "TrapObjectsGroup", trap_objects, "trap binding")), 1):
        w("%s OBJECT-GROUP\n    OBJECTS {\n        %s\n    }\n    STATUS      current\n    DESCRIPTION\n"
          "        \"The %s objects.\"\n    ::= { %s %d }\n" %
          (gname, ",\n        ".join(members), what, p + "Groups", num))
    w("%sNotificationsGroup NOTIFICATION-GROUP\n    NOTIFICATIONS {\n        %s\n    }\n    STATUS      current\n"
      "    DESCRIPTION\n        \"The traps.\"\n    ::= { %sGroups 4 }\n" %
      (p, ",\n        ".join(notifications), p))
    w("%sCompliance MODULE-COMPLIANCE\n    STATUS      current\n    DESCRIPTION\n"
      "        \"An agent of this model serves all its objects.\"\n    MODULE\n"
      "        MANDATORY-GROUPS { %sSettingsGroup, %sStatusGroup, %sTrapObjectsGroup, %sNotificationsGroup }\n"
      "    ::= { %sCompliances 1 }\n" % (p, p, p, p, p, p))

w("""KVT7400-MIB DEFINITIONS ::= BEGIN

IMPORTS
    MODULE-IDENTITY, OBJECT-TYPE, NOTIFICATION-TYPE, Integer32, enterprises
        FROM SNMPv2-SMI
    DisplayString
        FROM SNMPv2-TC
    MODULE-COMPLIANCE, OBJECT-GROUP, NOTIFICATION-GROUP
        FROM SNMPv2-CONF;

kvt7400 MODULE-IDENTITY
    LAST-UPDATED "202501010000Z"
    ORGANIZATION "KVT"
    CONTACT-INFO "KVT appliance support"
    DESCRIPTION
        "The private tree of the KVT-7400 and KVT-6100 environment-monitoring
        appliances: the settings (read-only) and the live status tables with
        their writable settings. The KVT-7400 serves it under kvt7400, the
        KVT-6100 under kvt6100, without the VLXA and NX40 tables. Table
        columns take the row as instance; settings objects and the scalars
        are served without an instance suffix. The traps of each model are
        defined under its subtree 3."
    REVISION "202501010000Z"
    DESCRIPTION
        "First version."
    ::= { kvt 22 }

kvt OBJECT IDENTIFIER ::= { enterprises 58213 }
kvt6100 OBJECT IDENTIFIER ::= { kvt 23 }
""")
model("kvt7400", "k74", True)
model("kvt6100", "k61", False)
w("END")
sys.stdout.write("\n".join(out) + "\n")
