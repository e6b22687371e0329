// Rendering a document straight into the output writer's buffer: a window of the buffer that
// the walk fills with unchecked writes once it has made room for them, and the pieces it puts
// there. Inline: the walk renders every record through these.
#pragma once

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string_view>
#include <type_traits>

#include "base64/base64.hpp"
#include "formats/formats.hpp"
#include "io/io.hpp"
#include "markup/markup.hpp"

namespace tbl2tblx {

template <class Int>
inline constexpr std::size_t kMaxDigits =
    std::numeric_limits<Int>::digits10 + 1 + std::is_signed_v<Int>;

inline constexpr std::size_t kMaxTypeName = [] {
  std::size_t longest = 0;
  for (std::string_view name : kTypeNames)
    longest = std::max(longest, name.size());
  return longest;
}();
inline constexpr std::size_t kMaxEscapedName = kMaxNameChars * kEscapeMaxExpansion;

// A window of the output buffer that the walk fills; it is handed back to the writer when a
// larger one is needed and at the end. Most writes then cost one comparison.
struct Window {
  OutputFile& out;
  char* start = nullptr;
  char* at = nullptr;
  char* end = nullptr;
};

// Small windows keep the writer's buffer nearly full before it flushes.
inline constexpr std::size_t kWindowSize = std::size_t{64} << 10;

inline void close_window(Window& window) {
  if (window.start != nullptr)
    output_advance(window.out, static_cast<std::size_t>(window.at - window.start));
  window.start = window.at = window.end = nullptr;
}

[[nodiscard]] inline int open_window(Window& window, std::size_t n) {
  close_window(window);
  const std::size_t size = std::max(n, kWindowSize);
  auto* start = reinterpret_cast<char*>(output_reserve(window.out, size));
  if (start == nullptr) return 1;
  window.start = window.at = start;
  window.end = start + size;
  return 0;
}

inline std::size_t room_left(const Window& window) {
  return static_cast<std::size_t>(window.end - window.at);
}

// Room for n <= kOutputBufferSize bytes at window.at; 1 once the output has failed.
[[nodiscard]] inline int make_room(Window& window, std::size_t n) {
  return room_left(window) >= n ? 0 : open_window(window, n);
}

// Ends a run of unchecked writes into the room make_room made; the test build asserts that they
// stayed inside it.
inline void advance_to(Window& window, char* at) {
  assert(at >= window.at && at <= window.end);
  window.at = at;
}

inline char* put(char* at, std::string_view text) {
  std::memcpy(at, text.data(), text.size());
  return at + text.size();
}

template <class Int>
char* put_number(char* at, Int value) {
  return std::to_chars(at, at + kMaxDigits<Int>, value).ptr;
}

// A name (at most kMaxNameChars bytes), escaped as string values are.
inline char* put_name(char* at, std::string_view name) {
  assert(name.size() <= kMaxNameChars);
  const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(name.data()), name.size());
  [[maybe_unused]] const EscapeProgress escaped = escape_content(bytes, {at, kMaxEscapedName});
  assert(escaped.done);
  return at + escaped.written;
}

inline std::span<const std::uint8_t> text_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

[[nodiscard]] inline int write_text(Window& window, std::string_view text) {
  if (make_room(window, text.size()) != 0) return 1;
  advance_to(window, put(window.at, text));
  return 0;
}

// Text escaped as a string value, in pieces when it does not fit the window. `consumed`, when
// given, receives the bytes taken: fewer than data.size() when a zero byte ended the text.
[[nodiscard]] inline int write_escaped(Window& window, std::span<const std::uint8_t> data,
                                       std::size_t* consumed = nullptr) {
  std::size_t taken = 0;
  for (;;) {
    const std::size_t worst = static_cast<std::size_t>(std::clamp<std::uint64_t>(
        std::uint64_t{data.size()} * kEscapeMaxExpansion, kEscapeMaxExpansion, kOutputBufferSize));
    if (make_room(window, worst) != 0) return 1;
    const EscapeProgress progress = escape_content(data, {window.at, room_left(window)});
    advance_to(window, window.at + progress.written);
    taken += progress.consumed;
    if (progress.done) break;
    data = data.subspan(progress.consumed);
  }
  if (consumed != nullptr) *consumed = taken;
  return 0;
}

// Base64 of `bytes` on one line; the encoding of at most kBase64Piece bytes fits the buffer.
inline constexpr std::size_t kBase64Piece = kOutputBufferSize / 4 * 3;
static_assert(kBase64Piece % 3 == 0);

[[nodiscard]] inline int write_base64_piece(Window& window, std::span<const std::uint8_t> bytes) {
  if (make_room(window, base64_encoded_size(bytes.size(), kBase64Unbroken)) != 0) return 1;
  advance_to(window, window.at + base64_encode_into(bytes, window.at, kBase64Unbroken));
  return 0;
}

}  // namespace tbl2tblx
