// Writes a deterministic binary table for benchmarks:
//   make_table <records> <out.tbl> [seed]
// Four fields: an int2, an int4, a short string with an occasional '&', '<' or '>', and a blob
// of 8 to 23 bytes; every record holds all four.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "formats/formats.hpp"

namespace {

using namespace tbl2tblx;

struct Random {
  std::uint64_t state;
};

std::uint64_t next(Random& random) {  // splitmix64
  std::uint64_t z = (random.state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

std::uint64_t below(Random& random, std::uint64_t bound) {
  return next(random) % bound;
}

void put_le(std::string& out, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i)
    out.push_back(static_cast<char>(value >> (8 * i) & 0xFF));
}

void put_name(std::string& out, std::string_view name, std::size_t width) {
  out.append(name);
  out.append(width - name.size(), '\0');
}

struct Field {
  std::uint8_t id;
  std::string_view name;
  TypeCode type;
};
constexpr Field kFields[] = {
    {1, "code", kInt2}, {2, "amount", kInt4}, {3, "label", kString}, {4, "payload", kBlob}};

std::string table_head(std::uint32_t records) {
  std::string out(kFileHeaderTemplate.begin(), kFileHeaderTemplate.end());
  out[kHeaderWriteModeOffset] = static_cast<char>(kOverwrite);
  put_name(out, "bench", kTableNameWidth);
  put_le(out, std::size(kFields), kCountWidth);
  for (const Field& field : kFields) {
    out.push_back(static_cast<char>(field.id));
    put_name(out, field.name, kNameFieldWidth);
    out.push_back(static_cast<char>(field.type));
  }
  out.push_back(1);  // skeyid
  out.push_back(0);  // ngroup
  put_le(out, records, kCountWidth);
  return out;
}

void put_entry(std::string& out, const Field& field, std::string_view data) {
  out.push_back(static_cast<char>(field.id));
  out.push_back(static_cast<char>(field.type));
  put_le(out, data.size(), kCountWidth);
  out.append(data);
}

std::string label(Random& random, std::uint64_t number) {
  static constexpr std::string_view kWords[] = {"bolt", "nut", "gear", "washer", "spring", "cog"};
  std::string text(kWords[below(random, std::size(kWords))]);
  text += ' ';
  text += std::to_string(number);
  constexpr std::uint64_t kSpecialOneIn = 8;
  if (below(random, kSpecialOneIn) == 0) {
    static constexpr char kSpecials[] = {'&', '<', '>'};
    text.insert(below(random, text.size() + 1), 1, kSpecials[below(random, std::size(kSpecials))]);
  }
  text.push_back('\0');
  return text;
}

std::string record(Random& random, std::uint64_t number) {
  std::string out;
  out.push_back(static_cast<char>(kNone));  // no group
  out.push_back(static_cast<char>(std::size(kFields)));
  std::string value;
  put_le(value, next(random), kInt2Size);
  put_entry(out, kFields[0], value);
  value.clear();
  put_le(value, next(random), kInt4Size);
  put_entry(out, kFields[1], value);
  put_entry(out, kFields[2], label(random, number));
  constexpr std::uint64_t kBlobMin = 8, kBlobSpread = 16;
  value.assign(kBlobMin + below(random, kBlobSpread), '\0');
  for (char& byte : value)
    byte = static_cast<char>(next(random));
  put_entry(out, kFields[3], value);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fputs("usage: make_table <records> <out.tbl> [seed]\n", stderr);
    return 2;
  }
  errno = 0;
  const unsigned long long records = std::strtoull(argv[1], nullptr, 10);
  if (errno != 0 || records > UINT32_MAX) {
    std::fputs("make_table: bad record count\n", stderr);
    return 2;
  }
  Random random{argc == 4 ? std::strtoull(argv[3], nullptr, 10) : 1};
  std::FILE* out = std::fopen(argv[2], "wb");
  if (out == nullptr) {
    std::perror(argv[2]);
    return 1;
  }
  std::string chunk = table_head(static_cast<std::uint32_t>(records));
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  for (std::uint64_t number = 1; number <= records; ++number) {
    chunk += record(random, number);
    if (chunk.size() >= kChunk) {
      std::fwrite(chunk.data(), 1, chunk.size(), out);
      chunk.clear();
    }
  }
  std::fwrite(chunk.data(), 1, chunk.size(), out);
  if (std::ferror(out) != 0 || std::fclose(out) != 0) {
    std::perror(argv[2]);
    return 1;
  }
  return 0;
}
