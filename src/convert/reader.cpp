#include "convert/reader.hpp"

#include <cstdio>
#include <cstring>

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

}  // namespace tbl2tblx
