// Mail reports: the statistics and the text of every block, the schedules,
// and a minute with two reports due.
#include "event_fixture.h"
#include "mail.h"

class MailReportsTest : public EventsTest {
protected:
    void SetUp() override
    {
        EventsTest::SetUp();
        std::memset(&report_struct, 0, sizeof report_struct);
        auto& s = sensor_settings;
        auto on = [](auto& rec, const char* name) { copy_text(rec.name, name), rec.enable = true; };
        on(s.digitalI[0], "Door");
        copy_text(s.digitalI[0].ontext, "open");
        on(s.digitalO[2], "Fan");
        copy_text(s.digitalO[2].offtext, "stopped");
        on(s.analog[0], "Room");
        on(s.onewire_temperature[1], "Rack 2");
        on(s.veloxa[0], "");
        copy_text(s.veloxa[0].t_name, "VT1");
        copy_text(s.veloxa[0].h_name, "VH1");
        on(s.kvt_nx40[4], "NX5");
        admin_settings.mail_report[0].mailreport_enable = 1;
        live().digitalio[0].value = 1;
        live().analog[0].value = 3000;
        live().veloxa[0].sensor_temperature.value = 2350;
        live().veloxa[0].sensor_humidity.value = 6000;
        for (int n = 0; n < 5; ++n) ini_mailreport(n);
    }
};

TEST_F(MailReportsTest, ReportShowsEachEnabledChannelOfEveryBlockInItsFormat)
{
    for (int v : {1000, 2000, 65535, 3000}) mailreport_sample(KIND::AI, 0, v);
    for (int v : {2350, 2350}) mailreport_sample(KIND::VLXA_T, 0, v);
    for (int v : {5900, 6100}) mailreport_sample(KIND::VLXA_H, 0, v);
    mailreport_sample(KIND::NX40_T, 4, 65535);  // disconnected all period, like Rack 2
    EXPECT_EQ(report_text(sensor_settings, live(), report_struct.mailreport[0]),
              " 名称   瞬時値   平均値   最大値   最小値 \n"
              "------------------------------------------\n"
              " Door\n        open\n"
              " Fan\n        stopped\n"
              " Room\n       30.00  20.00  30.00  10.00\n"
              " Rack 2\n      ERROR ERROR ERROR ERROR\n"
              " VT1\n          2350     2350     2350     2350\n"
              " VH1\n          6000     6000     6100     5900\n"
              " NX5\n      ERROR ERROR ERROR ERROR\n");
}

TEST_F(MailReportsTest, SchedulesFireOnlyAtTheirMinuteAndDay)
{
    // kind, day, weekday of the report; day, weekday, hour, minute of the
    // time; due. 2026-01-05 is a Monday.
    const int cases[][8] = {
        {1, 0, 0, 5, 1, 8, 30, 1}, {1, 0, 0, 6, 2, 8, 30, 1}, {1, 0, 0, 5, 1, 8, 31, 0}, {1, 0, 0, 5, 1, 9, 30, 0},
        {2, 0, 1, 5, 1, 8, 30, 1}, {2, 0, 1, 6, 2, 8, 30, 0}, {2, 0, 1, 5, 1, 8, 29, 0}, {4, 5, 0, 5, 1, 8, 30, 1},
        {4, 5, 0, 6, 2, 8, 30, 0}, {0, 5, 1, 5, 1, 8, 30, 0}, {3, 5, 1, 5, 1, 8, 30, 0},
    };
    for (const auto& c : cases) {
        SETTINGS_TABLE::Mail_report r{};
        r.mailreport_enable = c[0], r.mailreport_day = c[1], r.mailreport_week = c[2];
        r.mailreport_hour = 8, r.mailreport_minute = 30;
        struct tm t{};
        t.tm_mday = c[3], t.tm_wday = c[4], t.tm_hour = c[5], t.tm_min = c[6];
        EXPECT_EQ(report_due(r, t), c[7] == 1) << c[0] << " " << c[3] << " " << c[5] << ":" << c[6];
    }
}

TEST_F(MailReportsTest, ReportsDueTogetherAreQueuedInOrderEachResetAfterItsText)
{
    for (int n : {0, 1, 2}) {
        auto& r = admin_settings.mail_report[n];
        r.mailreport_enable = 1, r.mailreport_hour = 8, r.mailreport_minute = n == 1 ? 31 : 30;
    }
    for (int v : {1000, 2000, 3000}) mailreport_sample(KIND::AI, 0, v);
    live().analog[0].value = 2500;
    struct tm t{};
    t.tm_hour = 8, t.tm_min = 30;
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
