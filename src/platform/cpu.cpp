#include "platform/cpu.h"

#include <atomic>
#include <cctype>
#include <cstdint>

#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#endif

namespace tsl::platform {

namespace {

constexpr unsigned AVX2_BIT = 1;
constexpr unsigned FMA_BIT = 2;

unsigned to_bits(CpuFeatures f) { return (f.avx2 ? AVX2_BIT : 0) | (f.fma ? FMA_BIT : 0); }
CpuFeatures from_bits(unsigned bits) { return {(bits & AVX2_BIT) != 0, (bits & FMA_BIT) != 0}; }

#if defined(__x86_64__) && defined(__GNUC__)
// The processor may have AVX2 while the system does not save the upper register halves on a
// thread switch; XCR0 bits 1 and 2 (SSE and AVX state) say that it does.
CpuFeatures detect() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return {};
  const bool osxsave = (ecx & bit_OSXSAVE) != 0, avx = (ecx & bit_AVX) != 0, fma = (ecx & bit_FMA) != 0;
  if (!osxsave || !avx) return {};
  uint32_t xcr0_lo = 0, xcr0_hi = 0;
  __asm__ volatile("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
  if ((xcr0_lo & 0x6) != 0x6) return {};
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return {};
  const bool avx2 = (ebx & bit_AVX2) != 0;
  return {avx2, avx2 && fma};
}
#else
CpuFeatures detect() { return {}; }
#endif

std::atomic<unsigned>& allowed_bits() {
  static std::atomic<unsigned> bits{to_bits(detected_cpu_features())};
  return bits;
}

std::string lower_trimmed(std::string_view word) {
  while (!word.empty() && std::isspace(static_cast<unsigned char>(word.front()))) word.remove_prefix(1);
  while (!word.empty() && std::isspace(static_cast<unsigned char>(word.back()))) word.remove_suffix(1);
  std::string out(word);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

CpuFeatures detected_cpu_features() {
  static const CpuFeatures detected = detect();
  return detected;
}

CpuFeatures cpu_features() { return from_bits(allowed_bits().load(std::memory_order_relaxed)); }

void allow_cpu_features(CpuFeatures allowed) {
  allowed_bits().store(to_bits(allowed) & to_bits(detected_cpu_features()), std::memory_order_relaxed);
}

std::expected<CpuFeatures, std::string> parse_cpu_features(std::string_view text) {
  CpuFeatures f;
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    const std::string word = lower_trimmed(text.substr(start, comma == std::string_view::npos ? text.npos : comma - start));
    if (word == "all") {
      f = {true, true};
    } else if (word == "avx2") {
      f.avx2 = true;
    } else if (word == "fma") {
      f.fma = true;
    } else if (word != "none") {
      return std::unexpected("unknown cpu feature \"" + word + "\" (known: all, none, avx2, fma)");
    }
    if (comma == std::string_view::npos) return f;
    start = comma + 1;
  }
}

}  // namespace tsl::platform
