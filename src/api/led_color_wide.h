// Colour-list records written and read several at a time with the processor's vector instructions, where it
// has them.
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

// Reads records of short fields (1 to 3 digits, any one non-digit after each) from p on, at most `count`,
// several at a time while 64 bytes are readable; stores the r, g and b of each into rgb (three per record),
// moves p past them and returns how many it read. Stops at the start of a group with a field of another
// form, for a reader of single records to go on from there.
using WideRecordReader = int (*)(const char*& p, const char* end, int count, std::uint16_t* rgb);

// This processor's writer and reader, or null when it lacks the instructions; decided once.
WideRecordWriter ProcessorRecordWriter();
WideRecordReader ProcessorRecordReader();

}  // namespace sdk
