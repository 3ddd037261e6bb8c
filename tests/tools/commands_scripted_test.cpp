// The tool in-process against the scripted server: what it sends, what it prints, and how every kind of
// refusal reads.
#include <chrono>
#include <thread>

#include "support/scripted_server.h"
#include "tools/run_cli.h"

namespace cli {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;
using sdk::test::ScriptedReply;
using sdk::test::ScriptedServer;
using test::ExpectWords;
using test::Outcome;
using test::RunCli;

class AgainstScriptedServer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.Start());
        server_.OnMethod("VeltariGetDeviceCount", R"({"result":2})");
        server_.OnMethod("VeltariSetLedsColors", R"({"result":true})");
        server_.OnMethod("VeltariSetLedsColorsFlushBuffer", R"({"result":true})");
        server_.OnRequest([](const std::string& request) -> std::optional<ScriptedReply> {
            if (ScriptedServer::MethodOf(request) != "VeltariGetLedIdForKeyName") return std::nullopt;
            // Letter keys sit at 100 plus their place in the alphabet; lower case is unknown.
            const auto at = request.find("\"keyName\":");
            const int code = std::stoi(request.substr(at + 10));
            const int led = code >= 'A' && code <= 'Z' ? 100 + code - 'A' : 0;
            return ScriptedReply::Text("{\"result\":" + std::to_string(led) + "}");
        });
    }

    // The requests after the handshake.
    std::vector<std::string> Sent() {
        std::vector<std::string> sent;
        for (const auto& request : server_.Requests()) {
            if (ScriptedServer::MethodOf(request) != "VeltraiHandshakeMethod") sent.push_back(request);
        }
        return sent;
    }

    ScriptedServer server_;
};

