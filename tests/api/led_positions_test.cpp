// VeltariGetLedPositions, VeltariGetLedPositionsByDeviceIndex and VeltariGetLedIdForKeyName over real
// pipes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/client_state.h"
#include "scripted_fixture.h"

namespace sdk::testing {
namespace {

constexpr char kAll[] = "VeltariGetLedPositions";
constexpr char kByDevice[] = "VeltariGetLedPositionsByDeviceIndex";
constexpr char kKeyName[] = "VeltariGetLedIdForKeyName";

std::string Entry(int ledId, const char* geometry = R"("top":1,"left":2,"height":3,"width":4)") {
    return R"({"ledId":)" + std::to_string(ledId) + "," + geometry + "}";
}

std::vector<int> Ids(const VeltariLedPositions* positions) {
    std::vector<int> ids;
    for (int i = 0; i < positions->positionsCount; ++i) ids.push_back(positions->positions[i].ledId);
    return ids;
}

using LedPositions = ScriptedApiTest;

TEST_F(LedPositions, TestTheHandshakeThenTheConnection) {
    EXPECT_EQ(VeltariGetLedPositions(), nullptr);
    EXPECT_EQ(LastError(), VeltariErrorNoHandshake);
    Connect();
    LoseServer();
    EXPECT_EQ(VeltariGetLedPositions(), nullptr);
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
}

TEST_F(LedPositions, SendsNoParams) {
    Connect();
    ASSERT_NE(VeltariGetLedPositions(), nullptr);
    EXPECT_EQ(server.Requests(), (std::vector<std::string>{R"({"method":"VeltariGetLedPositions"})"}));
}

TEST_F(LedPositions, KeepsIdsOneTo911InTheServersOrderWithDuplicates) {
    Connect();
    struct Case {
        std::vector<int> listed;
        std::vector<int> kept;
    };
    for (const Case& c :
         std::vector<Case>{{{0, 912, 5}, {5}}, {{911, 1}, {911, 1}}, {{7, 3, 7, -1, 3}, {7, 3, 7, 3}}}) {
        std::string result;
        for (int id : c.listed) result += (result.empty() ? "" : ",") + Entry(id);
        AnswerOnce(kAll, R"({"result":[)" + result + "]}");
        const VeltariLedPositions* positions = VeltariGetLedPositions();
        ASSERT_NE(positions, nullptr);
        EXPECT_EQ(Ids(positions), c.kept);
        EXPECT_EQ(LastError(), VeltariErrorSuccess);
    }
}

TEST_F(LedPositions, NoSurvivorsGiveAnEmptyArrayWhileNoEntriesGiveNone) {
    Connect();
    AnswerOnce(kAll, "{\"result\":[" + Entry(0) + "," + Entry(1000) + "]}");
    const VeltariLedPositions* filtered = VeltariGetLedPositions();
    ASSERT_NE(filtered, nullptr);
    EXPECT_EQ(filtered->positionsCount, 0);
    EXPECT_NE(filtered->positions, nullptr);

    for (const char* answer :
         {R"({"result":[]})", "{}", R"({"result":null})", R"({"result":4})", "not json"}) {
        AnswerOnce(kAll, answer);
        StoreLastError(VeltariErrorBadArgument);
        const VeltariLedPositions* none = VeltariGetLedPositions();
        ASSERT_NE(none, nullptr) << answer;
        EXPECT_EQ(none->positionsCount, 0) << answer;
        EXPECT_EQ(none->positions, nullptr) << answer;
        EXPECT_EQ(LastError(), VeltariErrorSuccess) << answer;
    }
}

TEST_F(LedPositions, GeometryKeepsItsFractions) {
    Connect();
    AnswerOnce(kAll,
               R"({"errorCode":7,"result":[{"ledId":4,"top":10.9,"left":-0.5,"height":12.75,"width":-2.5},
        {"ledId":5.8,"top":"3","width":1e2}]})");
    const VeltariLedPositions* positions = VeltariGetLedPositions();
    ASSERT_NE(positions, nullptr);
    EXPECT_EQ(LastError(), VeltariErrorSuccess) << "the error code is not read";
    ASSERT_EQ(positions->positionsCount, 2);
    const VeltariLedPosition& a = positions->positions[0];
    EXPECT_EQ(a.ledId, 4);
    EXPECT_DOUBLE_EQ(a.top, 10.9);
    EXPECT_DOUBLE_EQ(a.left, -0.5);
    EXPECT_DOUBLE_EQ(a.height, 12.75);
    EXPECT_DOUBLE_EQ(a.width, -2.5);
    const VeltariLedPosition& b = positions->positions[1];
    EXPECT_EQ(b.ledId, 5) << "ids are truncated like every integer";
    EXPECT_EQ(b.top, 0.0) << "a text is not a number";
    EXPECT_EQ(b.left, 0.0);
    EXPECT_EQ(b.height, 0.0);
    EXPECT_EQ(b.width, 100.0);
}

