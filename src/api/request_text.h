// The envelope of every request, {"method":M} or {"method":M,"params":{...}}, written straight as text.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "json/json_writer.h"

namespace sdk {

// One integer member of "params".
struct RequestParam {
    std::string_view name;
    int value;
};

// Appends {"method":M} to out.
void WriteRequest(std::string& out, std::string_view method);
// Appends {"method":M,"params":{...}} to out, with the members in the order given.
void WriteRequest(std::string& out, std::string_view method, std::initializer_list<RequestParam> params);

// For requests with other members: writes {"method":M,"params":{ and, after the caller's members, }}.
void BeginRequestParams(JsonWriter& writer, std::string_view method);
void EndRequestParams(JsonWriter& writer);

}  // namespace sdk