TEST_F(AgainstScriptedServer, SetsAListOfLedsByIdAndLetterKey) {
    Outcome outcome = RunCli({"set", "5=red", "B=#00FF80"});
    EXPECT_EQ(outcome.status, kExitOk) << outcome.err;
    EXPECT_THAT(outcome.err, StartsWith("veltari-cli: note: ")) << "without --hold the tool says why the colours go";
    EXPECT_THAT(outcome.out, HasSubstr("LED 5 set to #FF0000 (red)"));
    EXPECT_THAT(outcome.out, HasSubstr("LED 101 set to #00FF80"));
    EXPECT_THAT(Sent(), ElementsAre(HasSubstr("\"keyName\":66"),
                                    HasSubstr(R"("ledsColors":"5,255,0,0#101,0,255,128")")));
}

TEST_F(AgainstScriptedServer, SetsEveryDeviceThroughOneFlush) {
    server_.OnMethod("VeltariGetLedPositionsByDeviceIndex",
                     R"({"result":[{"ledId":1,"top":0,"left":0,"height":5,"width":5},)"
                     R"({"ledId":2,"top":0,"left":6,"height":5,"width":5}]})");
    Outcome outcome = RunCli({"set", "--all", "blue"});
    EXPECT_EQ(outcome.status, kExitOk) << outcome.err;
    EXPECT_THAT(outcome.out, HasSubstr("set 4 LEDs on 2 devices to #0000FF (blue)"));
    const auto sent = Sent();
    ASSERT_FALSE(sent.empty());
    EXPECT_THAT(sent.back(), HasSubstr("VeltariSetLedsColorsFlushBuffer"));
    EXPECT_THAT(sent.back(), HasSubstr(R"({"deviceIndex":0,"ledColors":"1,0,0,255#2,0,0,255"})"));
    EXPECT_THAT(sent.back(), HasSubstr(R"({"deviceIndex":1,"ledColors":"1,0,0,255#2,0,0,255"})"));
}

// Before protocol 5 there is no colour buffer: the same LEDs are set by id, and --hold is suggested.
TEST_F(AgainstScriptedServer, WholeDevicesOnAnOlderServerAreSetById) {
    server_.SetProtocolVersion(4);
    server_.OnMethod("VeltariGetLedPositionsByDeviceIndex",
                     R"({"result":[{"ledId":1,"top":0,"left":0,"height":5,"width":5},)"
                     R"({"ledId":2,"top":0,"left":6,"height":5,"width":5}]})");
    Outcome outcome = RunCli({"set", "--device", "1", "red"});
    EXPECT_EQ(outcome.status, kExitOk) << outcome.err;
    EXPECT_THAT(outcome.out, HasSubstr("set 2 LEDs on 1 device to #FF0000 (red)"));
    EXPECT_THAT(Sent().back(), HasSubstr(R"("ledsColors":"1,255,0,0#2,255,0,0")"));
    EXPECT_THAT(outcome.err, HasSubstr("add --hold to keep them on"));

    server_.SetProtocolVersion(2);
    server_.OnMethod("VeltariGetLedPositions", R"({"result":[{"ledId":7,"top":0,"left":0,"height":5,"width":5}]})");
    outcome = RunCli({"set", "--all", "--hold=0.01", "blue"});
    EXPECT_EQ(outcome.status, kExitOk) << outcome.err;
    EXPECT_THAT(Sent().back(), HasSubstr(R"("ledsColors":"7,0,0,255")"));
    EXPECT_THAT(outcome.err, Not(HasSubstr("--hold")));
}

TEST_F(AgainstScriptedServer, ControlAndPriorityComeBeforeTheColours) {
    server_.OnMethod("InternalAquireAccessMode", R"({"result":true})");
    server_.OnMethod("VeltariSetLayerPriority", R"({"result":true})");
    Outcome outcome = RunCli({"set", "--control", "--priority", "9", "7=white"});
    EXPECT_EQ(outcome.status, kExitOk) << outcome.err;
    EXPECT_THAT(Sent(), ElementsAre(HasSubstr(R"("layerPriority":9)"), HasSubstr("InternalAquireAccessMode"),
                                    HasSubstr(R"("7,255,255,255")")));
}

TEST_F(AgainstScriptedServer, ReadsColoursBack) {
    server_.OnMethod("VeltariGetLedsColors", R"({"ledsColors":"5,255,0,0#100,1,2,3"})");
    Outcome outcome = RunCli({"get", "5", "A"});
    EXPECT_EQ(outcome.status, kExitOk) << outcome.err;
    EXPECT_THAT(outcome.out, HasSubstr("LED   5  #FF0000 (red)"));
    EXPECT_THAT(outcome.out, HasSubstr("LED 100 (A)  #010203"));
}

TEST_F(AgainstScriptedServer, TooOldAServerIsNamedWithBothProtocols) {
    server_.SetProtocolVersion(3);
    Outcome outcome = RunCli({"get", "--device", "0", "5"});
    EXPECT_EQ(outcome.status, kExitProtocolTooOld);
    EXPECT_THAT(outcome.err, HasSubstr("needs a newer server: the server speaks protocol 3, and this needs "
                                       "protocol 5 or later"));
    ExpectWords(outcome.err);
    EXPECT_THAT(Sent(), IsEmpty());
}

TEST_F(AgainstScriptedServer, AnUnknownDeviceNamesTheDevicesThereAre) {
    server_.OnMethod("VeltariGetLedPositionsByDeviceIndex", R"({"errorCode":5})");
    Outcome outcome = RunCli({"positions", "7"});
    EXPECT_EQ(outcome.status, kExitUsage);
    EXPECT_THAT(outcome.err, HasSubstr("the server has no device 7 (its devices are 0 to 1"));
    ExpectWords(outcome.err);
}

TEST_F(AgainstScriptedServer, ServerErrorsAndRefusalsReadAsWords) {
    server_.OnMethod("VeltariSetLedsColors", R"({"result":false,"errorCode":2})");
    Outcome failure = RunCli({"set", "5=red"});
    EXPECT_EQ(failure.status, kExitRefused);
    EXPECT_THAT(failure.err, HasSubstr("setting colours failed: the server reported a failure of its own"));

    server_.OnMethod("VeltariSetLedsColors", R"({"result":false,"errorCode":0})");
    Outcome refused = RunCli({"set", "5=red"});
    EXPECT_EQ(refused.status, kExitRefused);
    EXPECT_THAT(refused.err, HasSubstr("the server refused the request"));

    server_.OnMethod("VeltariSetLedsColors", R"({"result":false,"errorCode":5})");
    Outcome bad = RunCli({"set", "5=red"});
    EXPECT_EQ(bad.status, kExitUsage);
    EXPECT_THAT(bad.err, HasSubstr("the server does not know one of the LEDs"));
    server_.OnMethod("VeltariGetLedPositions", R"({"result":[{"ledId":5,"top":0,"left":0,"height":5,"width":5}]})");
    Outcome named = RunCli({"set", "5=red", "0=red", "500=red"});
    EXPECT_THAT(named.err, HasSubstr("the server has no LEDs 0 and 500"));
    server_.OnMethod("VeltariGetBoolPropertyValue", R"({"errorCode":5})");
    Outcome property = RunCli({"property", "9", "4097"});
    EXPECT_THAT(property.err, HasSubstr("the server has no device 9")) << property.out;
    Outcome lacking = RunCli({"property", "1", "4097"});
    EXPECT_THAT(lacking.err, HasSubstr("device 1 does not have property 0x1001"));

    server_.OnMethod("VeltariSetLedsColors", R"({"result":false,"errorCode":4711})");
    Outcome own = RunCli({"set", "5=red"});
    EXPECT_EQ(own.status, kExitRefused);
    EXPECT_THAT(own.err, HasSubstr("the server reported error code 4711"));
    server_.OnMethod("VeltariSetLedsColors", R"({"result":false,"errorCode":101})");
    Outcome held = RunCli({"set", "5=red"});
    EXPECT_EQ(held.status, kExitRefused);
    EXPECT_THAT(held.err, HasSubstr("another application holds control of the lighting"));

    server_.OnMethod("InternalAquireAccessMode", R"({"result":false})");
    Outcome control = RunCli({"control", "request"});
    EXPECT_EQ(control.status, kExitRefused);
    EXPECT_THAT(control.err, HasSubstr("requesting control failed: the server refused it"));
    for (const auto& err : {failure.err, refused.err, bad.err, own.err, held.err, control.err}) ExpectWords(err);
}

TEST_F(AgainstScriptedServer, ALetterKeyAndItsIdTwiceIsRefusedBeforeSending) {
    Outcome outcome = RunCli({"set", "100=red", "A=blue"});
    EXPECT_EQ(outcome.status, kExitUsage);
    EXPECT_THAT(outcome.err, HasSubstr("LED 100 is given more than once"));
    for (const auto& request : Sent()) EXPECT_THAT(request, Not(HasSubstr("VeltariSetLedsColors")));
}

TEST_F(AgainstScriptedServer, AKeyWithoutLedIsNamed) {
    Outcome outcome = RunCli({"get", "q"});
    EXPECT_EQ(outcome.status, kExitUsage);
    EXPECT_THAT(outcome.err, HasSubstr("the server knows no LED for key q"));
}

TEST_F(AgainstScriptedServer, WatchPrintsKeyEventsUntilTheCount) {
    server_.OnMethod("VeltariRegisterKeypressCallback", R"({"errorCode":0})");
    Outcome outcome{};
    std::thread watcher([&] { outcome = RunCli({"watch", "--count", "2"}); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool registered = false;
    while (!registered && std::chrono::steady_clock::now() < deadline) {
        for (const auto& method : server_.Methods()) registered |= method == "VeltariRegisterKeypressCallback";
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(registered);
    EXPECT_TRUE(server_.Notify(R"({"vendorKey":160,"pressed":true})"));
    EXPECT_TRUE(server_.Notify(R"({"vendorKey":42,"pressed":false})"));
    watcher.join();
    EXPECT_EQ(outcome.status, kExitOk) << outcome.err;
    EXPECT_THAT(outcome.out, HasSubstr("key LeftShift (160) down"));
    EXPECT_THAT(outcome.out, HasSubstr("key 42 up"));
    EXPECT_THAT(outcome.out, HasSubstr("2 events seen"));
}

TEST_F(AgainstScriptedServer, AServerThatStopsDuringAHoldIsReported) {
    Outcome outcome{};
    std::thread holder([&] { outcome = RunCli({"set", "--hold=60", "5=red"}); });
    ASSERT_TRUE(server_.WaitForRequests(2));
    server_.Stop();
    holder.join();
    EXPECT_EQ(outcome.status, kExitServerUnreachable);
    EXPECT_THAT(outcome.err, HasSubstr("the lighting server stopped answering"));
    ExpectWords(outcome.err);
}

// Says who judged the protocols incompatible: a server of protocol 10 or later declares it, while protocol 8
// is judged by the library, whatever the server sent.
TEST_F(AgainstScriptedServer, InfoWarnsOfBreakingChangesAndSaysWhoFoundThem) {
    server_.SetProtocolVersion(12);
    server_.SetServerVersion("12.1");
    server_.SetBreakingChanges(true);
    Outcome outcome = RunCli({"info"});
    EXPECT_EQ(outcome.status, kExitOk);
    EXPECT_THAT(outcome.out, HasSubstr("server   version 12.1, protocol 12"));
    EXPECT_THAT(outcome.out, HasSubstr("compatible: no, the server (protocol 12) declares breaking changes"));
    EXPECT_THAT(outcome.err, HasSubstr("warning: the server (protocol 12) declares breaking changes"));

    server_.SetProtocolVersion(8);
    server_.SetBreakingChanges(false);
    outcome = RunCli({"info"});
    EXPECT_THAT(outcome.out, HasSubstr("compatible: no, this library (protocol 9) treats the server's protocol 8 as "
                                       "incompatible"));
    EXPECT_THAT(outcome.err, Not(HasSubstr("declares")));
}

}  // namespace
}  // namespace cli
