#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "raw_pipe.h"
#include "transport/pipe_path_posix.h"

namespace sdk::test {
namespace {

class SocketWriter : public RawPipeWriter {
public:
    explicit SocketWriter(int fd) : fd_(fd) {}
    ~SocketWriter() override { Close(); }
    bool Write(const Bytes& bytes) override {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    void Close() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

}  // namespace

std::unique_ptr<RawPipeWriter> OpenRawPipeWriter(const std::wstring& pipeName) {
    const auto path = PipeSocketPath(pipeName, PipeDirectoryUse::kConnect);
    if (!path) return nullptr;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path->c_str(), path->size() + 1);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<SocketWriter>(fd);
}

}  // namespace sdk::test
