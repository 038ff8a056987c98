// ComputeLRC: the check value of an image, summed as fast as the processor
// reads. It runs over every byte that is loaded and sent, megabytes at a
// time, so it is written to keep up with the memory rather than to be short.
#include "image/lrc.h"

#include <bit>
#include <cstddef>
#include <cstring>

// 256-bit vectors are chosen at run time, so that one build runs on every
// x86-64 processor and still uses them where they exist.
#if defined(__x86_64__) && defined(__GNUC__)
#define QXFW_LRC_AVX2 1
#include <immintrin.h>
#endif

namespace {

/// A word loaded in host order, as the little-endian number that it stores.
std::uint32_t FromLittleEndian(std::uint32_t word) {
  if constexpr (std::endian::native == std::endian::big) return SwapBytes32(word);
  return word;
}

/// The sum, modulo 2^32, of `count` little-endian words at `bytes`, one
/// word at a time: for the few words after the last whole block.
std::uint32_t SumWordsOneByOne(const unsigned char* bytes, std::size_t count) {
  std::uint32_t sum = 0;
  for (std::size_t index = 0; index < count; ++index) {
    std::uint32_t word;
    std::memcpy(&word, bytes + index * 4, sizeof word);
    sum += FromLittleEndian(word);
  }
  return sum;
}

/// The sum, modulo 2^32, of `count` little-endian words at `bytes`.
std::uint32_t SumWordsPortable(const unsigned char* bytes, std::uint32_t count) {
  // Words are copied out with memcpy (any alignment, no aliasing concerns)
  // and summed in eight independent lanes over blocks of a fixed size: the
  // compiler keeps the lanes in vector registers even at -O2, where a plain
  // loop of unknown count stays scalar. The wrap-around of unsigned
  // addition is the modulo 2^32 that the check value asks for, and since
  // addition commutes the lanes may be summed in any order.
  constexpr std::size_t kLanes = 8;
  std::uint32_t lanes[kLanes] = {};
  std::size_t index = 0;
  for (; count - index >= kLanes; index += kLanes) {
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
      std::uint32_t word;
      std::memcpy(&word, bytes + (index + lane) * 4, sizeof word);
      lanes[lane] += FromLittleEndian(word);
    }
  }
  std::uint32_t sum = 0;
  for (std::uint32_t lane : lanes) sum += lane;
  return sum + SumWordsOneByOne(bytes + index * 4, count - index);
}

#ifdef QXFW_LRC_AVX2
/// SumWordsPortable with 256-bit vectors (x86 is little-endian, so a vector
/// load yields the words as numbers). Four accumulators, 128 bytes a step:
/// the adds of one step don't wait for each other, so the loads, not the
/// adds, set the pace.
__attribute__((target("avx2"))) std::uint32_t SumWordsAvx2(const unsigned char* bytes,
                                                           std::uint32_t count) {
  constexpr std::size_t kVectorBytes = 32;
  constexpr std::size_t kStepBytes = 4 * kVectorBytes;
  const unsigned char* const end = bytes + std::size_t{count} * 4;
  // A load that straddles two cache lines costs two, and an image starts
  // 272 bytes into its buffer: aligned words are summed singly up to the
  // first vector boundary. Unaligned words have none; they are rare.
  const auto address = reinterpret_cast<std::uintptr_t>(bytes);
  std::size_t lead = 0;
  if (address % 4 == 0) lead = (kVectorBytes - address % kVectorBytes) % kVectorBytes / 4;
  if (lead > count) lead = count;
  std::uint32_t sum = SumWordsOneByOne(bytes, lead);
  const unsigned char* at = bytes + lead * 4;
  __m256i sum0 = _mm256_setzero_si256();
  __m256i sum1 = sum0;
  __m256i sum2 = sum0;
  __m256i sum3 = sum0;
  for (; static_cast<std::size_t>(end - at) >= kStepBytes; at += kStepBytes) {
    sum0 = _mm256_add_epi32(sum0, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)));
    sum1 = _mm256_add_epi32(
        sum1, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + kVectorBytes)));
    sum2 = _mm256_add_epi32(
        sum2, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 2 * kVectorBytes)));
    sum3 = _mm256_add_epi32(
        sum3, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 3 * kVectorBytes)));
  }
  // Up to three whole vectors are left, then fewer than eight words: the
  // words one by one would cost as much as the whole of a small buffer.
  for (; static_cast<std::size_t>(end - at) >= kVectorBytes; at += kVectorBytes) {
    sum0 = _mm256_add_epi32(sum0, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)));
  }
  const __m256i all = _mm256_add_epi32(_mm256_add_epi32(sum0, sum1), _mm256_add_epi32(sum2, sum3));
  __m128i half = _mm_add_epi32(_mm256_castsi256_si128(all), _mm256_extracti128_si256(all, 1));
  half = _mm_add_epi32(half, _mm_shuffle_epi32(half, 0x4E));  // swap the 64-bit halves
  half = _mm_add_epi32(half, _mm_shuffle_epi32(half, 0xB1));  // swap the words of each half
  sum += static_cast<std::uint32_t>(_mm_cvtsi128_si32(half));
  return sum + SumWordsOneByOne(at, static_cast<std::size_t>(end - at) / 4);
}
#endif

using SumWordsKernel = std::uint32_t (*)(const unsigned char* bytes, std::uint32_t count);

SumWordsKernel ChooseKernel() {
#ifdef QXFW_LRC_AVX2
  __builtin_cpu_init();  // may run before the library's own initialisation
  if (__builtin_cpu_supports("avx2")) return SumWordsAvx2;
#endif
  return SumWordsPortable;
}

}  // namespace

std::uint32_t ComputeLRC(const void* words, std::uint32_t count) {
  static const SumWordsKernel kernel = ChooseKernel();
  return kLrcSeed + kernel(static_cast<const unsigned char*>(words), count);
}

std::uint32_t ComputeLRCPortable(const void* words, std::uint32_t count) {
  return kLrcSeed + SumWordsPortable(static_cast<const unsigned char*>(words), count);
}

std::uint32_t SwapBytes32(std::uint32_t value) {
  return (value >> 24) | ((value >> 8) & 0x0000FF00u) | ((value << 8) & 0x00FF0000u) |
         (value << 24);
}
