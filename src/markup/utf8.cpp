// UTF-8 text to the single bytes (ISO-8859-1) that the binary form holds.
#include "markup/markup.hpp"

namespace tbl2tblx {
namespace {

constexpr unsigned kLeadTwoBytes = 0xC0;  // 110xxxxx
constexpr unsigned kContinuationMask = 0xC0;
constexpr unsigned kContinuation = 0x80;  // 10xxxxxx
constexpr unsigned kPayloadBits = 0x3F;

}  // namespace

int utf8_to_latin1(std::string_view text, char* dest, std::size_t& written) {
  // U+0080 to U+00FF take two bytes whose lead is C2 or C3; any longer sequence or other lead
  // stands for a character the binary form cannot hold, or is not UTF-8.
  std::size_t o = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < kContinuation) {
      dest[o++] = text[i];
      continue;
    }
    if ((lead & ~1u) != (kLeadTwoBytes | 2u) || i + 1 == text.size()) return 1;
    const auto next = static_cast<unsigned char>(text[i + 1]);
    if ((next & kContinuationMask) != kContinuation) return 1;
    dest[o++] = static_cast<char>(((lead & 0x1Fu) << 6) | (next & kPayloadBits));
    ++i;
  }
  written = o;
  return 0;
}

}  // namespace tbl2tblx
