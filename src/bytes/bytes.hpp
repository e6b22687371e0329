// Owned byte buffers: the one type the codec and the file layer hand each other, without either
// knowing the other. Results are 0 for success and 1 for failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

namespace tbl2tblx {

// Releases a buffer made by allocate_bytes: a mapping of `mapped` bytes, or the heap when 0.
struct BytesRelease {
  std::size_t mapped = 0;
  void operator()(std::uint8_t* bytes) const noexcept;
};

// `size` bytes followed by one zero byte, so that a loaded text is also a zero-terminated string.
struct Bytes {
  std::unique_ptr<std::uint8_t[], BytesRelease> data;
  std::uint64_t size = 0;

  std::uint8_t* begin() const { return data.get(); }
  std::uint8_t* end() const { return data.get() + size; }
  std::span<std::uint8_t> span() const { return {data.get(), static_cast<std::size_t>(size)}; }
  std::string_view text() const {
    return {reinterpret_cast<const char*>(data.get()), static_cast<std::size_t>(size)};
  }
};

// A new buffer of size + 1 bytes whose byte at `size` is zero (the rest is not initialised).
// Large buffers come from a 2 MiB-aligned mapping backed by transparent huge pages: first
// touch of fresh 4 KiB pages would otherwise dominate whole-file work.
[[nodiscard]] int allocate_bytes(std::uint64_t size, Bytes& out);

}  // namespace tbl2tblx
