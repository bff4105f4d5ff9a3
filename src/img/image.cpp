#include "img/image.h"

#include <cstdint>
#include <span>

#include "util/par.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tsl::image_detail {

namespace {

constexpr size_t HUGE_PAGE = size_t{2} << 20;

void advise_huge_pages(void* data, size_t bytes) {
#if defined(MADV_HUGEPAGE)
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + HUGE_PAGE - 1) & ~uintptr_t{HUGE_PAGE - 1};
  const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~uintptr_t{HUGE_PAGE - 1};
  // The advice is a hint: a refusal leaves ordinary pages, which work the same.
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

}  // namespace

void prepare_storage(void* data, size_t bytes) {
  // From two huge pages up, the range holds at least one whole aligned huge page. On a
  // virtual machine a small-page fault can cost 10 us, so even a few megabytes (a flow
  // component of a 2 MP image) take milliseconds to map in small pages.
  if (data == nullptr || bytes < 2 * HUGE_PAGE) return;
  advise_huge_pages(data, bytes);
  // Clearing a huge page takes the kernel a fraction of a millisecond; up to a handful of
  // them, the calling thread maps them sooner than workers would start.
  if (bytes < 8 * HUGE_PAGE) return;
  // One written byte per small page maps it (zeroed by the kernel); the vector's own
  // zero-fill then runs over mapped memory.
  constexpr size_t PAGE = 4096;
  std::span<uint8_t> storage(static_cast<uint8_t*>(data), bytes);
  par_chunks(storage, HUGE_PAGE, cpu_budget(), [](size_t, std::span<uint8_t> chunk) {
    for (size_t i = 0; i < chunk.size(); i += PAGE) chunk[i] = 0;
  });
}

}  // namespace tsl::image_detail
