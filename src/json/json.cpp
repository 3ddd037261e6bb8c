#include "json/json.h"

#include "json/json_value.h"

namespace sdk {

Json& SharedInvalidElement() {
    static Json instance = Json::Invalid();
    return instance;
}

Json& SharedInvalidMember() {
    static Json instance = Json::Invalid();
    return instance;
}

// A moved-from handle holds nothing; every operation treats it as the invalid value, so misuse stays
// harmless.

namespace {

// Assignments through the shared invalid values, or moves out of them, would change what every failed
// lookup returns, on every thread; assignments are ignored and moves leave them as they are.
bool IsShared(const Json* handle) {
    return handle == &SharedInvalidElement() || handle == &SharedInvalidMember();
}

}  // namespace

Json::Json() : value_(std::make_unique<JsonNullValue>()) {}
Json::Json(const std::string& text) : value_(std::make_unique<JsonStringValue>(text)) {}
Json::Json(std::string&& text) : value_(std::make_unique<JsonStringValue>(std::move(text))) {}
Json::Json(std::string_view text) : value_(std::make_unique<JsonStringValue>(std::string(text))) {}
Json::Json(const char* text)
    : value_(std::make_unique<JsonStringValue>(text ? std::string(text) : std::string())) {}
Json::Json(int number) : value_(std::make_unique<JsonNumberValue>(number)) {}
Json::Json(double number) : value_(std::make_unique<JsonNumberValue>(number)) {}
Json::Json(bool value) : value_(std::make_unique<JsonBoolValue>(value)) {}
Json::Json(std::unique_ptr<JsonValue> value) : value_(std::move(value)) {}
Json::~Json() = default;

Json::Json(const Json& other) : value_(other.value_ ? other.value_->Clone() : nullptr) {}
Json::Json(Json&& other) noexcept {
    // Left empty when moving from a shared value, which reads as the invalid value it would have taken.
    if (!IsShared(&other)) value_ = std::move(other.value_);
}

Json& Json::operator=(const Json& other) {
    if (this != &other && !IsShared(this)) {
        // Cloned before the old value goes: other may live inside it.
        value_ = other.value_ ? other.value_->Clone() : nullptr;
    }
    return *this;
}

Json& Json::operator=(Json&& other) noexcept {
    if (this == &other || IsShared(this)) return *this;
    if (IsShared(&other)) {
        value_.reset();
    } else {
        value_ = std::move(other.value_);
    }
    return *this;
}

Json Json::Invalid() {
    return Json(std::make_unique<JsonInvalidValue>());
}

Json& Json::operator[](std::string_view name) {
    if (!value_) return SharedInvalidMember();
    if (value_->Type() == kJsonNull) value_ = std::make_unique<JsonObjectValue>();
    return value_->Member(name);
}

Json& Json::operator[](int index) {
    if (!value_) return SharedInvalidElement();
    if (value_->Type() == kJsonNull) value_ = std::make_unique<JsonArrayValue>();
    return value_->Element(index);
}

void Json::Append(Json&& value) {
    if (!value_) return;
    if (&value == this) return Append(static_cast<const Json&>(value));
    if (value_->Type() == kJsonNull) value_ = std::make_unique<JsonArrayValue>();
    value_->Append(std::move(value));
}

void Json::Append(const Json& value) {
    if (!value_) return;
    if (value_->Type() == kJsonNull) value_ = std::make_unique<JsonArrayValue>();
    value_->Append(value);
}

void Json::SetMember(std::string_view name, Json&& value) {
    if (!value_) return;
    if (&value == this) return SetMember(name, static_cast<const Json&>(value));
    if (value_->Type() == kJsonNull) value_ = std::make_unique<JsonObjectValue>();
    value_->SetMember(name, std::move(value));
}

void Json::SetMember(std::string_view name, const Json& value) {
    if (!value_) return;
    if (value_->Type() == kJsonNull) value_ = std::make_unique<JsonObjectValue>();
    value_->SetMember(name, value);
}

void Json::SetElement(int index, Json&& value) {
    if (!value_) return;
    if (&value == this) return SetElement(index, static_cast<const Json&>(value));
    value_->SetElement(index, std::move(value));
}

void Json::SetElement(int index, const Json& value) {
    if (value_) value_->SetElement(index, value);
}

Json Json::Get(std::string_view name) const {
    return value_ ? value_->GetMember(name) : Invalid();
}
Json Json::Get(int index) const {
    return value_ ? value_->GetElement(index) : Invalid();
}

const Json& Json::At(std::string_view name) const {
    const Json* found = value_ ? value_->FindMember(name) : nullptr;
    return found ? *found : SharedInvalidMember();
}

const Json& Json::At(int index) const {
    const Json* found = value_ ? value_->FindElement(index) : nullptr;
    return found ? *found : SharedInvalidElement();
}

bool Json::HasMember(std::string_view name) const {
    return value_ && value_->HasMember(name);
}
int Json::Size() const {
    return value_ ? value_->Size() : -1;
}
bool Json::IsValid() const {
    return value_ && value_->IsValid();
}
bool Json::IsNull() const {
    return !value_ || value_->IsNull();
}
bool Json::AsBool() const {
    return value_ && value_->AsBool();
}
int Json::AsInt() const {
    return value_ ? value_->AsInt() : 0;
}
double Json::AsDouble() const {
    return value_ ? value_->AsDouble() : 0.0;
}
std::string Json::AsString() const {
    return value_ ? value_->AsString() : std::string();
}
std::string_view Json::AsStringView() const {
    if (value_ && value_->Type() == kJsonString) {
        return static_cast<const JsonStringValue*>(value_.get())->Text();
    }
    return {};
}
int Json::Type() const {
    return value_ ? value_->Type() : kJsonInvalid;
}

}  // namespace sdk
