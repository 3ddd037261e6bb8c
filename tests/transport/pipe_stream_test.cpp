// Pipe streams end to end: a real client stream against the server side of the same pipe.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "pipe_test_util.h"
#include "transport/frame_channel.h"

namespace sdk::test {
namespace {

Bytes FrameOf(const Bytes& payload) {
    const auto n = static_cast<std::uint32_t>(payload.size());
    Bytes frame(4 + payload.size());
    for (int i = 0; i < 4; ++i) {
        frame[i] = static_cast<std::uint8_t>(n >> (8 * i));
    }
    std::copy(payload.begin(), payload.end(), frame.begin() + 4);
    return frame;
}

TEST(PipeStream, TextMessagesTravelAsLengthPrefixedFrames) {
    PipeLink out = OpenOutputLink();
    ASSERT_TRUE(out.server);
    EXPECT_EQ(out.client->WriteText("{}", 1000).status, IoStatus::kOk);
    EXPECT_EQ(out.client->WriteText("", 1000).status, IoStatus::kOk);
    Bytes payload;
    ASSERT_EQ(out.server->ReadMessage(payload, 1000), kResultOk);
    EXPECT_EQ(payload, (Bytes{0x7B, 0x7D, 0x00}));
    ASSERT_EQ(out.server->ReadMessage(payload, 1000), kResultOk);
    EXPECT_EQ(payload, (Bytes{0x00}));

    // The same bytes written raw by the peer read back as the same two messages.
    PipeLink in = OpenInputLink();
    ASSERT_TRUE(in.server);
    ASSERT_EQ(
        in.server->WriteRaw({0x03, 0x00, 0x00, 0x00, 0x7B, 0x7D, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}, 1000),
        kResultOk);
    ASSERT_EQ(in.client->Read(payload, 1000).status, IoStatus::kOk);
    EXPECT_EQ(payload, (Bytes{0x7B, 0x7D, 0x00}));
    ASSERT_EQ(in.client->Read(payload, 1000).status, IoStatus::kOk);
    EXPECT_EQ(payload, (Bytes{0x00}));
    EXPECT_FALSE(in.client->IsBroken());
}

TEST(PipeStream, TextsWrittenAndReadAsTextsAreTheSameFramesAsBytes) {
    PipeLink out = OpenOutputLink();
    ASSERT_TRUE(out.server);
    // Larger than one receive takes, so the frame also arrives in parts.
    const std::string big(200000, 'x');
    auto writer = std::async(std::launch::async, [&] {
        return out.client->WriteText("{}", 1000).status == IoStatus::kOk &&
               out.client->WriteText("", 1000).status == IoStatus::kOk &&
               out.client->WriteText(big, 10000).status == IoStatus::kOk;
    });
    Bytes payload;
    ASSERT_EQ(out.server->ReadMessage(payload, 1000), kResultOk);
    EXPECT_EQ(payload, (Bytes{0x7B, 0x7D, 0x00}));
    ASSERT_EQ(out.server->ReadMessage(payload, 1000), kResultOk);
    EXPECT_EQ(payload, Bytes{0x00});
    ASSERT_EQ(out.server->ReadMessage(payload, 10000), kResultOk);
    ASSERT_EQ(payload.size(), big.size() + 1);
    EXPECT_EQ(payload.back(), 0);
    EXPECT_TRUE(std::equal(big.begin(), big.end(), payload.begin()));
    EXPECT_TRUE(writer.get());

    PipeLink in = OpenInputLink();
    ASSERT_TRUE(in.server);
    ASSERT_EQ(in.server->WriteMessage({'o', 'k', 0}, 1000), kResultOk);
    ASSERT_EQ(in.server->WriteMessage({}, 1000), kResultOk);
    std::string text = "old";
    ASSERT_EQ(in.client->Read(text, 1000).status, IoStatus::kOk);
    EXPECT_EQ(text, std::string("ok\0", 3));
    ASSERT_EQ(in.client->Read(text, 1000).status, IoStatus::kOk);
    EXPECT_TRUE(text.empty());
}

TEST(PipeStream, ZeroLengthFramesAreValidEmptyMessages) {
    PipeLink out = OpenOutputLink();
    ASSERT_TRUE(out.server);
    EXPECT_EQ(out.client->Write({}, 1000).status, IoStatus::kOk);
    EXPECT_EQ(out.client->Write({0x42}, 1000).status, IoStatus::kOk);
    Bytes payload = {9, 9};
    ASSERT_EQ(out.server->ReadMessage(payload, 1000), kResultOk);
    EXPECT_TRUE(payload.empty());
    ASSERT_EQ(out.server->ReadMessage(payload, 1000), kResultOk);
    EXPECT_EQ(payload, Bytes{0x42});

    PipeLink in = OpenInputLink();
    ASSERT_TRUE(in.server);
    ASSERT_EQ(in.server->WriteMessage({}, 1000), kResultOk);
    ASSERT_EQ(in.server->WriteMessage({1, 2, 3}, 1000), kResultOk);
    payload = {7, 7, 7};
    ASSERT_EQ(in.client->Read(payload, 1000).status, IoStatus::kOk);
    EXPECT_TRUE(payload.empty());
    ASSERT_EQ(in.client->Read(payload, 1000).status, IoStatus::kOk);
    EXPECT_EQ(payload, (Bytes{1, 2, 3}));
    EXPECT_FALSE(in.client->IsBroken());
}

TEST(PipeStream, LargeMessagesArriveWholeAcrossPartialTransfers) {
    PipeLink in = OpenInputLink();
    ASSERT_TRUE(in.server);
    Bytes big(3 * 1024 * 1024);
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<std::uint8_t>(i * 7 + (i >> 13));
    }
    // Far more than a socket buffer holds: the writer must wait for the reader again and again.
    auto writer = std::async(std::launch::async, [&] { return in.server->WriteMessage(big, 10000); });
    Bytes payload;
    EXPECT_EQ(in.client->Read(payload, 10000).status, IoStatus::kOk);
    EXPECT_EQ(writer.get(), kResultOk);
    EXPECT_TRUE(payload == big);
}

TEST(PipeStream, BackToBackFramesOfEverySizeKeepTheirBoundaries) {
    // Small frames that arrive together, frames about as large as one receive takes, and frames larger
    // than that, sent as one stream of bytes.
    const std::size_t sizes[] = {0, 1, 100, 65530, 65536, 3, 65541, 200000, 7, 0, 131072};
    std::vector<Bytes> payloads;
    Bytes stream;
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
        Bytes payload(sizes[i]);
        for (std::size_t j = 0; j < payload.size(); ++j) {
            payload[j] = static_cast<std::uint8_t>(i * 31 + j * 13 + (j >> 9));
        }
        const Bytes frame = FrameOf(payload);
        stream.insert(stream.end(), frame.begin(), frame.end());
        payloads.push_back(std::move(payload));
    }
    for (bool clientReads : {false, true}) {
        PipeLink link = clientReads ? OpenInputLink() : OpenOutputLink();
        ASSERT_TRUE(link.server);
        if (clientReads) {
            // The client reads what the server side wrote raw.
            auto peer = std::async(std::launch::async, [&] { return link.server->WriteRaw(stream, 10000); });
            for (const Bytes& expected : payloads) {
                Bytes payload = {1};
                ASSERT_EQ(link.client->Read(payload, 10000).status, IoStatus::kOk);
                EXPECT_TRUE(payload == expected) << expected.size();
            }
            EXPECT_EQ(peer.get(), kResultOk);
            EXPECT_FALSE(link.client->IsBroken());
        } else {
            // The server side reads what the client wrote as separate messages.
            auto peer = std::async(std::launch::async, [&] {
                for (const Bytes& payload : payloads) {
                    if (link.client->Write(payload, 10000).status != IoStatus::kOk) return false;
                }
                return true;
            });
            for (const Bytes& expected : payloads) {
                Bytes payload = {1};
                ASSERT_EQ(link.server->ReadMessage(payload, 10000), kResultOk);
                EXPECT_TRUE(payload == expected) << expected.size();
            }
            EXPECT_TRUE(peer.get());
        }
    }
}

