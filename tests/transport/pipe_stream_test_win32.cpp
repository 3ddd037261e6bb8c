// Client pipe streams and server pipes over real Windows named pipes, including raw pipes made here
// with modes and instance limits that the server side of this project never uses.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "pipes/pipe_server.h"
#include "transport/stream.h"

namespace sdk {
namespace {

using namespace std::chrono_literals;

std::wstring UniquePipeName() {
    static std::atomic<int> counter{0};
    return L"\\\\.\\pipe\\veltari-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(counter++);
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A server instance made by hand, for byte-exact checks and unusual pipe modes.
class RawServerPipe {
public:
    RawServerPipe(const std::wstring& name, DWORD pipeMode, DWORD maxInstances = 1) {
        handle_ = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, pipeMode | PIPE_WAIT, maxInstances, 4096,
                                   4096, 0, nullptr);
    }
    ~RawServerPipe() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
    }
    RawServerPipe(const RawServerPipe&) = delete;
    RawServerPipe& operator=(const RawServerPipe&) = delete;

    bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return handle_; }

    // After the client's CreateFileW the instance is connected; this only confirms it.
    bool Connect() { return ConnectNamedPipe(handle_, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED; }

    bool Write(const Bytes& bytes) {
        DWORD written = 0;
        return WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
               written == bytes.size();
    }

    Bytes ReadSome(DWORD size) {
        Bytes bytes(size);
        DWORD read = 0;
        if (!ReadFile(handle_, bytes.data(), size, &read, nullptr) && GetLastError() != ERROR_MORE_DATA) {
            return {};
        }
        bytes.resize(read);
        return bytes;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Listener, client streams of both directions and the two connected server ends.
struct Channel {
    std::wstring name = UniquePipeName();
    std::unique_ptr<IPipeListener> listener = ListenOnPipe(name);
    StreamPtr client;
    std::unique_ptr<IServerPipe> server;

    explicit Channel(bool clientReads) {
        if (!listener) {
            return;
        }
        client = clientReads ? OpenPipeInputStream(name, 2000) : OpenPipeOutputStream(name, 2000);
        if (client) {
            server = listener->Accept(10000);
        }
    }
    bool Ready() const { return client && server; }
};

TEST(PipeStreamWin32, WritesLengthWordThenPayloadBytes) {
    const std::wstring name = UniquePipeName();
    RawServerPipe server(name, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE);
    ASSERT_TRUE(server.Valid());
    StreamPtr out = OpenPipeOutputStream(name, 2000);
    ASSERT_TRUE(out);
    ASSERT_TRUE(server.Connect());

    Bytes text = Text("{}");
    text.push_back(0);
    ASSERT_EQ(kResultOk, out->Write(text, 5000));
    ASSERT_EQ(kResultOk, out->Write({}, 5000));
    const Bytes expected{0x03, 0x00, 0x00, 0x00, 0x7B, 0x7D, 0x00, 0x00, 0x00, 0x00, 0x00};
    Bytes received;
    while (received.size() < expected.size()) {
        Bytes part = server.ReadSome(static_cast<DWORD>(expected.size() - received.size()));
        ASSERT_FALSE(part.empty());
        received.insert(received.end(), part.begin(), part.end());
    }
    EXPECT_EQ(expected, received);
}

TEST(PipeStreamWin32, ReadsFramesFromMessageModePipesWhateverTheMessageSplit) {
    const std::wstring name = UniquePipeName();
    RawServerPipe server(name, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE);
    ASSERT_TRUE(server.Valid());
    StreamPtr in = OpenPipeInputStream(name, 2000);
    ASSERT_TRUE(in);
    ASSERT_TRUE(server.Connect());

    // Whole frame in one message: the length word read sees ERROR_MORE_DATA.
    ASSERT_TRUE(server.Write({3, 0, 0, 0, 'a', 'b', 'c'}));
    // Length word and payload as two messages, then a payload split over three messages.
    ASSERT_TRUE(server.Write({2, 0, 0, 0}));
    ASSERT_TRUE(server.Write({'x', 'y'}));
    ASSERT_TRUE(server.Write({5, 0, 0, 0, '1'}));
    ASSERT_TRUE(server.Write({'2', '3'}));
    ASSERT_TRUE(server.Write({'4', '5'}));

    Bytes message;
    ASSERT_EQ(kResultOk, in->Read(message, 5000));
    EXPECT_EQ(Text("abc"), message);
    ASSERT_EQ(kResultOk, in->Read(message, 5000));
    EXPECT_EQ(Text("xy"), message);
    ASSERT_EQ(kResultOk, in->Read(message, 5000));
    EXPECT_EQ(Text("12345"), message);
    EXPECT_FALSE(in->IsBroken());
}

TEST(PipeStreamWin32, CompletesAFrameThatArrivesInPieces) {
    Channel channel(true);
    ASSERT_TRUE(channel.Ready());
    std::thread writer([&] {
        channel.server->WriteRaw({6, 0}, 5000);
        std::this_thread::sleep_for(50ms);
        channel.server->WriteRaw({0, 0, 'p', 'a', 'r'}, 5000);
        std::this_thread::sleep_for(50ms);
        channel.server->WriteRaw({'t', 'l', 'y'}, 5000);
    });
    Bytes message;
    EXPECT_EQ(kResultOk, channel.client->Read(message, 10000));
    writer.join();
    EXPECT_EQ(Text("partly"), message);
}

TEST(PipeStreamWin32, LargeFramesCrossThePipeBufferBothWays) {
    Bytes big(3 * 1024 * 1024 + 17);
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<std::uint8_t>(i * 31 + 7);
    }
    Channel down(true);
    ASSERT_TRUE(down.Ready());
    std::thread serverWrites([&] { EXPECT_EQ(kResultOk, down.server->WriteMessage(big, 30000)); });
    Bytes received;
    EXPECT_EQ(kResultOk, down.client->Read(received, 30000));
    serverWrites.join();
    EXPECT_EQ(big, received);

    Channel up(false);
    ASSERT_TRUE(up.Ready());
    Bytes atServer;
    std::thread serverReads([&] { EXPECT_EQ(kResultOk, up.server->ReadMessage(atServer, 30000)); });
    EXPECT_EQ(kResultOk, up.client->Write(big, 30000));
    serverReads.join();
    EXPECT_EQ(big, atServer);
}

TEST(PipeStreamWin32, ReadTimeOutReportsPendingAndBreaksTheStream) {
    Channel channel(true);
    ASSERT_TRUE(channel.Ready());
    Bytes message = Text("kept");
    EXPECT_EQ(kErrorIoPending, channel.client->Read(message, 100));
    EXPECT_EQ(Text("kept"), message);
    EXPECT_TRUE(channel.client->IsBroken());
}

TEST(PipeStreamWin32, TimeOutOfZeroOrBelowWaitsWithoutLimit) {
    for (int timeout : {0, -1}) {
        Channel channel(true);
        ASSERT_TRUE(channel.Ready());
        std::thread writer([&] {
            std::this_thread::sleep_for(300ms);
            channel.server->WriteMessage(Text("late"), 5000);
        });
        Bytes message;
        EXPECT_EQ(kResultOk, channel.client->Read(message, timeout)) << timeout;
        writer.join();
        EXPECT_EQ(Text("late"), message);
        EXPECT_FALSE(channel.client->IsBroken());
    }
}

TEST(PipeStreamWin32, CancelFromAnotherThreadWakesAnUnlimitedRead) {
    Channel channel(true);
    ASSERT_TRUE(channel.Ready());
    std::atomic<std::uint32_t> code{kResultOk};
    std::atomic<bool> done{false};
    std::thread reader([&] {
        Bytes message;
        code = channel.client->Read(message, -1);
        done = true;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(done.load());
    channel.client->Cancel();
    reader.join();
    EXPECT_EQ(kErrorIoPending, code.load());
    EXPECT_TRUE(channel.client->IsBroken());
    // Cancel is final: the next read that has to wait ends at once.
    Bytes message;
    EXPECT_EQ(kErrorIoPending, channel.client->Read(message, -1));
}

TEST(PipeStreamWin32, CancelledStreamStillDeliversDataAlreadyWaiting) {
    Channel channel(true);
    ASSERT_TRUE(channel.Ready());
    ASSERT_EQ(kResultOk, channel.server->WriteMessage(Text("ready"), 5000));
    channel.client->Cancel();
    Bytes message;
    EXPECT_EQ(kResultOk, channel.client->Read(message, 5000));
    EXPECT_EQ(Text("ready"), message);
}

TEST(PipeStreamWin32, PeerCloseAfterAFrameGivesTheFrameThenBrokenPipe) {
    Channel channel(true);
    ASSERT_TRUE(channel.Ready());
    ASSERT_EQ(kResultOk, channel.server->WriteMessage(Text("last words"), 5000));
    channel.server->Close();
    Bytes message;
    EXPECT_EQ(kResultOk, channel.client->Read(message, 5000));
    EXPECT_EQ(Text("last words"), message);
    EXPECT_FALSE(channel.client->IsBroken());
    EXPECT_EQ(kErrorBrokenPipe, channel.client->Read(message, 5000));
    EXPECT_TRUE(channel.client->IsBroken());
}

TEST(PipeStreamWin32, PeerCloseInsideAFrameFailsWithoutTouchingTheOutput) {
    Channel channel(true);
    ASSERT_TRUE(channel.Ready());
    ASSERT_EQ(kResultOk, channel.server->WriteRaw({10, 0, 0, 0, 'h', 'a', 'l', 'f'}, 5000));
    channel.server->Close();
    Bytes message = Text("old");
    EXPECT_EQ(kErrorBrokenPipe, channel.client->Read(message, 5000));
    EXPECT_EQ(Text("old"), message);
    EXPECT_TRUE(channel.client->IsBroken());
}

TEST(PipeStreamWin32, WriteToAClosedPeerBreaksTheStream) {
    Channel channel(false);
    ASSERT_TRUE(channel.Ready());
    channel.server->Close();
    const std::uint32_t code = channel.client->Write(Text("nobody"), 5000);
    EXPECT_TRUE(code == kErrorNoData || code == kErrorBrokenPipe || code == kErrorPipeNotConnected) << code;
    EXPECT_TRUE(channel.client->IsBroken());
}

TEST(PipeStreamWin32, WrongDirectionIsRefusedAndLeavesTheStreamWhole) {
    Channel input(true);
    Channel output(false);
    ASSERT_TRUE(input.Ready());
    ASSERT_TRUE(output.Ready());
    Bytes message = Text("x");
    EXPECT_EQ(kResultNotReady, input.client->Write(message, 100));
    EXPECT_EQ(kResultNotReady, output.client->Read(message, 100));
    EXPECT_EQ(Text("x"), message);
    EXPECT_FALSE(input.client->CanWrite(0));
    EXPECT_FALSE(output.client->CanRead(0));
    EXPECT_TRUE(input.client->CanRead(0));
    EXPECT_TRUE(output.client->CanWrite(0));
    EXPECT_FALSE(input.client->CanSeek());
    EXPECT_FALSE(input.client->IsBroken());
    EXPECT_FALSE(output.client->IsBroken());
}

TEST(PipeStreamWin32, OversizedLengthWordIsRefusedAndBreaksTheStream) {
    Channel channel(true);
    ASSERT_TRUE(channel.Ready());
    const std::uint32_t tooBig = kMaxFramePayload + 1;
    ASSERT_EQ(kResultOk, channel.server->WriteRaw({static_cast<std::uint8_t>(tooBig), static_cast<std::uint8_t>(tooBig >> 8),
                                                   static_cast<std::uint8_t>(tooBig >> 16),
                                                   static_cast<std::uint8_t>(tooBig >> 24)},
                                                  5000));
    Bytes message = Text("old");
    EXPECT_EQ(static_cast<std::uint32_t>(ERROR_INVALID_DATA), channel.client->Read(message, 5000));
    EXPECT_EQ(Text("old"), message);
    EXPECT_TRUE(channel.client->IsBroken());
}

TEST(PipeStreamWin32, OversizedWriteIsRefusedBeforeAnythingIsSent) {
    Channel channel(false);
    ASSERT_TRUE(channel.Ready());
    EXPECT_EQ(static_cast<std::uint32_t>(ERROR_INVALID_DATA),
              channel.client->Write(Bytes(kMaxFramePayload + 1), 5000));
    EXPECT_FALSE(channel.client->IsBroken());
    ASSERT_EQ(kResultOk, channel.client->Write(Text("next"), 5000));
    Bytes atServer;
    EXPECT_EQ(kResultOk, channel.server->ReadMessage(atServer, 5000));
    EXPECT_EQ(Text("next"), atServer);
}

TEST(PipeStreamWin32, MissingPipeFailsAtOnce) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(OpenPipeInputStream(UniquePipeName(), 2000));
    EXPECT_FALSE(OpenPipeOutputStream(UniquePipeName(), 2000));
    // Far below the busy wait that a pipe that exists would have earned.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1900ms);
}

TEST(PipeStreamWin32, BusyPipeWaitsForAFreeInstance) {
    const std::wstring name = UniquePipeName();
    RawServerPipe server(name, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE, 1);
    ASSERT_TRUE(server.Valid());
    StreamPtr first = OpenPipeInputStream(name, 2000);
    ASSERT_TRUE(first);
    ASSERT_TRUE(server.Connect());

    // The only instance is taken: the open waits, gives up, and returns nothing.
    EXPECT_FALSE(OpenPipeOutputStream(name, 200));

    // The instance comes free while the second client waits: the retry gets it.
    std::thread freeUp([&] {
        std::this_thread::sleep_for(300ms);
        DisconnectNamedPipe(server.Get());
        ConnectNamedPipe(server.Get(), nullptr);
    });
    StreamPtr second = OpenPipeOutputStream(name, 10000);
    freeUp.join();
    ASSERT_TRUE(second);
    ASSERT_EQ(kResultOk, second->Write(Text("got in"), 5000));
    EXPECT_EQ((Bytes{6, 0, 0, 0}), server.ReadSome(4));
    EXPECT_EQ(Text("got in"), server.ReadSome(6));
}

bool RunningUnderWine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

TEST(PipeStreamWin32, ServerLearnsOnlyTheIdentityOfTheClient) {
    if (RunningUnderWine()) {
        GTEST_SKIP() << "Wine grants impersonation whatever quality of service the client asks for";
    }
    const std::wstring name = UniquePipeName();
    RawServerPipe server(name, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE);
    ASSERT_TRUE(server.Valid());
    StreamPtr out = OpenPipeOutputStream(name, 2000);
    ASSERT_TRUE(out);
    ASSERT_TRUE(server.Connect());
    ASSERT_EQ(kResultOk, out->Write(Text("hello"), 5000));
    ASSERT_EQ(9u, server.ReadSome(9).size());  // impersonation needs data read first

    ASSERT_TRUE(ImpersonateNamedPipeClient(server.Get()));
    HANDLE token = nullptr;
    const BOOL opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token);
    RevertToSelf();
    ASSERT_TRUE(opened);
    SECURITY_IMPERSONATION_LEVEL level = SecurityDelegation;
    DWORD size = 0;
    const BOOL queried = GetTokenInformation(token, TokenImpersonationLevel, &level, sizeof level, &size);
    CloseHandle(token);
    ASSERT_TRUE(queried);
    EXPECT_EQ(SecurityIdentification, level);
}

TEST(PipeServerWin32, SecondListenerOnTheSameNameIsRefused) {
    const std::wstring name = UniquePipeName();
    auto first = ListenOnPipe(name);
    ASSERT_TRUE(first);
    EXPECT_FALSE(ListenOnPipe(name));
    first.reset();
    EXPECT_TRUE(ListenOnPipe(name));
}

TEST(PipeServerWin32, ClientsArrivingBetweenAcceptsFindAnInstance) {
    const std::wstring name = UniquePipeName();
    auto listener = ListenOnPipe(name);
    ASSERT_TRUE(listener);
    // Nobody is in Accept; a busy answer would fail these opens, whose busy wait is 1 ms.
    StreamPtr a = OpenPipeOutputStream(name, 1);
    StreamPtr b = OpenPipeOutputStream(name, 1);
    StreamPtr c = OpenPipeInputStream(name, 1);
    ASSERT_TRUE(a && b && c);
    auto sa = listener->Accept(10000);
    auto sb = listener->Accept(10000);
    auto sc = listener->Accept(10000);
    ASSERT_TRUE(sa && sb && sc);
    EXPECT_EQ(GetCurrentProcessId(), sa->PeerProcessId());
    EXPECT_EQ(GetCurrentProcessId(), sc->PeerProcessId());

    // Accepted in arrival order: each server end talks to its own client.
    ASSERT_EQ(kResultOk, a->Write(Text("from a"), 5000));
    ASSERT_EQ(kResultOk, b->Write(Text("from b"), 5000));
    Bytes message;
    ASSERT_EQ(kResultOk, sb->ReadMessage(message, 5000));
    EXPECT_EQ(Text("from b"), message);
    ASSERT_EQ(kResultOk, sa->ReadMessage(message, 5000));
    EXPECT_EQ(Text("from a"), message);
    ASSERT_EQ(kResultOk, sc->WriteMessage(Text("to c"), 5000));
    ASSERT_EQ(kResultOk, c->Read(message, 5000));
    EXPECT_EQ(Text("to c"), message);
}

TEST(PipeServerWin32, AcceptEndsOnTimeOutAndOnCancel) {
    auto listener = ListenOnPipe(UniquePipeName());
    ASSERT_TRUE(listener);
    EXPECT_FALSE(listener->Accept(100));
    std::thread canceller([&] {
        std::this_thread::sleep_for(100ms);
        listener->Cancel();
    });
    EXPECT_FALSE(listener->Accept(-1));
    canceller.join();
    EXPECT_FALSE(listener->Accept(-1));
}

TEST(PipeServerWin32, CancelWakesAServerRead) {
    Channel channel(false);
    ASSERT_TRUE(channel.Ready());
    std::atomic<std::uint32_t> code{kResultOk};
    std::thread reader([&] {
        Bytes message;
        code = channel.server->ReadMessage(message, -1);
    });
    std::this_thread::sleep_for(100ms);
    channel.server->Cancel();
    reader.join();
    EXPECT_EQ(kErrorIoPending, code.load());
}

}  // namespace
}  // namespace sdk
