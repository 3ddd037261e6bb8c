#include "api/led_color_wide.h"

// The one processor-specific piece of the library: x86-64 processors with AVX-512 VBMI2 write and read four
// records per step; others get no wide writer or reader and take the record-at-a-time paths.
#if defined(__x86_64__)
#include <immintrin.h>

#include <cstring>

namespace sdk {
namespace {

// Some intrinsics are used in their masked forms with every lane selected: GCC 12 warns of the undefined
// vector that the plain forms start from.
#define SDK_WIDE_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi2,bmi2,popcnt")))

// The sixteen fields of four records as "ddd," texts side by side, then only the digits a field needs
// compressed together: one store per four records rather than four per record.
SDK_WIDE_TARGET char* WriteFour(char* out, __m512i fields) {
    // Divisions by 100 and by 10 as multiplications, exact below 1000.
    constexpr __mmask16 kAll = 0xFFFF;
    const __m256i v = _mm512_maskz_cvtepi32_epi16(kAll, fields);
    const __m256i hundreds = _mm256_mulhi_epu16(v, _mm256_set1_epi16(656));
    const __m256i belowHundred = _mm256_sub_epi16(v, _mm256_mullo_epi16(hundreds, _mm256_set1_epi16(100)));
    const __m256i tens = _mm256_mulhi_epu16(belowHundred, _mm256_set1_epi16(6554));
    const __m256i units = _mm256_sub_epi16(belowHundred, _mm256_mullo_epi16(tens, _mm256_set1_epi16(10)));
    const __m512i digits = _mm512_or_si512(
        _mm512_maskz_cvtepu16_epi32(kAll, _mm256_or_si256(hundreds, _mm256_slli_epi16(tens, 8))),
        _mm512_maskz_slli_epi32(kAll, _mm512_maskz_cvtepu16_epi32(kAll, units), 16));
    constexpr int kComma = ',' << 24 | 0x303030;
    constexpr int kHash = '#' << 24 | 0x303030;
    const __m512i texts = _mm512_add_epi32(
        digits, _mm512_set_epi32(kHash, kComma, kComma, kComma, kHash, kComma, kComma, kComma, kHash, kComma,
                                 kComma, kComma, kHash, kComma, kComma, kComma));
    // Keep the units and the separator always, the tens from 10 and the hundreds from 100.
    __m512i keep = _mm512_set1_epi32(static_cast<int>(0x80800000u));
    keep = _mm512_mask_or_epi32(keep, _mm512_cmpgt_epu32_mask(fields, _mm512_set1_epi32(99)), keep,
                                _mm512_set1_epi32(0x80));
    keep = _mm512_mask_or_epi32(keep, _mm512_cmpgt_epu32_mask(fields, _mm512_set1_epi32(9)), keep,
                                _mm512_set1_epi32(0x8000));
    const __mmask64 kept = _mm512_movepi8_mask(keep);
    _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(kept, texts));
    return out + __builtin_popcountll(kept);
}

SDK_WIDE_TARGET __m512i LoadFour(const VeltariLedColor* slots, const std::uint16_t* order) {
    if (order == nullptr) return _mm512_loadu_si512(slots);
    // Four neighbouring slots, as a full keyboard in id order has them, are one load.
    std::uint64_t ids;
    std::memcpy(&ids, order, sizeof ids);
    const std::uint64_t first = ids & 0xFFFF;
    if (first <= 0xFFFC && ids == first * 0x0001000100010001u + 0x0003000200010000u)
        return _mm512_loadu_si512(slots + first);
    const auto record = [slots, order](int k) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(slots + order[k]));
    };
    const __m512i low = _mm512_inserti32x4(_mm512_castsi128_si512(record(0)), record(1), 1);
    return _mm512_inserti32x4(_mm512_inserti32x4(low, record(2), 2), record(3), 3);
}

SDK_WIDE_TARGET int WriteWide(char*& out, const VeltariLedColor* slots, const std::uint16_t* order,
                              int count) {
    int written = 0;
    char* p = out;
    for (; count - written >= 4; written += 4) {
        const __m512i fields =
            order != nullptr ? LoadFour(slots, order + written) : LoadFour(slots + written, nullptr);
        if (_mm512_cmplt_epu32_mask(fields, _mm512_set1_epi32(1000)) != 0xFFFF) break;
        p = WriteFour(p, fields);
    }
    out = p;
    return written;
}

// Bit i set when byte i of the 64 is not a digit: a field separator, whatever its character.
SDK_WIDE_TARGET std::uint64_t Separators(__m512i text) {
    return ~_mm512_cmplt_epu8_mask(_mm512_sub_epi8(text, _mm512_set1_epi8('0')), _mm512_set1_epi8(10));
}

// Position of the n-th (from 0) set bit of bits, 64 when there is none.
SDK_WIDE_TARGET int NthBit(std::uint64_t bits, int n) {
    const std::uint64_t bit = _pdep_u64(std::uint64_t{1} << n, bits);
    return bit != 0 ? __builtin_ctzll(bit) : 64;
}

