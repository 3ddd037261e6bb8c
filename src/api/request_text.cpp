#include "api/request_text.h"

namespace sdk {

void WriteRequest(std::string& out, std::string_view method) {
    JsonWriter writer(out);
    writer.BeginObject();
    writer.Name("method");
    writer.String(method);
    writer.EndObject();
}

void WriteRequest(std::string& out, std::string_view method, std::initializer_list<RequestParam> params) {
    JsonWriter writer(out);
    BeginRequestParams(writer, method);
    for (const RequestParam& param : params) {
        writer.Name(param.name);
        writer.Number(param.value);
    }
    EndRequestParams(writer);
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
