// Client pipe streams and server pipes over real Windows named pipes, including raw pipes made here
// with modes and instance limits that the server side of this project never uses.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "pipes/pipe_server.h"
#include "transport/frame_channel.h"
#include "transport/pipe_test_util.h"

namespace sdk::test {
namespace {

using namespace std::chrono_literals;

Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

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

TEST(PipeStreamWin32, WritesLengthWordThenPayloadBytes) {
    const std::wstring name = UniquePipeName(L"win32");
    RawServerPipe server(name, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE);
    ASSERT_TRUE(server.Valid());
    std::shared_ptr<FrameChannel> out = OpenFrameChannel(name, PipeEnd::kWrite, 2000);
    ASSERT_TRUE(out);
    ASSERT_TRUE(server.Connect());

    Bytes text = Text("{}");
    text.push_back(0);
    ASSERT_EQ(IoStatus::kOk, out->Write(text, 5000).status);
    ASSERT_EQ(IoStatus::kOk, out->Write({}, 5000).status);
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
    const std::wstring name = UniquePipeName(L"win32");
    RawServerPipe server(name, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE);
    ASSERT_TRUE(server.Valid());
    std::shared_ptr<FrameChannel> in = OpenFrameChannel(name, PipeEnd::kRead, 2000);
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
    ASSERT_EQ(IoStatus::kOk, in->Read(message, 5000).status);
    EXPECT_EQ(Text("abc"), message);
    ASSERT_EQ(IoStatus::kOk, in->Read(message, 5000).status);
    EXPECT_EQ(Text("xy"), message);
    ASSERT_EQ(IoStatus::kOk, in->Read(message, 5000).status);
    EXPECT_EQ(Text("12345"), message);
    EXPECT_FALSE(in->IsBroken());
}

TEST(PipeStreamWin32, PeerCloseAfterAFrameGivesTheFrameThenBrokenPipe) {
    PipeLink channel = OpenInputLink();
    ASSERT_TRUE(channel.server);
    ASSERT_EQ(kResultOk, channel.server->WriteMessage(Text("last words"), 5000));
    channel.server->Close();
    Bytes message;
    EXPECT_EQ(IoStatus::kOk, channel.client->Read(message, 5000).status);
    EXPECT_EQ(Text("last words"), message);
    EXPECT_FALSE(channel.client->IsBroken());
    EXPECT_EQ(IoStatus::kClosed, channel.client->Read(message, 5000).status);
    EXPECT_TRUE(channel.client->IsBroken());
}

TEST(PipeStreamWin32, PeerCloseInsideAFrameFailsWithoutTouchingTheOutput) {
    PipeLink channel = OpenInputLink();
    ASSERT_TRUE(channel.server);
    ASSERT_EQ(kResultOk, channel.server->WriteRaw({10, 0, 0, 0, 'h', 'a', 'l', 'f'}, 5000));
    channel.server->Close();
    Bytes message = Text("old");
    EXPECT_EQ(IoStatus::kClosed, channel.client->Read(message, 5000).status);
    EXPECT_EQ(Text("old"), message);
    EXPECT_TRUE(channel.client->IsBroken());
}

TEST(PipeStreamWin32, BusyPipeWaitsForAFreeInstance) {
    const std::wstring name = UniquePipeName(L"win32");
    RawServerPipe server(name, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE, 1);
    ASSERT_TRUE(server.Valid());
    std::shared_ptr<FrameChannel> first = OpenFrameChannel(name, PipeEnd::kRead, 2000);
    ASSERT_TRUE(first);
    ASSERT_TRUE(server.Connect());

    // The only instance is taken: the open waits, gives up, and returns nothing.
    EXPECT_FALSE(OpenFrameChannel(name, PipeEnd::kWrite, 200));

    // The instance comes free while the second client waits: the retry gets it.
    std::thread freeUp([&] {
        std::this_thread::sleep_for(300ms);
        DisconnectNamedPipe(server.Get());
        ConnectNamedPipe(server.Get(), nullptr);
    });
    std::shared_ptr<FrameChannel> second = OpenFrameChannel(name, PipeEnd::kWrite, 10000);
    freeUp.join();
    ASSERT_TRUE(second);
    ASSERT_EQ(IoStatus::kOk, second->Write(Text("got in"), 5000).status);
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
    const std::wstring name = UniquePipeName(L"win32");
    RawServerPipe server(name, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE);
    ASSERT_TRUE(server.Valid());
    std::shared_ptr<FrameChannel> out = OpenFrameChannel(name, PipeEnd::kWrite, 2000);
    ASSERT_TRUE(out);
    ASSERT_TRUE(server.Connect());
    ASSERT_EQ(IoStatus::kOk, out->Write(Text("hello"), 5000).status);
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

TEST(PipeServerWin32, ClientsArrivingBetweenAcceptsFindAnInstance) {
    const std::wstring name = UniquePipeName(L"win32");
    auto listener = ListenOnPipe(name);
    ASSERT_TRUE(listener);
    // Nobody is in Accept; a busy answer would fail these opens, whose busy wait is 1 ms.
    std::vector<std::shared_ptr<FrameChannel>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(OpenFrameChannel(name, PipeEnd::kWrite, 1));
        ASSERT_TRUE(clients.back()) << i;
        ASSERT_EQ(IoStatus::kOk, clients.back()->Write(Text("client " + std::to_string(i)), 5000).status);
    }
    // Clients that connected between two looks of the listener come in no particular order, but each
    // server end talks to exactly one of them.
    std::multiset<std::string> heard;
    for (int i = 0; i < 3; ++i) {
        auto server = listener->Accept(10000);
        ASSERT_TRUE(server) << i;
        EXPECT_EQ(GetCurrentProcessId(), server->PeerProcessId());
        Bytes message;
        ASSERT_EQ(kResultOk, server->ReadMessage(message, 5000));
        heard.insert(std::string(message.begin(), message.end()));
    }
    EXPECT_EQ((std::multiset<std::string>{"client 0", "client 1", "client 2"}), heard);
}

}  // namespace
}  // namespace sdk::test