TEST(PipeStream, FramesThatArrivedBeforeThePeerLeftAreStillRead) {
    PipeLink in = OpenInputLink();
    ASSERT_TRUE(in.server);
    const Bytes first = FrameOf({1, 2});
    Bytes both = FrameOf({3});
    both.insert(both.begin(), first.begin(), first.end());
    ASSERT_EQ(in.server->WriteRaw(both, 1000), kResultOk);
    in.server->Close();
    Bytes payload;
    ASSERT_EQ(in.client->Read(payload, 1000).status, IoStatus::kOk);
    EXPECT_EQ(payload, (Bytes{1, 2}));
    ASSERT_EQ(in.client->Read(payload, 1000).status, IoStatus::kOk);
    EXPECT_EQ(payload, Bytes{3});
    EXPECT_FALSE(in.client->IsBroken());
    EXPECT_EQ(in.client->Read(payload, 1000).status, IoStatus::kClosed);
    EXPECT_TRUE(in.client->IsBroken());
}

TEST(PipeStream, AFrameSplitInPiecesIsReassembledWithinTheTimeOut) {
    PipeLink in = OpenInputLink();
    ASSERT_TRUE(in.server);
    const Bytes frame = FrameOf({'a', 'b', 'c', 'd', 'e'});
    std::promise<void> firstReadStarted;
    auto peer = std::async(std::launch::async, [&] {
        in.server->WriteRaw(Bytes(frame.begin(), frame.begin() + 2), 1000);  // half a length word
        firstReadStarted.get_future().wait();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        in.server->WriteRaw(Bytes(frame.begin() + 2, frame.begin() + 6), 1000);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        in.server->WriteRaw(Bytes(frame.begin() + 6, frame.end()), 1000);
    });
    firstReadStarted.set_value();
    Bytes payload;
    EXPECT_EQ(in.client->Read(payload, 10000).status, IoStatus::kOk);
    peer.get();
    EXPECT_EQ(payload, (Bytes{'a', 'b', 'c', 'd', 'e'}));
    EXPECT_FALSE(in.client->IsBroken());
}