// Reads four records of short fields (1 to 3 digits, one separator after each) from the start of `text`,
// whose separators are `separators`: their r, g and b into out[0..11]. False, with nothing stored, when the
// first sixteen fields are not all short.
SDK_WIDE_TARGET bool ReadFour(__m512i text, std::uint64_t separators, std::uint16_t* out) {
    // The positions of the first sixteen separators, and the lengths of the fields before them.
    const __m512i positions =
        _mm512_set_epi8(63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44, 43,
                        42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22,
                        21, 20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    const __m128i at =
        _mm512_maskz_extracti32x4_epi32(0xF, _mm512_maskz_compress_epi8(separators, positions), 0);
    const __m128i before = _mm_or_si128(_mm_slli_si128(at, 1), _mm_cvtsi32_si128(0xFF));
    const __m128i lengths = _mm_sub_epi8(_mm_sub_epi8(at, before), _mm_set1_epi8(1));
    // Missing separators read as position 0, which no run of short fields gives.
    if (_mm_cmpgt_epu8_mask(_mm_sub_epi8(lengths, _mm_set1_epi8(1)), _mm_set1_epi8(2)) != 0) return false;
    // Each field with its separator goes to the top of a 4-byte slot, zeros before it: "7," as 0,0,'7',','.
    const __m128i slotNibbles =
        _mm_shuffle_epi8(_mm_setr_epi8(0, 0x0C, 0x0E, 0x0F, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), lengths);
    const __m128i nibblePairs = _mm_maddubs_epi16(slotNibbles, _mm_set1_epi16(0x1001));
    const auto slots =
        static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_packus_epi16(nibblePairs, nibblePairs)));
    // Digits to values and separators (all below '0') to zero, then 100a + 10b + c per slot.
    const __m512i placed = _mm512_subs_epu8(_mm512_maskz_expand_epi8(slots, text), _mm512_set1_epi8('0'));
    const __m512i values =
        _mm512_madd_epi16(_mm512_maddubs_epi16(placed, _mm512_set1_epi32(0x00010A64)), _mm512_set1_epi16(1));
    // The ids are dropped; r, g and b of the four records are twelve 16-bit values.
    const __m512i colours = _mm512_maskz_compress_epi32(0xEEEE, values);
    _mm256_mask_storeu_epi16(out, 0x0FFF, _mm512_maskz_cvtepi32_epi16(0xFFFF, colours));
    return true;
}

// Eight records per step where 128 bytes are readable: the second four start after the sixteenth separator,
// found in the same loads, so that a step waits on the one before only once for eight records.
SDK_WIDE_TARGET int ReadWide(const char*& p, const char* end, int count, std::uint16_t* rgb) {
    int found = 0;
    const char* q = p;
    while (end - q >= 128 && count - found >= 8) {
        const __m512i first = _mm512_loadu_si512(q);
        const std::uint64_t firstSeparators = Separators(first);
        const int inFirst = __builtin_popcountll(firstSeparators);
        if (inFirst < 16) break;
        const int sixteenth = NthBit(firstSeparators, 15);
        const int thirtySecond = inFirst >= 32
                                     ? NthBit(firstSeparators, 31)
                                     : 64 + NthBit(Separators(_mm512_loadu_si512(q + 64)), 31 - inFirst);
        if (!ReadFour(first, firstSeparators, rgb)) break;
        const __m512i second = _mm512_loadu_si512(q + sixteenth + 1);
        if (!ReadFour(second, Separators(second), rgb + 12)) {
            q += sixteenth + 1;
            rgb += 12;
            found += 4;
            break;
        }
        // Both fours read, so the second's sixteenth separator lies within the 128 bytes.
        q += thirtySecond + 1;
        rgb += 24;
        found += 8;
    }
    while (end - q >= 64 && count - found >= 4) {
        const __m512i text = _mm512_loadu_si512(q);
        const std::uint64_t separators = Separators(text);
        if (!ReadFour(text, separators, rgb)) break;
        q += NthBit(separators, 15) + 1;
        rgb += 12;
        found += 4;
    }
    p = q;
    return found;
}

#undef SDK_WIDE_TARGET

bool HasWideInstructions() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi2") &&
           __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
}

bool Wide() {
    static const bool wide = HasWideInstructions();
    return wide;
}

}  // namespace

WideRecordWriter ProcessorRecordWriter() {
    return Wide() ? &WriteWide : nullptr;
}

WideRecordReader ProcessorRecordReader() {
    return Wide() ? &ReadWide : nullptr;
}

}  // namespace sdk

#else

namespace sdk {

WideRecordWriter ProcessorRecordWriter() {
    return nullptr;
}

WideRecordReader ProcessorRecordReader() {
    return nullptr;
}

}  // namespace sdk

#endif
