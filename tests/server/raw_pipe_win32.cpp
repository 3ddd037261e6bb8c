#include <windows.h>

#include "raw_pipe.h"

namespace sdk::test {
namespace {

class HandleWriter : public RawPipeWriter {
public:
    explicit HandleWriter(HANDLE handle) : handle_(handle) {}
    ~HandleWriter() override { Close(); }
    bool Write(const Bytes& bytes) override {
        DWORD written = 0;
        return WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
               written == bytes.size();
    }
    void Close() override {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE handle_;
};

}  // namespace

std::unique_ptr<RawPipeWriter> OpenRawPipeWriter(const std::wstring& pipeName) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        HANDLE handle = CreateFileW(pipeName.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle != INVALID_HANDLE_VALUE) return std::make_unique<HandleWriter>(handle);
        if (GetLastError() != ERROR_PIPE_BUSY || !WaitNamedPipeW(pipeName.c_str(), 100)) break;
    }
    return nullptr;
}

}  // namespace sdk::test
