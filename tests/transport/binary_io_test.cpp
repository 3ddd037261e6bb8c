// The reader and writer forward to their stream and add nothing of their own.
#include <gtest/gtest.h>

#include <string>

#include "transport/binary_io.h"

namespace sdk::test {
namespace {

class ScriptedStream final : public IStream {
public:
    bool ready = true;
    std::uint32_t code = kResultOk;
    Bytes payload;
    int reads = 0, writes = 0, cancels = 0, flushes = 0;
    Bytes written;
    int lastTimeout = 0;

    void Close() override {}
    bool CanRead(int timeoutMs) override {
        lastTimeout = timeoutMs;
        return ready;
    }
    bool CanWrite(int timeoutMs) override {
        lastTimeout = timeoutMs;
        return ready;
    }
    std::uint32_t Read(Bytes& out, int) override {
        ++reads;
        if (code == kResultOk) {
            out = payload;
        }
        return code;
    }
    std::uint32_t Write(const Bytes& in, int) override {
        ++writes;
        written = in;
        return code;
    }
    void Cancel() override { ++cancels; }
    bool IsBroken() override { return code == kErrorNoData; }
    void Flush() override { ++flushes; }
};

TEST(BinaryIo, ResultCodesAndPayloadsPassThroughUnchanged) {
    auto stream = std::make_shared<ScriptedStream>();
    BinaryReader reader(stream);
    BinaryWriter writer(stream);
    stream->payload = {1, 2};
    Bytes out;
    EXPECT_EQ(reader.Read(out, 5000), kResultOk);
    EXPECT_EQ(out, (Bytes{1, 2}));
    EXPECT_EQ(stream->lastTimeout, 5000);
    EXPECT_EQ(writer.Write(TextMessage("{}"), 5000), kResultOk);
    EXPECT_EQ(stream->written, (Bytes{'{', '}', 0}));

    stream->code = kErrorNoData;
    out = {9};
    EXPECT_EQ(reader.Read(out, 1), kErrorNoData);
    EXPECT_EQ(out, Bytes{9});
    EXPECT_EQ(writer.Write({1}, 1), kErrorNoData);
    EXPECT_TRUE(reader.IsBroken());
    EXPECT_TRUE(writer.IsBroken());

    reader.Cancel();
    writer.Cancel();
    writer.Flush();
    EXPECT_EQ(stream->cancels, 2);
    EXPECT_EQ(stream->flushes, 1);
    EXPECT_FALSE(reader.CanSeek());
}

TEST(BinaryIo, TextsTravelAsTheirBytesAndOneNulOnAnyStream) {
    // A stream without text operations of its own gets the joined payload.
    auto stream = std::make_shared<ScriptedStream>();
    BinaryReader reader(stream);
    BinaryWriter writer(stream);
    EXPECT_EQ(writer.WriteText("{}", 5000), kResultOk);
    EXPECT_EQ(stream->written, (Bytes{'{', '}', 0}));
    EXPECT_EQ(writer.WriteText("", 5000), kResultOk);
    EXPECT_EQ(stream->written, Bytes{0});
    stream->payload = {'o', 'k', 0};
    std::string text = "old";
    EXPECT_EQ(reader.ReadText(text, 5000), kResultOk);
    EXPECT_EQ(text, std::string("ok\0", 3));
    stream->code = kErrorNoData;
    EXPECT_EQ(reader.ReadText(text, 5000), kErrorNoData);
    EXPECT_EQ(text, std::string("ok\0", 3));
    stream->ready = false;
    EXPECT_EQ(writer.WriteText("x", 5000), kResultNotReady);
    EXPECT_EQ(reader.ReadText(text, 5000), kResultNotReady);
}

TEST(BinaryIo, AStreamThatIsNotReadyIsNeitherReadNorWritten) {
    auto stream = std::make_shared<ScriptedStream>();
    stream->ready = false;
    BinaryReader reader(stream);
    BinaryWriter writer(stream);
    Bytes out = {4};
    EXPECT_EQ(reader.Read(out, 10), kResultNotReady);
    EXPECT_EQ(writer.Write({1}, 10), kResultNotReady);
    EXPECT_EQ(stream->reads, 0);
    EXPECT_EQ(stream->writes, 0);
    EXPECT_EQ(out, Bytes{4});
}

TEST(BinaryIo, ATextMessageIsTheTextAndOneNul) {
    EXPECT_EQ(TextMessage(""), Bytes{0});
    EXPECT_EQ(TextMessage(std::string("a\0b", 3)), (Bytes{'a', 0, 'b', 0}));
}

}  // namespace
}  // namespace sdk::test
