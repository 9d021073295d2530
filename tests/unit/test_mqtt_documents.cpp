// The texts the MQTT client builds: notifications from queue records,
// response envelopes and escaped texts.
#include <gtest/gtest.h>

#include <cstdlib>

#include "mqtt.h"

TEST(MqttDocuments, NotificationLayoutAndMalformedRecordsRefused)
{
    setenv("TZ", "UTC", 1);
    tzset();
    std::string doc;
    ASSERT_TRUE(mqtt_notification_document("1767607263,2,1,5,3500,", 12, doc));
    EXPECT_EQ(doc, "{ \"unit_id\":12, \"time\":\"2026-01-05 10:01:03\", \"mqtt_id\":1000, \"sensor\":2, \"port\":1, "
                   "\"state\":5, \"value\":3500}");
    for (const char* bad : {"", "1,2,3,4,", "a,2,3,4,5,", "1,2,3,4,99999999999999999999,", "1, 2,3,4,5,", "1,2,3,4,5"})
        EXPECT_FALSE(mqtt_notification_document(bad, 12, doc)) << "record \"" << bad << "\"";
}

TEST(MqttDocuments, ResponseDropsOnlyTheDataTextsTrailingComma)
{
    const std::string head = "{\"unit_id\":3,\"time\":\"1970-01-01 00:00:00\",\"readwrite\":0,\"mqtt_id\":";
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(mqtt_response_document(3, 0, 0, 1, "{\"d1\":\"a,}b\",}"), head + "1,\"data\":{\"d1\":\"a,}b\"}}")
        << "a ',}' inside a text stays";
}

TEST(MqttDocuments, EscapedTextsAreValidJsonStringBodies)
{
    struct Case {
        std::string in, out;
    } cases[] = {
        {"Rack \"A\"", "Rack \\\"A\\\""},
        {"C:\\temp", "C:\\\\temp"},
        {"a\nb\x01", "a\\u000ab\\u0001"},
        {"温度", "温度"},
        {std::string("温度").substr(0, 4), "温\xEF\xBF\xBD"},  // cut inside the second character
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},          // an overlong form is no character
    };
    for (const auto& c : cases) {
        EXPECT_EQ(json_escape(c.in), c.out);
        picojson::value v;
        EXPECT_EQ(picojson::parse(v, "\"" + json_escape(c.in) + "\""), "") << c.in;
    }
}

TEST(MqttDocuments, StatusCodesAsSentOverMqtt)
{
    struct Case {
        int state, sent;
    } cases[] = {{0, 5}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 3}, {6, 2}, {7, 2}, {8, 3}, {9, 2}, {-1, 5}};
    for (const Case& c : cases) EXPECT_EQ(send_status(c.state), c.sent) << c.state;
}

TEST(MqttDocuments, OutboxKeepsOrderDropsTheOldestBeyondItsCapacityAndSurvivesItsFile)
{
    MqttOutbox box(3);
    for (const char* d : {"n1", "n2", "n3", "n4", "n5"}) box.push(d);
    EXPECT_EQ(box.dropped(), 2u);
    EXPECT_EQ(box.save_text(), "n3\nn4\nn5\n");
    // Read back behind what already waits; empty lines are nothing.
    MqttOutbox again(1000);
    again.push("new");
    again.load_text("n3\n\nn4\nn5");
    std::string order;
    for (; !again.empty(); again.pop()) order += again.front() + " ";
    EXPECT_EQ(order, "new n3 n4 n5 ");
    EXPECT_EQ(MqttOutbox().save_text(), "");
}
