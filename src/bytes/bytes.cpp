#include "bytes/bytes.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace tbl2tblx {
namespace {

constexpr std::size_t kHugePageSize = std::size_t{2} << 20;

std::size_t round_up(std::size_t value, std::size_t unit) {
  return (value + unit - 1) / unit * unit;
}

// A 2 MiB-aligned anonymous mapping of `length` bytes, asking for transparent huge pages.
std::uint8_t* map_huge(std::size_t length) {
  const std::size_t reserve = length + kHugePageSize;
  void* raw = mmap(nullptr, reserve, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = round_up(start, kHugePageSize);
  if (aligned > start) munmap(raw, aligned - start);
  const std::uintptr_t tail = aligned + length;
  if (start + reserve > tail) munmap(reinterpret_cast<void*>(tail), start + reserve - tail);
  auto* bytes = reinterpret_cast<std::uint8_t*>(aligned);
  madvise(bytes, length, MADV_HUGEPAGE);
  return bytes;
}

}  // namespace

void BytesRelease::operator()(std::uint8_t* bytes) const noexcept {
  if (bytes == nullptr) return;
  if (mapped > 0) {
    munmap(bytes, mapped);
  } else {
    delete[] bytes;
  }
}

int allocate_bytes(std::uint64_t size, Bytes& out) {
  out = Bytes{};
  if (size >= SIZE_MAX - kHugePageSize) return 1;
  const std::size_t length = static_cast<std::size_t>(size) + 1;
  std::uint8_t* bytes = nullptr;
  std::size_t mapped = 0;
  if (length >= kHugePageSize) {
    mapped = round_up(length, kHugePageSize);
    bytes = map_huge(mapped);
  } else {
    bytes = new (std::nothrow) std::uint8_t[length];
  }
  if (bytes == nullptr) return 1;
  bytes[size] = 0;
  out.data = std::unique_ptr<std::uint8_t[], BytesRelease>(bytes, BytesRelease{mapped});
  out.size = size;
  return 0;
}

}  // namespace tbl2tblx