TEST(PipeStream, AnnouncedLengthAboveTheCapIsRefusedAndBreaksTheStream) {
    PipeLink in = OpenInputLink();
    ASSERT_TRUE(in.server);
    const std::uint32_t tooBig = kMaxFramePayload + 1;
    ASSERT_EQ(in.server->WriteRaw(
                  {static_cast<std::uint8_t>(tooBig), static_cast<std::uint8_t>(tooBig >> 8),
                   static_cast<std::uint8_t>(tooBig >> 16), static_cast<std::uint8_t>(tooBig >> 24)},
                  1000),
              kResultOk);
    Bytes payload = {5};
    EXPECT_EQ(in.client->Read(payload, 1000).status, IoStatus::kTooLarge);
    EXPECT_EQ(payload, Bytes{5});
    EXPECT_TRUE(in.client->IsBroken());
}

TEST(PipeStream, AnnouncedLengthAtTheCapIsAccepted) {
    PipeLink in = OpenInputLink();
    ASSERT_TRUE(in.server);
    const std::uint32_t atCap = kMaxFramePayload;
    ASSERT_EQ(in.server->WriteRaw(
                  {static_cast<std::uint8_t>(atCap), static_cast<std::uint8_t>(atCap >> 8),
                   static_cast<std::uint8_t>(atCap >> 16), static_cast<std::uint8_t>(atCap >> 24), 1},
                  1000),
              kResultOk);
    in.server->Close();
    // Not refused: the stream goes on to read the payload and finds the peer gone.
    Bytes payload;
    EXPECT_EQ(in.client->Read(payload, 5000).status, IoStatus::kClosed);
    EXPECT_TRUE(payload.empty());
}

