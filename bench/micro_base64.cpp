// The codec on a warm 1 MiB buffer, as the file modes stream it. Figures are input bytes per
// second: raw bytes for encoding, base64 text for decoding.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "base64/base64.hpp"

namespace {

using namespace tbl2tblx;

constexpr std::size_t kChunkSize = std::size_t{1} << 20;

std::vector<std::uint8_t> random_chunk() {
  std::mt19937_64 rng(42);
  std::vector<std::uint8_t> data(kChunkSize);
  for (std::uint8_t& byte : data)
    byte = static_cast<std::uint8_t>(rng());
  return data;
}

void encode_at_width(benchmark::State& state, std::uint64_t width) {
  const std::vector<std::uint8_t> data = random_chunk();
  std::vector<char> text(base64_encoded_size(data.size(), width));
  for (auto _ : state) {
    benchmark::DoNotOptimize(base64_encode_into(data, text.data(), width));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(data.size()));
}

void BM_EncodeUnbroken(benchmark::State& state) {
  encode_at_width(state, kBase64Unbroken);
}
void BM_EncodeLines76(benchmark::State& state) {
  encode_at_width(state, kBase64LineWidth);
}

void decode_text_at_width(benchmark::State& state, std::uint64_t width) {
  const std::vector<std::uint8_t> data = random_chunk();
  std::vector<std::uint8_t> text(base64_encoded_size(data.size(), width));
  base64_encode_into(data, reinterpret_cast<char*>(text.data()), width);
  std::vector<std::uint8_t> bytes(text.size());
  for (auto _ : state) {
    Base64Decoder decoder;
    std::size_t count = base64_decode_step(decoder, text, bytes.data());
    count += base64_decode_finish(decoder, bytes.data() + count);
    benchmark::DoNotOptimize(count);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void BM_DecodeUnbroken(benchmark::State& state) {
  decode_text_at_width(state, kBase64Unbroken);
}
void BM_DecodeLines76(benchmark::State& state) {
  decode_text_at_width(state, kBase64LineWidth);
}

BENCHMARK(BM_EncodeUnbroken);
BENCHMARK(BM_EncodeLines76);
BENCHMARK(BM_DecodeUnbroken);
BENCHMARK(BM_DecodeLines76);

}  // namespace
