#include "web/web_access.h"

#include <cstdint>
#include <random>

#include "lighting/device_catalog.h"

namespace sdk {
namespace {

bool AllDigits(std::string_view text) {
    if (text.empty() || text.size() > 5) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// Dotted decimal 127.a.b.c, each part 0 to 255 without extra characters.
bool IsLoopbackIpv4(std::string_view text) {
    int parts = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t dot = std::min(text.find('.', start), text.size());
        const std::string_view part = text.substr(start, dot - start);
        if (part.empty() || part.size() > 3 || !AllDigits(part)) return false;
        const int value = std::stoi(std::string(part));
        if (value > 255 || (parts == 0 && value != 127)) return false;
        ++parts;
        start = dot + 1;
        if (dot == text.size()) break;
    }
    return parts == 4;
}

}  // namespace

bool IsLoopbackHost(std::string_view host, int port) {
    std::string_view name = host;
    std::string_view portText;
    if (!name.empty() && name.front() == '[') {
        const std::size_t close = name.find(']');
        if (close == std::string_view::npos) return false;
        portText = name.substr(close + 1);
        name = name.substr(1, close - 1);
        if (!EqualsIgnoringCase(name, "::1")) return false;
    } else {
        const std::size_t colon = name.find(':');
        if (colon != std::string_view::npos) {
            portText = name.substr(colon);
            name = name.substr(0, colon);
        }
        if (!EqualsIgnoringCase(name, "localhost") && !IsLoopbackIpv4(name)) return false;
    }
    if (portText.empty()) return true;
    if (portText.front() != ':' || !AllDigits(portText.substr(1))) return false;
    return std::stoi(std::string(portText.substr(1))) == port;
}

bool IsLoopbackOrigin(std::string_view origin, int port) {
    constexpr std::string_view kScheme = "http://";
    if (origin.substr(0, kScheme.size()) != kScheme) return false;
    return IsLoopbackHost(origin.substr(kScheme.size()), port);
}

std::string MakeAccessToken() {
    std::random_device device;
    std::string token;
    for (int i = 0; i < 4; ++i) {
        const std::uint32_t word = device();
        for (int shift = 28; shift >= 0; shift -= 4) token += "0123456789abcdef"[(word >> shift) & 15];
    }
    return token;
}

bool TokenMatches(std::string_view given, std::string_view expected) {
    if (expected.empty()) return false;
    unsigned difference = given.size() == expected.size() ? 0U : 1U;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const char g = i < given.size() ? given[i] : '\0';
        difference |= static_cast<unsigned char>(g ^ expected[i]);
    }
    return difference == 0;
}

}  // namespace sdk
