// The web view of a build made without cpp-httplib: --web says so instead of serving.
#include "web/web_view.h"

namespace sdk {

struct WebView::Impl {};

WebView::WebView(LightingServer&) {}

WebView::~WebView() = default;

bool WebView::Start(int, std::string& error) {
    error = "this build of the server has no web view (it was built without cpp-httplib)";
    return false;
}

std::string WebView::Url() const {
    return {};
}

int WebView::Port() const {
    return 0;
}

const std::string& WebView::Token() const {
    static const std::string kNone;
    return kNone;
}

void WebView::Stop() {}

}  // namespace sdk