TEST(PipeStream, WritingMoreThanTheCapIsRefusedBeforeAnythingIsSent) {
    PipeLink out = OpenOutputLink();
    ASSERT_TRUE(out.server);
    EXPECT_EQ(out.client->Write(Bytes(kMaxFramePayload + 1), 1000).status, IoStatus::kTooLarge);
    EXPECT_FALSE(out.client->IsBroken());
    ASSERT_EQ(out.client->Write({1}, 1000).status, IoStatus::kOk);
    Bytes payload;
    ASSERT_EQ(out.server->ReadMessage(payload, 1000), kResultOk);
    EXPECT_EQ(payload, Bytes{1});
}

TEST(PipeStream, ReadTimeOutReportsPendingAndBreaksTheStream) {
    PipeLink in = OpenInputLink();
    ASSERT_TRUE(in.server);
    Stopwatch watch;
    Bytes payload = {1};
    EXPECT_EQ(in.client->Read(payload, 100).status, IoStatus::kTimedOut);
    EXPECT_GE(watch.ElapsedMs(), 90);
    EXPECT_EQ(payload, Bytes{1});
    EXPECT_TRUE(in.client->IsBroken());
}

TEST(PipeStream, TimeOutInsideAFrameNeverYieldsAPartialMessage) {
    for (std::size_t cut : {2u, 6u}) {  // inside the length word, inside the payload
        PipeLink in = OpenInputLink();
        ASSERT_TRUE(in.server);
        const Bytes frame = FrameOf({'x', 'y', 'z', 'w'});
        ASSERT_EQ(in.server->WriteRaw(Bytes(frame.begin(), frame.begin() + cut), 1000), kResultOk);
        Bytes payload = {1};
        EXPECT_EQ(in.client->Read(payload, 100).status, IoStatus::kTimedOut) << "cut at " << cut;
        EXPECT_EQ(payload, Bytes{1});
        EXPECT_TRUE(in.client->IsBroken());
    }
}

TEST(PipeStream, TimeOutOfZeroOrBelowWaitsWithoutLimit) {
    for (int timeout : {0, -1}) {
        PipeLink in = OpenInputLink();
        ASSERT_TRUE(in.server);
        auto reader = std::async(std::launch::async, [&] {
            Bytes payload;
            const IoStatus status = in.client->Read(payload, timeout).status;
            return std::make_pair(status, payload);
        });
        // Still waiting long after a short wait would have ended.
        EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
        ASSERT_EQ(in.server->WriteMessage({4, 2}, 1000), kResultOk);
        const auto [status, payload] = reader.get();
        EXPECT_EQ(status, IoStatus::kOk);
        EXPECT_EQ(payload, (Bytes{4, 2}));
    }
}