TEST_F(LedPositions, NoAnswerIsUnreachable) {
    Connect();
    AnswerEmptyOnce(kAll);
    EXPECT_EQ(VeltariGetLedPositions(), nullptr);
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
    EXPECT_EQ(State().retention.ledPositions.Size(), 0u);
}

TEST_F(LedPositions, RecordsStayAfterLaterCallsAndReconnects) {
    Connect();
    AnswerOnce(kAll, "{\"result\":[" + Entry(8) + "]}");
    AnswerOnce(kAll, "{\"result\":[" + Entry(9) + "," + Entry(10) + "]}");
    const VeltariLedPositions* first = VeltariGetLedPositions();
    const VeltariLedPositions* second = VeltariGetLedPositions();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    DropConnection();
    ASSERT_NE(VeltariPerformProtocolHandshake().serverVersion, nullptr);
    EXPECT_EQ(Ids(first), std::vector<int>{8});
    EXPECT_EQ(Ids(second), (std::vector<int>{9, 10}));
    EXPECT_EQ(State().retention.ledPositions.Size(), 2u);
    EXPECT_EQ(State().retention.ledPositionArrays.Size(), 2u);
}

using LedPositionsByDevice = ScriptedApiTest;

TEST_F(LedPositionsByDevice, TestTheHandshakeThenTheIndexThenTheConnectionThenTheProtocol) {
    EXPECT_EQ(VeltariGetLedPositionsByDeviceIndex(-1), nullptr);
    EXPECT_EQ(LastError(), VeltariErrorNoHandshake);

    Connect(2);
    EXPECT_EQ(VeltariGetLedPositionsByDeviceIndex(-1), nullptr);
    EXPECT_EQ(LastError(), VeltariErrorBadArgument) << "the index comes before the protocol";
    EXPECT_EQ(VeltariGetLedPositionsByDeviceIndex(0), nullptr);
    EXPECT_EQ(LastError(), VeltariErrorServerProtocolTooOld);
    EXPECT_TRUE(SentSoFar().empty());

    LoseServer();  // the stored server protocol is now 0 as well
    EXPECT_EQ(VeltariGetLedPositionsByDeviceIndex(-1), nullptr);
    EXPECT_EQ(LastError(), VeltariErrorBadArgument);
    EXPECT_EQ(VeltariGetLedPositionsByDeviceIndex(0), nullptr);
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable) << "the connection comes before the protocol";
}

TEST_F(LedPositionsByDevice, NeedsProtocol3AndSendsTheIndex) {
    Connect(3);
    ASSERT_NE(VeltariGetLedPositionsByDeviceIndex(3), nullptr);
    EXPECT_EQ(server.Requests(),
              (std::vector<std::string>{
                  R"({"method":"VeltariGetLedPositionsByDeviceIndex","params":{"deviceIndex":3}})"}));
}

