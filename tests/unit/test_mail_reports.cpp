// Mail reports: the statistics rule, the report text of every block, the
// schedules, and a minute with two reports due.
#include "event_fixture.h"
#include "mail.h"

namespace {

class MailReportsTest : public EventsTest {
protected:
    void SetUp() override
    {
        EventsTest::SetUp();
        std::memset(&report_struct, 0, sizeof report_struct);
        auto& s = sensor_settings;
        copy_text(s.digitalI[0].name, "Door");
        copy_text(s.digitalI[0].ontext, "open");
        copy_text(s.digitalI[0].offtext, "shut");
        s.digitalI[0].enable = true;
        copy_text(s.digitalO[2].name, "Fan");
        copy_text(s.digitalO[2].ontext, "running");
        copy_text(s.digitalO[2].offtext, "stopped");
        s.digitalO[2].enable = true;
        copy_text(s.analog[0].name, "Room");
        s.analog[0].enable = true;
        copy_text(s.onewire_temperature[1].name, "Rack 2");
        s.onewire_temperature[1].enable = true;
        copy_text(s.onewire_humidity[0].name, "Rack H1");
        s.onewire_humidity[0].enable = true;
        copy_text(s.veloxa[0].t_name, "VT1");
        copy_text(s.veloxa[0].h_name, "VH1");
        s.veloxa[0].enable = true;
        copy_text(s.kvt_nx40[4].name, "NX5");
        s.kvt_nx40[4].enable = true;
        copy_text(s.analog[1].name, "Off");  // not enabled: never sampled, never shown
        for (int n : {0, 2}) admin_settings.mail_report[n].mailreport_enable = 1;
        live().digitalio[0].value = 1;
        live().digitalio[10].value = 0;
        live().analog[0].value = 3000;
        live().onewire_humidity[0].value = 4550;
        live().veloxa[0].sensor_temperature.value = 2350;
        live().veloxa[0].sensor_humidity.value = 6000;
        for (int n = 0; n < 5; ++n) ini_mailreport(n);
    }
};

}  // namespace

TEST_F(MailReportsTest, ReportShowsEachEnabledChannelOfEveryBlockInItsFormat)
{
    for (int v : {1000, 2000, 65535, 3000}) mailreport_sample(KIND::AI, 0, v);
    mailreport_sample(KIND::AI, 1, 5000);
    mailreport_sample(KIND::WIRE_H, 0, 4550);
    for (int v : {2350, 2350}) mailreport_sample(KIND::VLXA_T, 0, v);
    for (int v : {5900, 6100}) mailreport_sample(KIND::VLXA_H, 0, v);
    mailreport_sample(KIND::NX40_T, 4, 65535);  // disconnected all period, like Rack 2
    EXPECT_EQ(report_struct.mailreport[1].analog[0].num, 0) << "report 2 is off";
    EXPECT_EQ(report_struct.mailreport[0].analog[1].num, 0) << "analog input 2 is off";
    EXPECT_EQ(report_text(sensor_settings, live(), report_struct.mailreport[0]),
              " 名称   瞬時値   平均値   最大値   最小値 \n"
              "------------------------------------------\n"
              " Door\n        open\n"
              " Fan\n        stopped\n"
              " Room\n       30.00  20.00  30.00  10.00\n"
              " Rack 2\n      ERROR ERROR ERROR ERROR\n"
              " Rack H1\n       45.50  45.50  45.50  45.50\n"
              " VT1\n          2350     2350     2350     2350\n"
              " VH1\n          6000     6000     6100     5900\n"
              " NX5\n      ERROR ERROR ERROR ERROR\n");
}

TEST_F(MailReportsTest, SchedulesFireOnlyAtTheirMinuteAndDay)
{
    // 2026-01-05 is a Monday.
    auto at = [](int mday, int wday, int hour, int min) {
        struct tm t{};
        t.tm_year = 126, t.tm_mon = 0, t.tm_mday = mday, t.tm_wday = wday, t.tm_hour = hour, t.tm_min = min;
        return t;
    };
    auto report = [](int kind, int day, int week) {
        SETTINGS_TABLE::Mail_report r{};
        r.mailreport_enable = kind, r.mailreport_day = day, r.mailreport_week = week;
        r.mailreport_hour = 8, r.mailreport_minute = 30;
        return r;
    };
    struct Case {
        SETTINGS_TABLE::Mail_report r;
        struct tm t;
        bool due;
    } cases[] = {
        {report(1, 0, 0), at(5, 1, 8, 30), true},   {report(1, 0, 0), at(6, 2, 8, 30), true},
        {report(1, 0, 0), at(5, 1, 8, 31), false},  {report(1, 0, 0), at(5, 1, 9, 30), false},
        {report(2, 0, 1), at(5, 1, 8, 30), true},   {report(2, 0, 1), at(6, 2, 8, 30), false},
        {report(2, 0, 1), at(4, 0, 8, 30), false},  {report(2, 0, 1), at(5, 1, 8, 29), false},
        {report(4, 5, 0), at(5, 1, 8, 30), true},   {report(4, 5, 0), at(6, 2, 8, 30), false},
        {report(0, 5, 1), at(5, 1, 8, 30), false},  {report(3, 5, 1), at(5, 1, 8, 30), false},
        {report(8, 5, 1), at(5, 1, 8, 30), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(report_due(c.r, c.t), c.due) << "kind " << c.r.mailreport_enable << " on day " << c.t.tm_mday
                                               << " " << c.t.tm_hour << ":" << c.t.tm_min;
}

TEST_F(MailReportsTest, ReportsDueTogetherAreQueuedInOrderEachResetAfterItsText)
{
    auto& a = admin_settings;
    for (int n : {0, 1, 2}) {
        a.mail_report[n].mailreport_enable = 1;
        a.mail_report[n].mailreport_hour = 8;
        a.mail_report[n].mailreport_minute = n == 1 ? 31 : 30;
    }
    for (int v : {1000, 2000, 3000}) mailreport_sample(KIND::AI, 0, v);
    live().analog[0].value = 2500;
    struct tm t{};
    t.tm_mday = 5, t.tm_wday = 1, t.tm_hour = 8, t.tm_min = 30;
    EXPECT_EQ(mailreport_minute(t), 2);
    EXPECT_EQ(drain(mail_send), (std::vector<std::string>{"1,2,", "3,2,"}));
    for (int n : {0, 2}) {
        EXPECT_NE(sb.read(report_file(n)).find(" Room\n       25.00  20.00  30.00  10.00\n"), std::string::npos) << n;
        const auto& e = report_struct.mailreport[n].analog[0];
        EXPECT_EQ(fields(e.num, e.average, e.min, e.max), "0|0|2500|2500") << "reset to the live value";
    }
    EXPECT_FALSE(sb.exists(report_file(1)));
    EXPECT_EQ(report_struct.mailreport[1].analog[0].num, 3) << "report 2 keeps its period";
}
