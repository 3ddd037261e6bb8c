// Who may use the web view: the checks every request passes before it is served.
#pragma once

#include <string>
#include <string_view>

namespace sdk {

// True when a Host (or the host part of an Origin) names this machine's loopback interface: "localhost",
// an address of 127.0.0.0/8 or [::1], followed by ":port" or by no port. Any other name is refused, so
// that a page whose own name was made to resolve to 127.0.0.1 (DNS rebinding) cannot reach the view.
bool IsLoopbackHost(std::string_view host, int port);

// True for an Origin header of a loopback page on this port ("http://127.0.0.1:8080"); "null" and other
// schemes are refused.
bool IsLoopbackOrigin(std::string_view origin, int port);

// A fresh random token of 32 hexadecimal digits, for the URL that the server prints.
std::string MakeAccessToken();

// Compares in a time that does not depend on where the texts differ. False for an empty expected token.
bool TokenMatches(std::string_view given, std::string_view expected);

}  // namespace sdk
