#include "grid/grid_raster.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <limits>

namespace {

// Bytes of physical memory; a raster larger than that could only be had
// through overcommit and would end in the kernel killing the process.
uint64_t physical_memory_bytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
}

// A raster is touched once from end to end. With 4 KiB pages that is one
// page fault per 1024 cells, which on some machines costs more time than
// reading the file; 2 MiB pages need 512 times fewer. Only a hint: where the
// system has no huge pages nothing changes.
void ask_for_huge_pages(void* block, size_t bytes) {
  const long page_size = sysconf(_SC_PAGESIZE);
  if (page_size <= 0) return;
  const uintptr_t page = static_cast<uintptr_t>(page_size);
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + page - 1) / page * page;
  const uintptr_t end = reinterpret_cast<uintptr_t>(block) + bytes;
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace

float* cells_allocate(int64_t n) {
  constexpr size_t HUGE_PAGE = size_t{2} << 20;
  if (n < 0 || static_cast<uint64_t>(n) > std::numeric_limits<size_t>::max() / sizeof(float) - HUGE_PAGE)
    return nullptr;
  const size_t bytes = std::max<size_t>(static_cast<size_t>(n) * sizeof(float), 1);
  if (bytes < 2 * HUGE_PAGE) return static_cast<float*>(std::malloc(bytes));
  const size_t rounded = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
  void* block = std::aligned_alloc(HUGE_PAGE, rounded);
  if (block != nullptr) ask_for_huge_pages(block, rounded);
  return static_cast<float*>(block);
}

bool raster_create(grid_raster& r, int64_t rows, int64_t columns) {
  r = grid_raster{};
  if (rows < 0 || columns < 0) return false;
  const int64_t n = rows * columns;  // both below 2^31: no overflow
  if (n > 0) {
    if (static_cast<uint64_t>(n) > std::numeric_limits<size_t>::max() / sizeof(float)) return false;
    if (static_cast<uint64_t>(n) * sizeof(float) > physical_memory_bytes()) return false;
    // calloc gives zeroed pages lazily, so a large raster costs nothing until used.
    float* block = static_cast<float*>(std::calloc(static_cast<size_t>(n), sizeof(float)));
    if (block == nullptr) return false;
    ask_for_huge_pages(block, static_cast<size_t>(n) * sizeof(float));
    r.cells.reset(block);
  }
  r.rows = rows;
  r.columns = columns;
  return true;
}