TEST(PipeStream, CancelFromAnotherThreadWakesAWaitingReaderAtOnce) {
    PipeLink in = OpenInputLink();
    ASSERT_TRUE(in.server);
    auto reader = std::async(std::launch::async, [&] {
        Bytes payload;
        return in.client->Read(payload, -1).status;
    });
    ASSERT_EQ(reader.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    Stopwatch watch;
    in.client->Cancel();
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_LT(watch.ElapsedMs(), 2000);
    EXPECT_EQ(reader.get(), IoStatus::kCancelled);
    EXPECT_TRUE(in.client->IsBroken());
}

TEST(PipeStream, CancelIsFinalButDataAlreadyThereStillArrives) {
    PipeLink in = OpenInputLink();
    ASSERT_TRUE(in.server);
    ASSERT_EQ(in.server->WriteMessage({8}, 1000), kResultOk);
    in.client->Cancel();
    Bytes payload;
    EXPECT_EQ(in.client->Read(payload, -1).status, IoStatus::kOk);
    EXPECT_EQ(payload, Bytes{8});
    EXPECT_FALSE(in.client->IsBroken());
    // Nothing more is waiting: the cancel ends this unlimited wait at once.
    EXPECT_EQ(in.client->Read(payload, -1).status, IoStatus::kCancelled);
    EXPECT_TRUE(in.client->IsBroken());
}

TEST(PipeStream, APeerThatClosesGivesBrokenPipe) {
    PipeLink in = OpenInputLink();
    ASSERT_TRUE(in.server);
    in.server->Close();
    Bytes payload;
    EXPECT_EQ(in.client->Read(payload, 1000).status, IoStatus::kClosed);
    EXPECT_TRUE(in.client->IsBroken());

    PipeLink out = OpenOutputLink();
    ASSERT_TRUE(out.server);
    out.server->Close();
    // Writing to a vanished reader is an error code, never a signal that ends the process.
    EXPECT_EQ(out.client->Write(Bytes(100000, 1), 1000).status, IoStatus::kClosed);
    EXPECT_TRUE(out.client->IsBroken());
}

TEST(PipeStream, OpeningAPipeThatNobodyServesFailsAtOnce) {
    Stopwatch watch;
    EXPECT_EQ(OpenFrameChannel(UniquePipeName(L"nobody"), PipeEnd::kRead, 2000), nullptr);
    EXPECT_EQ(OpenFrameChannel(UniquePipeName(L"nobody"), PipeEnd::kWrite, 2000), nullptr);
    EXPECT_LT(watch.ElapsedMs(), 1500);
    // A listener that went away leaves nothing to connect to.
    const std::wstring name = UniquePipeName(L"gone");
    ListenOnPipe(name).reset();
    EXPECT_EQ(OpenFrameChannel(name, PipeEnd::kRead, 2000), nullptr);
}

TEST(PipeStream, MalformedNamesFailToOpenAndToListen) {
    for (const std::wstring& name :
         {std::wstring(L""), std::wstring(L"VeltariLumaneth"), std::wstring(L"\\\\.\\pipe\\"),
          std::wstring(L"\\\\.\\pipe\\a\\..\\b"), std::wstring(L"\\\\.\\pipe\\a\\\\b"),
          std::wstring(L"\\\\host\\pipe\\a")}) {
        EXPECT_EQ(OpenFrameChannel(name, PipeEnd::kRead, 100), nullptr);
        EXPECT_EQ(ListenOnPipe(name), nullptr);
    }
}

TEST(ServerPipe, ANameServedBySomeoneElseCannotBeListenedOn) {
    const std::wstring name = UniquePipeName(L"taken");
    auto first = ListenOnPipe(name);
    ASSERT_TRUE(first);
    EXPECT_EQ(ListenOnPipe(name), nullptr);
    // The first listener still works.
    auto client = OpenFrameChannel(name, PipeEnd::kWrite, 1000);
    ASSERT_TRUE(client);
    EXPECT_TRUE(first->Accept(1000));
    first.reset();
    EXPECT_TRUE(ListenOnPipe(name));
}

TEST(ServerPipe, AcceptTimesOutAndCancelWakesIt) {
    auto listener = ListenOnPipe(UniquePipeName(L"accept"));
    ASSERT_TRUE(listener);
    Stopwatch watch;
    EXPECT_EQ(listener->Accept(100), nullptr);
    EXPECT_GE(watch.ElapsedMs(), 90);

    auto waiting = std::async(std::launch::async, [&] { return listener->Accept(-1) != nullptr; });
    ASSERT_EQ(waiting.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    listener->Cancel();
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_FALSE(waiting.get());
    EXPECT_EQ(listener->Accept(-1), nullptr);
}

TEST(ServerPipe, ServerEndsReportTheClientLeavingAndCancel) {
    PipeLink out = OpenOutputLink();
    ASSERT_TRUE(out.server);
    auto reader = std::async(std::launch::async, [&] {
        Bytes payload;
        return out.server->ReadMessage(payload, -1);
    });
    ASSERT_EQ(reader.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    out.server->Cancel();
    EXPECT_EQ(reader.get(), kErrorIoPending);

    PipeLink in = OpenInputLink();
    ASSERT_TRUE(in.server);
    in.client.reset();
    EXPECT_EQ(in.server->WriteMessage({1, 2, 3}, 1000), kErrorBrokenPipe);
    in.server->Close();
    EXPECT_EQ(in.server->WriteMessage({1}, 1000), kResultNotReady);
}

}  // namespace
}  // namespace sdk::test
