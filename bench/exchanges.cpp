#include "exchanges.h"

#include "api/led_color_list.h"
#include "messages.h"

namespace sdk::bench {

Exchange DeviceCountExchange() {
    return {"device_count", R"({"method":"VeltariGetDeviceCount"})", R"({"result":4,"errorCode":0})"};
}

Exchange SetColorsExchange() {
    return {"set_colors_912", SetLedsColorsRequest(), R"({"result":true,"errorCode":0})"};
}

Exchange GetColorsExchange() {
    const auto colors = FullKeyboardColors();
    std::string request;
    WriteLedColorsRequest(request, "VeltariGetLedsColors", kFullKeyboard, colors.data());
    return {"get_colors_912", request, GetLedsColorsResponse()};
}

Exchange FlushBufferExchange() {
    // Devices in ascending order and each device's LEDs in ascending id order, as the buffer holds them.
    std::string request =
        R"({"method":"VeltariSetLedsColorsFlushBuffer","params":{"ledsColorsByDeviceIndex":[)";
    for (int device = 0; device < kFlushDevices; ++device) {
        if (device > 0) request += ',';
        request +=
            R"({"deviceIndex":)" + std::to_string(device) + R"(,"ledColors":")" + ColorListText() + "\"}";
    }
    request += "]}}";
    return {"flush_4x912", request, R"({"result":true,"errorCode":0})"};
}

}  // namespace sdk::bench
