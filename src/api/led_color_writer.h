// Colour-list records written several at a time with the processor's vector instructions, where it has them.
#pragma once

#include <cstdint>

#include "veltari.h"

namespace sdk {

// Writes records 0, 1, ... of a list (slots[order[k]], or slots[k] when order is null), at most `count`, as
// "ledId,r,g,b#" texts, four at a time while each field of the next four is in 0..999; moves out past them
// and returns how many it wrote. Each step stores kWideWriteSpan bytes at out, beyond the text it leaves.
using WideRecordWriter = int (*)(char*& out, const VeltariLedColor* slots, const std::uint16_t* order,
                                 int count);
constexpr int kWideWriteSpan = 64;

// This processor's writer, or null when it lacks the instructions; decided once.
WideRecordWriter ProcessorRecordWriter();

}  // namespace sdk
