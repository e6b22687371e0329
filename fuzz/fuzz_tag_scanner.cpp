// The tag scanner walking a whole text as a reader does, through a window of a few bytes refilled
// a few bytes at a time: every tag it returns is well formed, every chunk of text lies inside the
// window, the offset and the line never go backwards, and the walk finds what the same walk
// through a window that holds the whole text finds, tag for tag, line for line, text for text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

#include "io/io.hpp"
#include "markup/markup.hpp"

using namespace tbl2tblx;

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

std::string event_mark(TextEvent event) {
  switch (event) {
    case TextEvent::kData:
      return "(";
    case TextEvent::kBreak:
      return "~";
    case TextEvent::kCdataStart:
      return "[";
    case TextEvent::kCdata:
      return "{";
    case TextEvent::kCdataEnd:
      return "]";
    case TextEvent::kStop:
      return "|";
    case TextEvent::kEnd:
      return "$";
    case TextEvent::kOpenMarkup:
      return "!";
  }
  return "?";
}

bool inside_window(const InputWindow& in, const char* begin, const char* end) {
  const auto* first = reinterpret_cast<const char*>(in.buffer.get());
  return first <= begin && begin <= end && end <= reinterpret_cast<const char*>(in.end);
}

// The text after a tag, walked in chunks; data and CDATA characters are written out whole (the
// chunks themselves depend on the window), the other steps as marks. false when the text ends
// the document or leaves markup open.
bool walk_text(InputWindow& in, TagScan& scan, std::string& transcript) {
  TextWalk walk;
  TextEvent last = TextEvent::kStop;
  for (;;) {
    const TextChunk chunk = next_text_chunk(in, scan, walk, 1 + transcript.size() % 8);
    if (chunk.event == TextEvent::kData || chunk.event == TextEvent::kCdata) {
      require(inside_window(in, chunk.begin, chunk.end) && chunk.begin < chunk.end);
      if (chunk.event != last) transcript += event_mark(chunk.event);
      transcript.append(chunk.begin, chunk.end);
      last = chunk.event;
      continue;
    }
    last = chunk.event;
    transcript += event_mark(chunk.event);
    if (chunk.event == TextEvent::kStop) return true;
    if (chunk.event == TextEvent::kEnd || chunk.event == TextEvent::kOpenMarkup) return false;
  }
}

// The walk: tags with their lines; after every other tag the text is passed over, after the
// rest it is walked piece by piece.
std::string walk(std::span<const std::uint8_t> text, std::size_t window, std::size_t piece) {
  InputWindow in;
  in.ends_at_zero = true;
  require(input_window_from_memory(in, text, window, piece, false) == 0);
  TagScan scan;
  std::string transcript;
  std::uint64_t offset = 0;
  std::int64_t line = 1;
  // One buffer for the whole walk: a scan that finds nothing may leave it as the last tag left
  // it, and that is what the transcript then shows.
  char tag[kTagBufferSize] = {};
  for (std::size_t n = 0;; ++n) {
    const int found = next_tag(in, scan, tag);
    require(scan.current_line >= line && input_offset(in) >= offset);
    line = scan.current_line;
    offset = input_offset(in);
    transcript += std::to_string(line) + ":";
    if (found != 0) {
      transcript += tag;  // empty, or kept from before
      break;
    }
    const std::size_t length = std::strlen(tag);
    require(length >= 3 && length <= kTagMaxChars + 2);
    require(tag[0] == '<' && tag[length - 1] == '>');
    require(tag[length - 2] != ' ' || length == kTagMaxChars + 2);  // a cut text keeps its spaces
    transcript += tag;
    transcript += scan.slash_close ? "/" : "";
    if (n % 2 == 0 ? skip_to_markup(in, scan) != 0 : !walk_text(in, scan, transcript)) break;
    require(*in.at == '<');
  }
  return transcript + "+" + std::to_string(scan.pending_lines);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> text(data, size);
  const std::string whole = walk(text, size + 1, 0);
  // The window's and the reads' sizes come from the text itself, so that the corpus varies them.
  const std::size_t window = size == 0 ? 1 : 1 + data[0] % 16;
  const std::size_t piece = size == 0 ? 1 : 1 + data[size - 1] % 7;
  require(walk(text, window, piece) == whole);
  return 0;
}
