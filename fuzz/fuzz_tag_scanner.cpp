// The tag scanner walking a whole text as a reader does: every tag it returns is well formed,
// every position lies inside the text, the line never goes backwards, and the text after each
// tag splits into pieces that stay inside it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "markup/markup.hpp"

using namespace tbl2tblx;

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  const char* const begin = text.data();
  const char* const end = begin + std::strlen(begin);
  current_line = 1;
  pending_lines = 0;
  char tag[kTagBufferSize];
  const char* position = begin;
  std::int32_t line = 1;
  while (position != nullptr && position < end) {
    const char* content = nullptr;
    const char* next = nullptr;
    if (next_tag(position, tag, &content, &next) != 0) {
      require(tag[0] == '\0' && content == nullptr && next == nullptr);
      break;
    }
    const std::size_t length = std::strlen(tag);
    require(length >= 3 && length <= kTagMaxChars + 2);
    require(tag[0] == '<' && tag[length - 1] == '>' && tag[length - 2] != ' ');
    require(content > position && content <= end);
    require(next == nullptr || (next >= content && next < end && *next == '<'));
    require(current_line >= line);
    line = current_line;
    // The element text after the tag: pieces in order, inside the text, ending where they stop.
    const char* p = content;
    TextPiece piece;
    while (next_text_piece(p, piece)) {
      require(piece.begin >= content && piece.begin <= piece.end && piece.end <= p && p <= end);
    }
    require(p >= content && p <= end && (*p == '\0' || *p == '<'));
    position = next;
  }
  return 0;
}
