#include "transport/pipe_path_posix.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace sdk {
namespace {

bool IsPrefix(std::wstring_view name) {
    // "\\.\pipe\", with "pipe" in any case as Windows accepts it.
    if (name.size() < 9 || name.substr(0, 4) != L"\\\\.\\" || name[8] != L'\\') {
        return false;
    }
    const std::wstring_view word = name.substr(4, 4);
    const wchar_t* expected = L"pipe";
    for (std::size_t i = 0; i < 4; ++i) {
        wchar_t c = word[i];
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
        if (c != expected[i]) {
            return false;
        }
    }
    return true;
}

// Units 0xFF80 to 0xFFFF are bytes that were widened with their sign (the server's reply is widened that
// way), so they turn back into those bytes; any other character is written as UTF-8.
bool AppendNarrow(wchar_t c, std::string& out) {
    const auto u = static_cast<std::uint32_t>(c);
    if (u == 0) {
        return false;
    }
    if (u < 0x80) {
        out += static_cast<char>(u);
    } else if (u >= 0xFF80 && u <= 0xFFFF) {
        out += static_cast<char>(u & 0xFF);
    } else if (u < 0x800) {
        out += static_cast<char>(0xC0 | (u >> 6));
        out += static_cast<char>(0x80 | (u & 0x3F));
    } else if (u < 0x10000) {
        if (u >= 0xD800 && u <= 0xDFFF) {
            return false;
        }
        out += static_cast<char>(0xE0 | (u >> 12));
        out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (u & 0x3F));
    } else if (u < 0x110000) {
        out += static_cast<char>(0xF0 | (u >> 18));
        out += static_cast<char>(0x80 | ((u >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (u & 0x3F));
    } else {
        return false;
    }
    return true;
}

// The components of REST; empty when one of them is empty, "." or "..", which would let a name reach
// outside the runtime directory.
std::vector<std::string> SplitRest(std::wstring_view rest) {
    std::vector<std::string> parts(1);
    for (wchar_t c : rest) {
        if (c == L'\\' || c == L'/') {
            parts.emplace_back();
        } else if (!AppendNarrow(c, parts.back())) {
            return {};
        }
    }
    for (const std::string& part : parts) {
        if (part.empty() || part == "." || part == "..") {
            return {};
        }
    }
    return parts;
}

// Owned by the user and writable by nobody else. A planted symbolic link counts as foreign unless the
// caller chose to follow links (the user's own XDG_RUNTIME_DIR).
bool IsPrivateDirectory(const std::string& dir, bool followLinks) {
    struct stat info {};
    const int rc = followLinks ? ::stat(dir.c_str(), &info) : ::lstat(dir.c_str(), &info);
    return rc == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::getuid() &&
           (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Creates one directory with mode 0700 (the umask cannot widen it, but it could narrow it for the owner).
bool MakePrivateDirectory(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0700) == 0) {
        return ::chmod(dir.c_str(), 0700) == 0;
    }
    return errno == EEXIST;
}

bool IsDirectoryNoLink(const std::string& dir) {
    struct stat info {};
    return ::lstat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

std::string PipeRuntimeDirectory() {
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg != nullptr && xdg[0] == '/') {
        std::string dir = xdg;
        while (dir.size() > 1 && dir.back() == '/') {
            dir.pop_back();
        }
        return dir;
    }
    return "/tmp/veltari-" + std::to_string(::getuid());
}

std::optional<std::string> PipeSocketPath(const std::wstring& pipeName, PipeDirectoryUse use) {
    if (!IsPrefix(pipeName)) {
        return std::nullopt;
    }
    const std::vector<std::string> parts = SplitRest(std::wstring_view(pipeName).substr(9));
    if (parts.empty()) {
        return std::nullopt;
    }
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    const bool fromEnvironment = xdg != nullptr && xdg[0] == '/';
    const std::string runtime = PipeRuntimeDirectory();

    std::string path = runtime;
    for (const std::string& part : parts) {
        path += '/';
        path += part;
    }
    if (path.size() >= sizeof(sockaddr_un{}.sun_path)) {
        return std::nullopt;
    }

    if (use == PipeDirectoryUse::kListen && !MakePrivateDirectory(runtime)) {
        return std::nullopt;
    }
    if (!IsPrivateDirectory(runtime, fromEnvironment)) {
        return std::nullopt;
    }
    if (use == PipeDirectoryUse::kListen) {
        std::string dir = runtime;
        for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
            dir += '/';
            dir += parts[i];
            if (!MakePrivateDirectory(dir) || !IsDirectoryNoLink(dir)) {
                return std::nullopt;
            }
        }
    }
    return path;
}

}  // namespace sdk
