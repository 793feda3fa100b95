// The control server over real TCP connections, and the configuration behind it.
#include "exchange/tests/ExchangeHarness.h"

#include <gtest/gtest.h>

namespace exchange::test {
namespace {

int ErrorCode(const QJsonObject& answer) { return answer.value("error").toObject().value("code").toInt(); }

class ExchangeControlTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(pbx.Start(error)) << error;
    }
    Exchange pbx{TestConfig()};
};

TEST_F(ExchangeControlTest, SessionFromLoginToClassesOfServiceAndStableLineIds)
{
    ControlClient client;
    ASSERT_TRUE(client.Connect(pbx.ControlPort()));
    // Nothing but login before a good login, and a wrong password does not count.
    EXPECT_EQ(ErrorCode(client.Request("getCOS", {{"line", 1}})), -32001);
    EXPECT_EQ(ErrorCode(client.Request("login", {{"username", "selvane"}, {"password", "wrong"}})), -32001);
    EXPECT_EQ(ErrorCode(client.Request("openLine", {{"name", "201"}})), -32001);
    EXPECT_EQ(ErrorCode(client.Request("login", {{"username", "selvane"}})), -32602);
    EXPECT_TRUE(client.Request("login", {{"username", "selvane"}, {"password", "selvane"}}).value("result").toBool());
    EXPECT_EQ(ErrorCode(client.Request("setClientType", {{"type", "operator"}})), -32602);
    EXPECT_TRUE(client.Request("setClientType", {{"type", "callback"}}).value("result").toBool());

    // openLine answers the id, then the line's current state follows at once.
    int line = client.OpenLine("201");
    ASSERT_GT(line, 0);
    QJsonObject state = client.Next();
    EXPECT_EQ(state.value("method").toString(), "callStateChanged");
    EXPECT_EQ(state.value("params").toObject().value("line").toInt(), line);
    EXPECT_EQ(state.value("params").toObject().value("state").toInt(), 0);
    EXPECT_EQ(client.OpenLine("999"), 0);
    int other = client.OpenLine("202");
    EXPECT_GT(other, 0);
    EXPECT_NE(other, line);

    EXPECT_EQ(client.Request("getCOS", {{"line", line}}).value("result").toInt(), 3);
    EXPECT_TRUE(client.Request("setCOS", {{"line", line}, {"cos", 1}}).value("result").toBool());
    EXPECT_EQ(client.Request("getCOS", {{"line", line}}).value("result").toInt(), 1);
    EXPECT_EQ(ErrorCode(client.Request("setCOS", {{"line", line}, {"cos", -1}})), -32602);
    EXPECT_EQ(client.Request("getCOS", {{"line", line}}).value("result").toInt(), 1);
    EXPECT_EQ(ErrorCode(client.Request("setCOS", {{"line", 999}, {"cos", 1}})), -32010);
    EXPECT_EQ(ErrorCode(client.Request("getCOS", {{"line", 0}})), -32010);
    EXPECT_EQ(client.Request("toDialable", {{"number", "+7 (495) 123-45-67"}}).value("result").toString(),
              "84951234567");
    EXPECT_EQ(client.Request("toDialable", {{"number", "+44 20 7946-0000"}}).value("result").toString(),
              "810442079460000");

    // A client that comes back gets the same ids, the current state, and the class of service set.
    client.Close();
    ASSERT_TRUE(client.Connect(pbx.ControlPort()));
    ASSERT_TRUE(client.Login());
    EXPECT_EQ(client.OpenLine("201"), line);
    EXPECT_TRUE(client.WaitState(line, 0));
    EXPECT_EQ(client.Request("getCOS", {{"line", line}}).value("result").toInt(), 1);

    // Pipelined requests are answered in order with their own ids.
    ASSERT_TRUE(client.SendRaw(
        R"({"jsonrpc":"2.0","id":"a","method":"getCOS","params":{"line":)" + std::to_string(other) + "}}\n" +
        R"({"jsonrpc":"2.0","id":77,"method":"toDialable","params":{"number":"12-34"}})" + "\n" +
        R"({"jsonrpc":"2.0","method":"toDialable","params":{"number":"1"}})" + "\n" + // a notification: no answer
        R"({"jsonrpc":"2.0","id":"c","method":"openLine","params":{"name":"202"}})" + "\n"));
    QJsonObject first = client.Next(), second = client.Next(), third = client.Next();
    EXPECT_EQ(first.value("id").toString(), "a");
    EXPECT_EQ(first.value("result").toInt(), 3);
    EXPECT_EQ(second.value("id").toInt(), 77);
    EXPECT_EQ(second.value("result").toString(), "1234");
    EXPECT_EQ(third.value("id").toString(), "c");
    EXPECT_EQ(third.value("result").toInt(), other);
}

