#include <sys/stat.h>

#include <algorithm>
#include <bit>

#include "io/io.hpp"

namespace tbl2tblx {

namespace {

// The entry of `device` in `devices` (a written or a read-only list), or its end.
template <class Devices>
auto device_of(Devices& devices, std::uint64_t device) {
  return std::find_if(devices.begin(), devices.end(),
                      [device](const WrittenInodes& files) { return files.device == device; });
}

}  // namespace

void remember_written(WrittenFiles& written, const OutputFile& out) {
  if (out.identity == FileIdentity{}) return;
  auto found = device_of(written.devices, out.identity.device);
  if (found == written.devices.end()) {
    found = written.devices.insert(found, WrittenInodes{out.identity.device, {}});
  }
  std::deque<std::uint64_t>& inodes = found->inodes;
  inodes.push_back(out.identity.inode);
  // The last run is as long as the lowest binary digit of the count: the runs shorter than it
  // and the new file, each run sorted already.
  const std::size_t count = inodes.size();
  const std::size_t last_run = count & (~count + 1);
  std::sort(inodes.end() - static_cast<std::ptrdiff_t>(last_run), inodes.end());
}

bool was_written(const WrittenFiles& written, const char* name) {
  if (written.devices.empty()) return false;
  struct stat status {};
  if (stat(name, &status) != 0) return false;
  const auto files = device_of(written.devices, static_cast<std::uint64_t>(status.st_dev));
  if (files == written.devices.end()) return false;
  const auto inode = static_cast<std::uint64_t>(status.st_ino);
  const std::size_t count = files->inodes.size();
  auto begin = files->inodes.begin();
  for (std::size_t run = std::bit_floor(count); run > 0; run >>= 1) {
    if ((count & run) == 0) continue;
    const auto end = begin + static_cast<std::ptrdiff_t>(run);
    if (std::binary_search(begin, end, inode)) return true;
    begin = end;
  }
  return false;
}

}  // namespace tbl2tblx
