// The server program on Windows: started as a process, reached over its named pipes, turned away as a
// second server, and stopped through its standard input.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "transport/bootstrap.h"
#include "transport/frame_channel.h"

namespace sdk::test {
namespace {

std::wstring Folder() {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring self(path, n);
    return self.substr(0, self.find_last_of(L"\\/") + 1);
}

std::wstring ServerExecutable() {
    for (const wchar_t* candidate : {L"veltari-server.exe", L"..\\server\\veltari-server.exe"}) {
        const std::wstring path = Folder() + candidate;
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return path;
    }
    return {};
}

std::string ReadFile(const std::wstring& path) {
    std::ifstream file(std::string(path.begin(), path.end()), std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

template <typename Predicate>
bool Eventually(Predicate predicate, int timeoutMs = 20000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class ServerProcess {
public:
    explicit ServerProcess(const std::wstring& args) {
        static int counter = 0;
        const std::wstring stem = Folder() + L"server-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(++counter);
        errPath_ = stem + L".err";
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE err = CreateFileW(errPath_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        HANDLE out =
            CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
        HANDLE readInput = nullptr;
        CreatePipe(&readInput, &input_, &inherit, 0);
        SetHandleInformation(input_, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = readInput;
        startup.hStdOutput = out;
        startup.hStdError = err;
        std::wstring command = L"\"" + ServerExecutable() + L"\" " + args;
        PROCESS_INFORMATION info{};
        if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                           nullptr, &startup, &info)) {
            process_ = info.hProcess;
            CloseHandle(info.hThread);
        }
        CloseHandle(readInput);
        CloseHandle(out);
        CloseHandle(err);
    }
    ~ServerProcess() {
        if (process_ != nullptr) {
            if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) TerminateProcess(process_, 99);
            CloseHandle(process_);
        }
        if (input_ != nullptr) CloseHandle(input_);
        DeleteFileW(errPath_.c_str());
    }
    bool Started() const { return process_ != nullptr; }
    void Type(const std::string& line) {
        const std::string text = line + "\n";
        DWORD written = 0;
        WriteFile(input_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
    // The exit code, or -1 when it did not end in time.
    int Wait(int timeoutMs = 20000) {
        if (WaitForSingleObject(process_, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        GetExitCodeProcess(process_, &code);
        return static_cast<int>(code);
    }
    std::string Err() const { return ReadFile(errPath_); }
    bool Serving() const {
        return Eventually([&] { return Err().find("Serving") != std::string::npos; });
    }

private:
    HANDLE process_ = nullptr;
    HANDLE input_ = nullptr;
    std::wstring errPath_;
};

TEST(ServerProgramWindows, ServesTurnsASecondAwayAndStopsOnQuit) {
    ASSERT_FALSE(ServerExecutable().empty());
    ServerProcess server(L"--no-view --protocol 6");
    ASSERT_TRUE(server.Started());
    ASSERT_TRUE(server.Serving()) << server.Err();
    {
        auto connection = CreateRpcConnection(":pid:" + std::to_string(GetCurrentProcessId()));
        ASSERT_TRUE(connection);
        std::string answer =
            connection->Call(R"({"method":"VeltraiHandshakeMethod","params":{"sdkProtocolVersion":9}})");
        if (!answer.empty() && answer.back() == '\0') answer.pop_back();
        EXPECT_EQ(answer, R"({"serverVersion":"1.0.0","serverProtocolVersion":6,"breakingChanges":false})");

        ServerProcess second(L"--no-view --no-stdin");
        ASSERT_TRUE(second.Started());
        EXPECT_EQ(second.Wait(), 3);
        EXPECT_NE(second.Err().find("another lighting server is already serving"), std::string::npos)
            << second.Err();
    }
    server.Type("quit");
    EXPECT_EQ(server.Wait(), 0) << server.Err();
    EXPECT_NE(server.Err().find("stopped"), std::string::npos);
    // The rendezvous pipes went with it.
    EXPECT_FALSE(OpenFrameChannel(ServerPipeBaseName() + L"_in", PipeEnd::kWrite, 200));
}

}  // namespace
}  // namespace sdk::test
