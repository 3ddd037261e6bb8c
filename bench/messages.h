// The library's real messages, as the server sends them and as the library writes them, for benchmarks
// that need realistic texts. Built by hand so that no JSON implementation under test shapes them.
#pragma once

#include <string>
#include <vector>

#include "veltari.h"

namespace sdk::bench {

constexpr int kFullKeyboard = 912;

// A full keyboard of distinct LEDs 0..count-1 with varied colours.
std::vector<VeltariLedColor> FullKeyboardColors(int count = kFullKeyboard);

// {"result":[{"ledId":..,"top":..,"left":..,"height":..,"width":..},...],"errorCode":0}
std::string LedPositionsResponse(int count = kFullKeyboard);
// {"result":{"type":..,"model":"..",...,"channels":[{"totalLedsCount":..,"devices":[...]},...]},"errorCode":0}
std::string DeviceInfoResponse();
// {"method":"VeltariSetLedsColors","params":{"ledsColors":"0,r,g,b#1,..."}}
std::string SetLedsColorsRequest(int count = kFullKeyboard);
// {"ledsColors":"0,r,g,b#..."}: the answer to a colour read of `count` LEDs.
std::string GetLedsColorsResponse(int count = kFullKeyboard);
// The colour list text of FullKeyboardColors(count).
std::string ColorListText(int count = kFullKeyboard);

}  // namespace sdk::bench
