// Fuzzer bytes build a well-formed binary table (header form; names without line feeds, zero
// bytes, slashes or duplicate group names; strings ending with their zero byte and holding no
// line feed; values of the four types), which must come back byte for byte from .tbl to .tblx
// and back to .tbl. The table is read through a window of 1 to 64 bytes and the document through
// one of 64 to 127 bytes, so that fields, tags and values straddle refills.
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "convert/convert.hpp"
#include "formats/formats.hpp"
#include "scratch.hpp"

using namespace tbl2tblx;
namespace fs = std::filesystem;

namespace {

// Hands out the fuzzer's bytes; zeros once they run out.
struct Source {
  const std::uint8_t* data;
  std::size_t size;
  std::uint8_t byte() {
    if (size == 0) return 0;
    --size;
    return *data++;
  }
  std::uint32_t below(std::uint32_t limit) { return limit == 0 ? 0 : byte() % limit; }
};

std::string little_endian(std::uint32_t value, std::size_t width) {
  std::string bytes;
  for (std::size_t i = 0; i < width; ++i)
    bytes.push_back(static_cast<char>(value >> (8 * i)));
  return bytes;
}

// Bytes that survive the document unchanged inside a name.
std::string make_name(Source& source) {
  std::string name;
  const std::uint32_t length = source.below(kMaxNameChars + 1);
  for (std::uint32_t i = 0; i < length; ++i) {
    char c = static_cast<char>(source.byte());
    if (c == '\0' || c == '\n' || c == '/' || c == '\\') c = '_';
    name.push_back(c);
  }
  return name;
}

std::string padded(const std::string& name, std::size_t width) {
  return name + std::string(width - name.size(), '\0');
}

std::string make_value(Source& source) {
  const std::uint8_t type = static_cast<std::uint8_t>(source.below(4));
  std::string data;
  if (type == kInt2 || type == kInt4) {
    const std::size_t width = type == kInt2 ? kInt2Size : kInt4Size;
    for (std::size_t i = 0; i < width; ++i)
      data.push_back(static_cast<char>(source.byte()));
  } else {
    const std::uint32_t length = source.below(40);
    for (std::uint32_t i = 0; i < length; ++i) {
      char c = static_cast<char>(source.byte());
      if (type == kString && (c == '\0' || c == '\n')) c = 'x';
      data.push_back(c);
    }
    if (type == kString) data.push_back('\0');
  }
  std::string entry{static_cast<char>(source.byte()), static_cast<char>(type)};
  return entry + little_endian(static_cast<std::uint32_t>(data.size()), kCountWidth) + data;
}

std::string make_table(Source& source) {
  std::string table(kFileHeaderTemplate.begin(), kFileHeaderTemplate.end());
  table[kHeaderWriteModeOffset] = static_cast<char>(source.below(2));
  table += padded(make_name(source), kTableNameWidth);
  const std::uint32_t ninfo = 1 + source.below(4);
  table += little_endian(ninfo, kCountWidth);
  for (std::uint32_t i = 0; i < ninfo; ++i) {
    table.push_back(static_cast<char>(source.byte()));
    table += padded(make_name(source), kNameFieldWidth);
    table.push_back(static_cast<char>(source.below(4)));
  }
  table.push_back(static_cast<char>(source.byte()));  // skeyid, 0xFF included
  std::set<std::string> groups;
  const std::uint32_t wanted_groups = source.below(4);
  for (std::uint32_t i = 0; i < wanted_groups; ++i)
    groups.insert(make_name(source));
  table.push_back(static_cast<char>(groups.size()));
  for (const std::string& group : groups)
    table += padded(group, kNameFieldWidth);
  const std::uint32_t nrecord = source.below(8);
  table += little_endian(nrecord, kCountWidth);
  for (std::uint32_t r = 0; r < nrecord; ++r) {
    const std::uint32_t group = source.below(static_cast<std::uint32_t>(groups.size()) + 1);
    table.push_back(static_cast<char>(group == groups.size() ? kNone : group));
    const std::uint32_t ndata = source.below(5);
    table.push_back(static_cast<char>(ndata));
    for (std::uint32_t v = 0; v < ndata; ++v)
      table += make_value(source);
  }
  return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz_support::enter_scratch_folder();
  const std::size_t window = size == 0 ? 1 : 1 + data[size - 1] % 64;
  Source source{data, size};
  const std::string table = make_table(source);
  fs::create_directory("in");
  fuzz_support::write_input("in/original.tbl", reinterpret_cast<const std::uint8_t*>(table.data()),
                            table.size());
  fuzz_support::require(convert_tbl_to_tblx("in/original.tbl", window) == 0);
  const std::size_t document_window = 64 + (size < 2 ? 0 : data[size - 2] % 64);
  fuzz_support::require(convert_tblx_to_tbl("original.tblx", document_window) == 0);
  std::vector<fs::path> written;
  for (const auto& entry : fs::directory_iterator(".")) {
    if (entry.path().filename().string().ends_with(".tbl")) written.push_back(entry.path());
  }
  fuzz_support::require(written.size() == 1 && fuzz_support::read_file(written[0]) == table);
  fuzz_support::empty_scratch_folder();
  return 0;
}
