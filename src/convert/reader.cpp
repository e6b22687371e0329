#include "convert/reader.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "formats/formats.hpp"

namespace tbl2tblx {

int parse_error(Reader& r) {
  r.outcome.stop = DocumentStop::kParse;
  r.outcome.tag = r.tag;
  r.outcome.line = r.scan.current_line;
  return 1;
}

void close_empty_element(Reader& r) {
  const char* name = r.tag + 1;
  const int length = static_cast<int>(std::strcspn(name, " />"));
  char end[kTagBufferSize] = {};
  std::snprintf(end, sizeof end, "</%.*s>", length, name);
  std::memcpy(r.tag, end, sizeof end);
}

namespace {

std::string_view unread(const InputWindow& in) {
  return {reinterpret_cast<const char*>(in.at), input_available(in)};
}

template <std::size_t N>
bool starts_with_any(std::string_view text, const std::array<std::string_view, N>& marks) {
  return std::any_of(marks.begin(), marks.end(),
                     [text](std::string_view mark) { return text.starts_with(mark); });
}

}  // namespace

int open_text(Reader& r) {
  input_look_ahead(r.in, kLongestEncodingMark);
  const std::string_view start = unread(r.in);
  if (starts_with_any(start, kUtf32Marks)) return parse_error(r);
  const bool big = starts_with_any(start, kUtf16BigMarks);
  if ((big || starts_with_any(start, kUtf16LittleMarks)) && input_transcode_utf16(r.in, big) != 0) {
    r.in.failed = true;
    return 1;
  }
  input_end_at_zero(r.in);
  input_look_ahead(r.in, kByteOrderMark.size());
  if (unread(r.in).starts_with(kByteOrderMark)) r.in.at += kByteOrderMark.size();
  return 0;
}

}  // namespace tbl2tblx
