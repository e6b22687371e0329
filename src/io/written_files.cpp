#include <sys/stat.h>

#include <algorithm>
#include <bit>

#include "io/io.hpp"

namespace tbl2tblx {

void remember_written(WrittenFiles& written, const OutputFile& out) {
  if (out.identity == FileIdentity{}) return;
  std::deque<FileIdentity>& files = written.files;
  files.push_back(out.identity);
  // The last run is as long as the lowest binary digit of the count: the runs shorter than it
  // and the new file, each run sorted already.
  const std::size_t count = files.size();
  const std::size_t last_run = count & (~count + 1);
  std::sort(files.end() - static_cast<std::ptrdiff_t>(last_run), files.end());
}

bool was_written(const WrittenFiles& written, const char* name) {
  if (written.files.empty()) return false;
  struct stat status {};
  if (stat(name, &status) != 0) return false;
  const FileIdentity identity{static_cast<std::uint64_t>(status.st_dev),
                              static_cast<std::uint64_t>(status.st_ino)};
  const std::size_t count = written.files.size();
  auto begin = written.files.begin();
  for (std::size_t run = std::bit_floor(count); run > 0; run >>= 1) {
    if ((count & run) == 0) continue;
    const auto end = begin + static_cast<std::ptrdiff_t>(run);
    if (std::binary_search(begin, end, identity)) return true;
    begin = end;
  }
  return false;
}

}  // namespace tbl2tblx
