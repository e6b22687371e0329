// The lenient decoder on arbitrary text: decoding in one piece, in two pieces and in place give
// the same bytes; whatever is encoded, at either width, decodes back to itself; and the short
// encoder gives what the stream encoder gives, whatever follows the bytes it encodes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base64/base64.hpp"

using namespace tbl2tblx;

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

void check_decoding(std::span<const std::uint8_t> text) {
  std::vector<std::uint8_t> whole(text.size() + 1);
  const std::size_t n = base64_decode_into(text, whole.data());
  require(n <= text.size());

  const std::size_t cut = text.empty() ? 0 : text[0] % (text.size() + 1);
  std::vector<std::uint8_t> pieces(text.size() + 1);
  Base64Decoder decoder;
  std::size_t m = base64_decode_step(decoder, text.first(cut), pieces.data());
  m += base64_decode_step(decoder, text.subspan(cut), pieces.data() + m);
  m += base64_decode_finish(decoder, pieces.data() + m);
  require(m == n && std::memcmp(whole.data(), pieces.data(), n) == 0);

  std::vector<std::uint8_t> in_place(text.begin(), text.end());
  require(base64_decode_into(in_place, in_place.data()) == n);
  require(n == 0 || std::memcmp(whole.data(), in_place.data(), n) == 0);
}

void check_round_trip(std::span<const std::uint8_t> data, std::uint64_t width) {
  std::vector<char> text(base64_encoded_size(data.size(), width));
  require(base64_encode_into(data, text.data(), width) == text.size());
  std::vector<std::uint8_t> back(text.size() + 1);
  const auto* chars = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = base64_decode_into({chars, text.size()}, back.data());
  require(n == data.size() && (n == 0 || std::memcmp(back.data(), data.data(), n) == 0));
}

void check_short(std::span<const std::uint8_t> input) {
  if (input.empty()) return;
  const std::size_t length = input[0] % (kBase64ShortMax + 1);
  std::vector<std::uint8_t> read(kBase64ShortRead);
  std::memcpy(read.data(), input.data() + 1, std::min(input.size() - 1, read.size()));
  std::vector<char> room(kBase64ShortRoom);
  const std::size_t n = base64_encode_short(read.data(), length, room.data());
  std::vector<char> text(base64_encoded_size(length, kBase64Unbroken));
  require(n == text.size());
  require(base64_encode_into({read.data(), length}, text.data(), kBase64Unbroken) == n);
  require(n == 0 || std::memcmp(text.data(), room.data(), n) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input{data, size};
  check_decoding(input);
  check_round_trip(input, kBase64Unbroken);
  check_round_trip(input, kBase64LineWidth);
  check_short(input);
  return 0;
}
