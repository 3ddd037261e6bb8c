// Runs the DLL host program (tests/dll/dll_host.c) as a child process, from the folder that holds the
// test executable, the host and the DLLs.
#pragma once

#include <windows.h>

#include <chrono>
#include <string>

namespace sdk::test {

struct HostRun {
    bool started = false;
    bool timedOut = false;
    DWORD exitCode = 0;
    std::chrono::milliseconds elapsed{0};
};

inline std::wstring BinaryFolder() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

// A child that has not ended after `limitMs` is killed and reported as timed out.
inline HostRun RunDllHost(const std::wstring& mode, const std::wstring& dllName, int limitMs) {
    const std::wstring folder = BinaryFolder();
    std::wstring command = L"\"" + folder + L"veltari_dll_host.exe\" " + mode + L" \"" + folder + dllName + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    HostRun run;
    const auto start = std::chrono::steady_clock::now();
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        return run;
    }
    run.started = true;
    if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(limitMs)) != WAIT_OBJECT_0) {
        run.timedOut = true;
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    run.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return run;
}

}  // namespace sdk::test
