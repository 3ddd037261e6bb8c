#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "json/json.h"

namespace sdk {
namespace {

TEST(JsonValue, DefaultHandleIsNull) {
    Json value;
    EXPECT_EQ(value.Type(), kJsonNull);
    EXPECT_TRUE(value.IsNull());
    EXPECT_TRUE(value.IsValid());
    EXPECT_EQ(value.Size(), -1);
    EXPECT_EQ(value.AsInt(), 0);
    EXPECT_EQ(value.ToText(), "null");
}

TEST(JsonValue, KindsAndNeutralAnswers) {
    EXPECT_EQ(Json(true).Type(), kJsonBool);
    EXPECT_EQ(Json(7).Type(), kJsonNumber);
    EXPECT_EQ(Json(2.5).Type(), kJsonNumber);
    EXPECT_EQ(Json("text").Type(), kJsonString);
    EXPECT_EQ(Json(std::string("text")).Type(), kJsonString);
    EXPECT_EQ(Json(std::string_view("text")).Type(), kJsonString);
    EXPECT_EQ(Json::Invalid().Type(), kJsonInvalid);

    Json invalid = Json::Invalid();
    EXPECT_TRUE(invalid.IsNull());
    EXPECT_FALSE(invalid.IsValid());
    EXPECT_EQ(invalid.ToText(), "");

    // No conversion between kinds.
    EXPECT_EQ(Json(7).AsDouble(), 7.0);
    EXPECT_EQ(Json(2.9).AsInt(), 2);
    EXPECT_EQ(Json(-2.9).AsInt(), -2);
    EXPECT_EQ(Json(true).AsInt(), 0);
    EXPECT_FALSE(Json("true").AsBool());
    EXPECT_FALSE(Json(1).AsBool());
    EXPECT_EQ(Json("12").AsInt(), 0);
    EXPECT_EQ(Json(true).AsString(), "");
    EXPECT_EQ(Json(12).AsString(), "");
    EXPECT_TRUE(Json(true).AsBool());
    EXPECT_FALSE(Json(false).AsBool());
    EXPECT_EQ(Json("a\0b").AsString(), "a");
    EXPECT_EQ(Json(std::string("a\0b", 3)).AsString(), std::string("a\0b", 3));
    EXPECT_EQ(Json(static_cast<const char*>(nullptr)).AsString(), "");
}

TEST(JsonValue, SizeIsMinusOneExceptForArrays) {
    Json object;
    object["a"] = Json(1);
    Json array;
    array.Append(Json(1));
    array.Append(Json(2));
    EXPECT_EQ(object.Size(), -1);
    EXPECT_EQ(array.Size(), 2);
    EXPECT_EQ(Json().Size(), -1);
    EXPECT_EQ(Json::Invalid().Size(), -1);
    EXPECT_EQ(Json(true).Size(), -1);
    EXPECT_EQ(Json(3).Size(), -1);
    EXPECT_EQ(Json("abc").Size(), -1);
}

TEST(JsonValue, AsIntSaturatesAndMapsNanToZero) {
    constexpr int kMax = std::numeric_limits<int>::max();
    constexpr int kMin = std::numeric_limits<int>::min();
    EXPECT_EQ(Json(3e9).AsInt(), kMax);
    EXPECT_EQ(Json(-3e9).AsInt(), kMin);
    EXPECT_EQ(Json(2147483647.9).AsInt(), kMax);
    EXPECT_EQ(Json(-2147483648.9).AsInt(), kMin);
    EXPECT_EQ(Json(2147483646.5).AsInt(), 2147483646);
    EXPECT_EQ(Json(std::numeric_limits<double>::infinity()).AsInt(), kMax);
    EXPECT_EQ(Json(-std::numeric_limits<double>::infinity()).AsInt(), kMin);
    EXPECT_EQ(Json(std::nan("")).AsInt(), 0);
    EXPECT_EQ(Json(-0.5).AsInt(), 0);
}

TEST(JsonValue, NullTurnsIntoContainerOnFirstUse) {
    Json request;
    request["deviceIndex"] = Json(1);
    EXPECT_EQ(request.Type(), kJsonObject);
    EXPECT_TRUE(request.HasMember("deviceIndex"));
    EXPECT_EQ(request.ToText(), R"({"deviceIndex":1})");

    Json list;
    list.Append(Json("x"));
    EXPECT_EQ(list.Type(), kJsonArray);
    EXPECT_EQ(list.Size(), 1);

    Json members;
    members.SetMember("a", Json(2));
    EXPECT_EQ(members.Type(), kJsonObject);

    // Indexing a null makes it an empty array; there is no element 0 to hand out.
    Json indexed;
    EXPECT_FALSE(indexed[0]->IsValid());
    EXPECT_EQ(indexed.Type(), kJsonArray);
    EXPECT_EQ(indexed.Size(), 0);

    // SetElement does not convert.
    Json untouched;
    untouched.SetElement(0, Json(1));
    EXPECT_EQ(untouched.Type(), kJsonNull);
}

TEST(JsonValue, OnlyNullConverts) {
    Json number(5);
    JsonSlot member = number["name"];
    EXPECT_EQ(member.Target(), nullptr);
    EXPECT_EQ(&member.Value(), &Json::Absent());
    EXPECT_EQ(number.AsInt(), 5);
    number.Append(Json(1));
    number.SetMember("a", Json(1));
    EXPECT_EQ(number.Type(), kJsonNumber);
    EXPECT_EQ(number.AsInt(), 5);

    Json invalid = Json::Invalid();
    invalid.Append(Json(1));
    invalid.SetMember("a", Json(1));
    EXPECT_FALSE(invalid["a"]->IsValid());
    EXPECT_FALSE(invalid[0]->IsValid());
    EXPECT_EQ(invalid.Type(), kJsonInvalid);

    Json array;
    array.Append(Json(1));
    EXPECT_FALSE(array["a"]->IsValid());
    Json object;
    object["a"] = Json(1);
    EXPECT_FALSE(object[0]->IsValid());
    object.Append(Json(2));
    EXPECT_EQ(object.ToText(), R"({"a":1})");
}

TEST(JsonValue, AbsentValueCannotBeOverwritten) {
    // Writes through empty slots go nowhere; every lookup that finds nothing still reads invalid.
    Json number(5);
    number["a"] = Json(42);
    const Json copy(9);
    number["a"] = copy;
    number["a"]["b"].Append(Json(1));
    Json array;
    array[3] = Json(1);
    array[3].SetMember("x", Json(2));
    EXPECT_EQ(number.ToText(), "5");
    EXPECT_EQ(array.Size(), 0);
    const Json& absent = Json::Absent();
    EXPECT_FALSE(absent.IsValid());
    EXPECT_EQ(absent.Type(), kJsonInvalid);
    EXPECT_EQ(&Json(1).At("x"), &absent);
    EXPECT_EQ(&Json(1).At(0), &absent);

    // Taking from an empty slot copies the invalid value.
    Json taken = std::move(number["c"]);
    EXPECT_FALSE(taken.IsValid());
    EXPECT_FALSE(absent.IsValid());
}

TEST(JsonValue, MissingMembersAndElements) {
    Json object;
    object["present"] = Json(1);
    Json missing = object.Get("absent");
    EXPECT_TRUE(missing.IsNull());
    EXPECT_FALSE(missing.IsValid());
    EXPECT_FALSE(object.HasMember("absent"));
    EXPECT_FALSE(object.At("absent").IsValid());
    EXPECT_FALSE(object.HasMember("absent"));

    // operator[] inserts a null member.
    EXPECT_TRUE(object["absent"]->IsValid());
    EXPECT_TRUE(object.HasMember("absent"));
    EXPECT_EQ(object.ToText(), R"({"present":1,"absent":null})");

    Json array;
    for (int i = 0; i < 3; ++i) array.Append(Json(i));
    EXPECT_FALSE(array.Get(3).IsValid());
    EXPECT_FALSE(array.Get(-1).IsValid());
    EXPECT_FALSE(array.At(3).IsValid());
    EXPECT_FALSE(array.At(-1).IsValid());
    EXPECT_EQ(array.Get(2).AsInt(), 2);
    EXPECT_EQ(array.At(1).AsInt(), 1);
    array.SetElement(3, Json(9));
    array.SetElement(-1, Json(9));
    EXPECT_EQ(array.Size(), 3);
    array.SetElement(1, Json("one"));
    EXPECT_EQ(array.ToText(), R"([0,"one",2])");

    // Names compare byte for byte.
    EXPECT_FALSE(object.HasMember("Present"));
    EXPECT_FALSE(object.HasMember("presen"));
    EXPECT_FALSE(object.HasMember(std::string("present\0", 8)));
}

TEST(JsonValue, CopiesAreDeep) {
    Json original;
    original.Append(Json(1));
    Json inner;
    inner["k"] = Json("v");
    original.Append(std::move(inner));

    Json copy = original;
    copy.Append(Json(3));
    copy[1]["k"] = Json("changed");
    EXPECT_EQ(original.ToText(), R"([1,{"k":"v"}])");
    EXPECT_EQ(copy.ToText(), R"([1,{"k":"changed"},3])");

    Json assigned;
    assigned = original;
    original[0] = Json(100);
    EXPECT_EQ(assigned.ToText(), R"([1,{"k":"v"}])");

    Json got = original.Get(1);
    got["k"] = Json(0);
    EXPECT_EQ(original.At(1).At("k").AsString(), "v");

    const Json& sameAsAssigned = assigned;
    assigned = sameAsAssigned;
    EXPECT_EQ(assigned.ToText(), R"([1,{"k":"v"}])");

    // A value replaced by a copy of one of its own parts.
    assigned = assigned[1];
    EXPECT_EQ(assigned.ToText(), R"({"k":"v"})");
    Json moved = original;
    moved = std::move(moved[1]);
    EXPECT_EQ(moved.ToText(), R"({"k":"v"})");
}

TEST(JsonValue, MovesTransferTheValue) {
    Json source("payload");
    Json target(std::move(source));
    EXPECT_EQ(target.AsString(), "payload");

    // A moved-from handle behaves as the invalid value until it is assigned.
    EXPECT_FALSE(source.IsValid());  // NOLINT(bugprone-use-after-move)
    EXPECT_TRUE(source.IsNull());
    EXPECT_EQ(source.Type(), kJsonInvalid);
    EXPECT_EQ(source.ToText(), "");
    EXPECT_FALSE(source["a"]->IsValid());
    source.Append(Json(1));
    EXPECT_EQ(source.Size(), -1);
    Json copyOfEmpty(source);
    EXPECT_FALSE(copyOfEmpty.IsValid());
    source = Json(4);
    EXPECT_EQ(source.AsInt(), 4);

    Json self(3);
    Json& sameAsSelf = self;
    self = std::move(sameAsSelf);
    EXPECT_EQ(self.AsInt(), 3);
}

TEST(JsonValue, ValueAddedToItself) {
    Json list;
    list.Append(Json(1));
    list.Append(list);
    EXPECT_EQ(list.ToText(), "[1,[1]]");
    list.Append(std::move(list));
    EXPECT_EQ(list.ToText(), "[1,[1],[1,[1]]]");

    Json object;
    object["a"] = Json(1);
    object.SetMember("self", std::move(object));
    EXPECT_EQ(object.ToText(), R"({"a":1,"self":{"a":1}})");

    // An element moved to the end of its own array.
    Json array;
    for (int i = 0; i < 4; ++i) array.Append(Json(i));
    array.Append(std::move(array[0]));
    EXPECT_EQ(array.Size(), 5);
    EXPECT_EQ(array.At(4).AsInt(), 0);
}

TEST(JsonValue, MembersKeepInsertionOrderAndPosition) {
    Json object;
    object["z"] = Json(1);
    object["a"] = Json(2);
    object.SetMember("m", Json(3));
    EXPECT_EQ(object.ToText(), R"({"z":1,"a":2,"m":3})");

    // Replacing keeps the member where it was and leaves one member of that name.
    object.SetMember("z", Json("again"));
    object["a"] = Json(20);
    const Json replacement(30);
    object.SetMember("m", replacement);
    EXPECT_EQ(object.ToText(), R"({"z":"again","a":20,"m":30})");
}

TEST(JsonValue, LargeObjectsFindEveryMember) {
    // Enough members to leave the small-object search and grow the index several times.
    Json object;
    constexpr int kCount = 2000;
    for (int i = 0; i < kCount; ++i) object["member" + std::to_string(i)] = Json(i);
    for (int i = 0; i < kCount; i += 7) object.SetMember("member" + std::to_string(i), Json(-i));
    for (int i = 0; i < kCount; ++i) {
        const std::string name = "member" + std::to_string(i);
        ASSERT_TRUE(object.HasMember(name)) << name;
        EXPECT_EQ(object.At(name).AsInt(), i % 7 == 0 ? -i : i) << name;
    }
    EXPECT_FALSE(object.HasMember("member" + std::to_string(kCount)));

    // Order survives the index, and copies carry a working index of their own.
    Json copy = object;
    copy["member5"] = Json("five");
    EXPECT_EQ(object.At("member5").AsInt(), 5);
    EXPECT_EQ(copy.At("member5").AsString(), "five");
    ASSERT_EQ(copy.MemberCount(), kCount);
    for (int i = 0; i < kCount; ++i) ASSERT_EQ(copy.MemberName(i), "member" + std::to_string(i));
    EXPECT_EQ(copy.MemberValue(5).AsString(), "five");
    EXPECT_FALSE(copy.MemberValue(kCount).IsValid());
}

TEST(JsonValue, ReadOnlyAccessDoesNotCopy) {
    Json response = Json::Parse(R"({"result":{"list":[{"id":4},{"id":5}]}})");
    const Json& list = response.At("result").At("list");
    EXPECT_EQ(list.Size(), 2);
    EXPECT_EQ(&list.At(1), response["result"]["list"][1].Target());
    EXPECT_EQ(list.At(1).At("id").AsInt(), 5);
    EXPECT_FALSE(list.At("id").IsValid());
    EXPECT_FALSE(response.At("missing").At(0).At("x").IsValid());
    EXPECT_FALSE(response.HasMember("missing"));
}

TEST(JsonDocument, CopiesOutliveItAndItsMemoryServesTheNextText) {
    // Objects past the small-object search (with a repeated name), long strings and a large array.
    std::string text = R"({"list":[)";
    for (int i = 0; i < 3000; ++i) text += (i ? "," : "") + std::to_string(i);
    text += R"(],"long":"a string well past the inline size","o":{)";
    for (int i = 0; i < 20; ++i) text += "\"m" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    text += R"("m3":"again"}})";
    Json copy;
    {
        JsonDocument document;
        for (int round = 0; round < 3; ++round) {
            const Json& root = document.Parse(text);
            ASSERT_EQ(root.ToText(), Json::Parse(text).ToText());
            EXPECT_EQ(root.At("o").At("m3").AsString(), "again");
            EXPECT_EQ(root.At("o").At("m19").AsInt(), 19);
            EXPECT_FALSE(document.Parse("{\"cut\":[1,").IsValid());
            EXPECT_EQ(document.Parse("[\"small\"]").At(0).AsString(), "small");
        }
        copy = document.Parse(text).At("o");
        copy["m0"] = Json("changed");  // an ordinary value: it can change and grow
        copy.SetMember("added", Json(true));
    }
    EXPECT_EQ(copy.At("m3").AsString(), "again");
    EXPECT_EQ(copy.At("m0").AsString(), "changed");
    EXPECT_EQ(copy.MemberCount(), 21);
}

}  // namespace
}  // namespace sdk
