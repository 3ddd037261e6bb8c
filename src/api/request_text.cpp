#include "api/request_text.h"

namespace sdk {

std::string BuildRequest(std::string_view method) {
    std::string request;
    JsonWriter writer(request);
    writer.BeginObject();
    writer.Name("method");
    writer.String(method);
    writer.EndObject();
    return request;
}

std::string BuildRequest(std::string_view method, std::initializer_list<RequestParam> params) {
    std::string request;
    JsonWriter writer(request);
    BeginRequestParams(writer, method);
    for (const RequestParam& param : params) {
        writer.Name(param.name);
        writer.Number(param.value);
    }
    EndRequestParams(writer);
    return request;
}

void BeginRequestParams(JsonWriter& writer, std::string_view method) {
    writer.BeginObject();
    writer.Name("method");
    writer.String(method);
    writer.Name("params");
    writer.BeginObject();
}

void EndRequestParams(JsonWriter& writer) {
    writer.EndObject();
    writer.EndObject();
}

}  // namespace sdk
