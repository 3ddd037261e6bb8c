#include "api/led_color_writer.h"

// The one processor-specific piece of the library: x86-64 processors with AVX-512 VBMI2 write four records
// per step, others get no wide writer and take the record-at-a-time path.
#if defined(__x86_64__)
#include <immintrin.h>

#include <cstring>

namespace sdk {
namespace {

#define SDK_WIDE_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi2,popcnt")))

// The sixteen fields of four records as "ddd," texts side by side, then only the digits a field needs
// compressed together: one store per four records rather than four per record.
SDK_WIDE_TARGET char* WriteFour(char* out, __m512i fields) {
    // Divisions by 100 and by 10 as multiplications, exact below 1000. The conversions and the shift are
    // the all-lanes masked forms: GCC 12 warns of the undefined vector its plain ones start from.
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

#undef SDK_WIDE_TARGET

WideRecordWriter Detect() {
    __builtin_cpu_init();
    const bool wide = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                      __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("popcnt");
    return wide ? &WriteWide : nullptr;
}

}  // namespace

WideRecordWriter ProcessorRecordWriter() {
    static const WideRecordWriter writer = Detect();
    return writer;
}

}  // namespace sdk

#else

namespace sdk {

WideRecordWriter ProcessorRecordWriter() {
    return nullptr;
}

}  // namespace sdk

#endif
