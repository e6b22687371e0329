// The base64 file modes: a whole file streamed through the codec in large pieces, at the same
// memory whatever its size.
#include <cstdint>
#include <memory>
#include <new>
#include <span>

#include "base64/base64.hpp"
#include "cli/command.hpp"
#include "convert/messages.hpp"
#include "io/io.hpp"

namespace tbl2tblx {
namespace {

// Input is taken in whole lines of 76 characters, so that every piece but the last ends a line.
constexpr std::size_t kEncodeChunk = kBase64BytesPerLine * 16384;
constexpr std::size_t kDecodeChunk = std::size_t{1} << 20;

struct Chunks {
  std::unique_ptr<std::uint8_t[]> input;
  std::unique_ptr<std::uint8_t[]> output;
  std::size_t input_size = 0;
};

int make_chunks(FileMode mode, Chunks& chunks) {
  const bool decode = mode == FileMode::kDecode;
  chunks.input_size = decode ? kDecodeChunk : kEncodeChunk;
  // A separating line feed, then the encoding of one chunk; decoding never grows.
  const std::size_t output_size =
      decode ? kDecodeChunk
             : 1 + static_cast<std::size_t>(base64_encoded_size(kEncodeChunk, kBase64LineWidth));
  chunks.input.reset(new (std::nothrow) std::uint8_t[chunks.input_size]);
  chunks.output.reset(new (std::nothrow) std::uint8_t[output_size]);
  return chunks.input && chunks.output ? 0 : 1;
}

// Encodes one chunk; every chunk after the first starts with the line feed that ends the
// previous chunk's last line.
std::size_t encode_chunk(FileMode mode, std::span<const std::uint8_t> data, bool first,
                         std::uint8_t* dest) {
  const std::uint64_t width = mode == FileMode::kEncodeLines ? kBase64LineWidth : kBase64Unbroken;
  std::size_t written = 0;
  if (!first && width != kBase64Unbroken) dest[written++] = '\n';
  return written + base64_encode_into(data, reinterpret_cast<char*>(dest + written), width);
}

int open_target(OutputFile& out, const Target& target) {
  if (target.descriptor < 0) return output_open(out, target.name);
  return target.open ? output_adopt(out, target.descriptor, target.name) : 1;
}

// Where a file mode stopped, for the one place that words it.
enum class ModeStop : std::uint8_t { kDone, kRead, kCode, kWrite };

int report(Console& console, ModeStop stop, FileMode mode, const char* source, const char* target) {
  const bool decode = mode == FileMode::kDecode;
  switch (stop) {
    case ModeStop::kDone:
      say(console, decode ? kMessageDecoded : kMessageEncoded, target);
      return 0;
    case ModeStop::kRead:
      say(console, kMessageCannotRead, source);
      return 1;
    case ModeStop::kCode:
      say(console, decode ? kMessageCannotDecode : kMessageCannotEncode, source);
      return 1;
    case ModeStop::kWrite:
      say(console, kMessageCannotWrite, target);
      return 1;
  }
  return 1;
}

// Streams the source through the codec into `out`, from the `got` bytes already in the input
// chunk on; commits `out` once the whole result has been written.
ModeStop stream(FileMode mode, InputFile& in, Chunks& chunks, std::size_t got, OutputFile& out) {
  const bool decode = mode == FileMode::kDecode;
  Base64Decoder decoder;
  std::uint64_t total = 0;
  bool first = true;
  while (got > 0 && !decoder.ended) {
    const std::span<const std::uint8_t> piece{chunks.input.get(), got};
    const std::size_t produced = decode ? base64_decode_step(decoder, piece, chunks.output.get())
                                        : encode_chunk(mode, piece, first, chunks.output.get());
    if (output_write(out, {chunks.output.get(), produced}) != 0) return ModeStop::kWrite;
    total += produced;
    first = false;
    if (got < chunks.input_size) break;
    if (input_read(in, {chunks.input.get(), chunks.input_size}, got) != 0) return ModeStop::kRead;
  }
  if (decode) {
    const std::size_t produced = base64_decode_finish(decoder, chunks.output.get());
    if (output_write(out, {chunks.output.get(), produced}) != 0) return ModeStop::kWrite;
    total += produced;
  }
  // Nothing decoded is nothing to save, which fails like any other save.
  if (total == 0 || output_commit(out) != 0) return ModeStop::kWrite;
  return ModeStop::kDone;
}

}  // namespace

// The target is replaced only when the whole result has been written; on any failure it is left
// as it was (but for a descriptor, which keeps what reached it).
int run_file_mode(const Command& command, Console& console) {
  const FileMode mode = command.mode;
  const char* const source = command.source;
  const Target& to = command.target;
  const auto finish = [&](ModeStop stop) { return report(console, stop, mode, source, to.name); };
  InputFile in;
  if (input_open(in, source) != 0) return finish(ModeStop::kRead);
  Chunks chunks;
  if (make_chunks(mode, chunks) != 0) return finish(ModeStop::kCode);
  std::size_t got = 0;
  if (input_read(in, {chunks.input.get(), chunks.input_size}, got) != 0) {
    return finish(ModeStop::kRead);
  }
  if (got == 0) return finish(ModeStop::kCode);
  // What is said so far comes before the data, should both reach one console.
  (void)console_flush(console);  // a failure is the run's, reported at its end
  OutputFile out;
  if (open_target(out, to) != 0) return finish(ModeStop::kWrite);
  return finish(stream(mode, in, chunks, got, out));
}

}  // namespace tbl2tblx
