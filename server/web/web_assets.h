// The page's files, compiled into the server so that nothing has to be installed beside it.
#pragma once

#include <string_view>
#include <vector>

namespace sdk {

struct WebAsset {
    const char* path;
    std::string_view content;
    const char* type;
};

const std::vector<WebAsset>& WebAssets();

}  // namespace sdk