TEST_F(LedPositionsByDevice, ServerErrorCodeDecides) {
    Connect();
    for (int code : {5, 2, 42}) {
        AnswerOnce(kByDevice, "{\"errorCode\":" + std::to_string(code) + ",\"result\":[" + Entry(5) + "]}");
        EXPECT_EQ(VeltariGetLedPositionsByDeviceIndex(0), nullptr) << code;
        EXPECT_EQ(LastError(), code);
    }
    EXPECT_EQ(State().retention.ledPositions.Size(), 0u) << "no record for a refused request";

    AnswerOnce(kByDevice,
               "{\"errorCode\":0,\"result\":[" + Entry(0) + "," + Entry(6, R"("top":0.25)") + "]}");
    const VeltariLedPositions* positions = VeltariGetLedPositionsByDeviceIndex(0);
    ASSERT_NE(positions, nullptr);
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    EXPECT_EQ(Ids(positions), std::vector<int>{6});
    EXPECT_DOUBLE_EQ(positions->positions[0].top, 0.25);

    AnswerOnce(kByDevice, "not json");
    const VeltariLedPositions* unreadable = VeltariGetLedPositionsByDeviceIndex(0);
    ASSERT_NE(unreadable, nullptr);
    EXPECT_EQ(unreadable->positionsCount, 0);
    EXPECT_EQ(unreadable->positions, nullptr);
}

TEST_F(LedPositionsByDevice, NoAnswerIsUnreachable) {
    Connect();
    AnswerEmptyOnce(kByDevice);
    StoreLastError(VeltariErrorSuccess);
    EXPECT_EQ(VeltariGetLedPositionsByDeviceIndex(1), nullptr);
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
}

using LedIdForKeyName = ScriptedApiTest;

TEST_F(LedIdForKeyName, TestsTheHandshakeThenTheLetterThenTheConnection) {
    EXPECT_EQ(VeltariGetLedIdForKeyName('1'), 0);
    EXPECT_EQ(LastError(), VeltariErrorNoHandshake);
    Connect();
    LoseServer();
    EXPECT_EQ(VeltariGetLedIdForKeyName('1'), 0);
    EXPECT_EQ(LastError(), VeltariErrorBadArgument);
    EXPECT_EQ(VeltariGetLedIdForKeyName('a'), 0);
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
}

TEST_F(LedIdForKeyName, RefusesEverythingButAsciiLettersWithoutSending) {
    Connect();
    for (char key : {'1', ' ', '@', '[', '`', '{', '\0', '\n', static_cast<char>(0x80),
                     static_cast<char>(0xC1), static_cast<char>(0xFF)}) {
        StoreLastError(VeltariErrorSuccess);
        EXPECT_EQ(VeltariGetLedIdForKeyName(key), 0) << static_cast<int>(key);
        EXPECT_EQ(LastError(), VeltariErrorBadArgument) << static_cast<int>(key);
    }
    EXPECT_TRUE(SentSoFar().empty());
}

TEST_F(LedIdForKeyName, SendsTheLetterCodeUnfolded) {
    Connect();
    for (char key : {'A', 'a', 'w', 'W', 'Z', 'z'}) ASSERT_EQ(VeltariGetLedIdForKeyName(key), 0);
    std::vector<std::string> expected;
    for (int code : {65, 97, 119, 87, 90, 122}) {
        expected.push_back(R"({"method":"VeltariGetLedIdForKeyName","params":{"keyName":)" +
                           std::to_string(code) + "}}");
    }
    EXPECT_EQ(server.Requests(), expected);
}

TEST_F(LedIdForKeyName, ReadsOnlyTheResult) {
    Connect();
    struct Case {
        const char* answer;
        int id;
    };
    for (const Case& c : std::vector<Case>{{R"({"result":42,"errorCode":9})", 42},
                                           {R"({"result":17.9})", 17},
                                           {R"({"errorCode":5})", 0},
                                           {"not json", 0}}) {
        AnswerOnce(kKeyName, c.answer);
        StoreLastError(VeltariErrorBadArgument);
        EXPECT_EQ(VeltariGetLedIdForKeyName('q'), c.id) << c.answer;
        EXPECT_EQ(LastError(), VeltariErrorSuccess) << c.answer;
    }
    AnswerEmptyOnce(kKeyName);
    EXPECT_EQ(VeltariGetLedIdForKeyName('q'), 0);
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
}

}  // namespace
}  // namespace sdk::testing