TEST_F(ExchangeControlTest, BadInputIsAnsweredOrDroppedWhileOtherClientsAreServed)
{
    ControlClient witness;
    ASSERT_TRUE(witness.Connect(pbx.ControlPort()));
    ASSERT_TRUE(witness.Login());
    auto witnessServed = [&] {
        return witness.Request("toDialable", {{"number", "1 2"}}).value("result").toString() == "12";
    };

    ControlClient client;
    ASSERT_TRUE(client.Connect(pbx.ControlPort()));
    ASSERT_TRUE(client.Login());
    ASSERT_TRUE(client.SendRaw("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\n"));
    QJsonObject answer = client.Next();
    EXPECT_EQ(ErrorCode(answer), -32700);
    EXPECT_TRUE(answer.value("id").isNull());
    ASSERT_TRUE(client.SendRaw("[1,2]\n{\"id\":2,\"method\":\"getCOS\"}\n\"text\"\n"));
    EXPECT_EQ(ErrorCode(client.Next()), -32600);
    EXPECT_EQ(ErrorCode(client.Next()), -32600); // no "jsonrpc":"2.0"
    EXPECT_EQ(ErrorCode(client.Next()), -32600);
    EXPECT_EQ(ErrorCode(client.Request("dial", {{"number", "101"}})), -32601);
    EXPECT_EQ(ErrorCode(client.Request("openLine")), -32602);
    EXPECT_EQ(ErrorCode(client.Request("openLine", {{"name", 201}})), -32602);
    EXPECT_EQ(ErrorCode(client.Request("getCOS", {{"line", "1"}})), -32602);
    EXPECT_EQ(ErrorCode(client.Request("setCOS", {{"line", 1}, {"cos", 1.5}})), -32602);
    EXPECT_EQ(ErrorCode(client.Request("toDialable", {{"number", QJsonValue()}})), -32602);
    // Still open after all that.
    EXPECT_EQ(client.Request("getCOS", {{"line", 1}}).value("result").toInt(), 3);
    EXPECT_TRUE(witnessServed());

    // A 1 MiB line: answered with an error or dropped, never taken.
    ControlClient huge;
    ASSERT_TRUE(huge.Connect(pbx.ControlPort()));
    ASSERT_TRUE(huge.Login());
    std::string big = R"({"jsonrpc":"2.0","id":9,"method":"toDialable","params":{"number":")" +
                      std::string(1 << 20, '5') + "\"}}\n";
    huge.SendRaw(big); // may fail half-way once the server drops us
    QJsonObject hugeAnswer = huge.Next();
    if (!hugeAnswer.isEmpty()) {
        EXPECT_EQ(ErrorCode(hugeAnswer), -32600);
    }
    EXPECT_TRUE(huge.Closed());
    EXPECT_TRUE(witnessServed());

    // Clients that vanish half-way through a request, or right after one.
    for (int i = 0; i < 3; ++i) {
        ControlClient gone;
        ASSERT_TRUE(gone.Connect(pbx.ControlPort()));
        gone.SendRaw(R"({"jsonrpc":"2.0","id":1,"method":"login","params":{"username":"sel)");
    }
    {
        ControlClient gone;
        ASSERT_TRUE(gone.Connect(pbx.ControlPort()));
        ASSERT_TRUE(gone.Login());
        gone.OpenLine("201");
        gone.SendRaw(R"({"jsonrpc":"2.0","id":5,"method":"getCOS","params":{"line":1}})" "\n");
    }
    EXPECT_TRUE(witnessServed());
    EXPECT_EQ(witness.OpenLine("201"), 1);
}

TEST(ExchangeConfigTest, ShippedExampleAndFaultsNamingTheirLine)
{
    ExchangeConfig example = DefaultConfig();
    std::string error;
    ASSERT_TRUE(LoadConfig(SELVANE_EXCHANGE_EXAMPLE, example, error)) << error;
    ASSERT_NE(example.FindExtension("201"), nullptr);
    EXPECT_TRUE(example.FindExtension("201")->line);
    EXPECT_FALSE(example.dialPlan.classes.empty());
    EXPECT_EQ(example.dialPlan.outsidePrefix, "9");

    // Faults name their line; nothing of a bad file is taken.
    ExchangeConfig config = DefaultConfig();
    EXPECT_FALSE(ParseConfig("[exchange]\nsip = 127.0.0.1:5060\n[nonsense]\n", config, error));
    EXPECT_NE(error.find("line 3"), std::string::npos) << error;
    EXPECT_FALSE(ParseConfig("[extensions]\n300 = phone secret\n", config, error));
    EXPECT_FALSE(ParseConfig("[extensions]\n30a = phone secret 1\n", config, error));
    EXPECT_FALSE(ParseConfig("[exchange]\nrtp_ports = 5000\n", config, error));
    EXPECT_FALSE(ParseConfig("[exchange]\ncontrol = 127.0.0.1:99999\nrealm = pbx\n", config, error));
    EXPECT_EQ(error, "line 2: bad control address 127.0.0.1:99999");
    // The dial plan's groups are read by the dial plan's reader, and so are their faults; the
    // lines' classes are the extensions', so [lines] is not this file's.
    EXPECT_FALSE(ParseConfig("[exchange]\nrealm = pbx\n[classes]\ncity = 1 [0-9\n", config, error));
    EXPECT_EQ(error, "line 4: invalid pattern [0-9");
    EXPECT_FALSE(ParseConfig("[lines]\n201 = 3\n", config, error));
    EXPECT_EQ(error, "line 1: unknown group [lines]");
    EXPECT_EQ(config.extensions.size(), DefaultConfig().extensions.size());
    ASSERT_TRUE(
        ParseConfig("[extensions]\n300 = phone s3cret 2\n[dialable]\n[ ]* =\n[dialplan]\ninternal_cos = 1\n",
                    config, error))
        << error;
    ASSERT_EQ(config.extensions.size(), 1u);
    EXPECT_EQ(config.extensions[0].password, "s3cret");
    EXPECT_EQ(config.extensions[0].cos, 2);
    EXPECT_EQ(config.dialPlan.dialable.size(), 1u);
    EXPECT_EQ(config.dialPlan.internalCos, 1);
    EXPECT_EQ(config.dialPlan.classes.size(), DefaultConfig().dialPlan.classes.size());
}

} // namespace
} // namespace exchange::test
