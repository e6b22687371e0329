#include "cli/cli.hpp"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "base64/base64.hpp"
#include "convert/convert.hpp"
#include "formats/formats.hpp"
#include "io/io.hpp"

namespace tbl2tblx {
namespace {

constexpr const char* kUsage =
    "tbl2tblx [-h] [-c] [-e] [-d] file...\n\t-c: base64 encoding for tblx\n"
    "\t-e: base64 encoding\n\t-d: base64 decoding\n";

constexpr std::size_t kStdoutBuffer = std::size_t{64} << 10;

// Input is taken in whole lines of 76 characters, so that every piece but the last ends a line.
constexpr std::size_t kEncodeChunk = kBase64BytesPerLine * 16384;
constexpr std::size_t kDecodeChunk = std::size_t{1} << 20;

enum class FileMode { kEncodeUnbroken, kEncodeLines, kDecode };

void print_banner() {
  std::printf("tbl2tblx %.*s by %.*s\n%.*s\n\n", static_cast<int>(kToolVersion.size()),
              kToolVersion.data(), static_cast<int>(kAuthorCredit.size()), kAuthorCredit.data(),
              static_cast<int>(kWebAddress.size()), kWebAddress.data());
}

bool parse_file_mode(const char* option, FileMode& mode) {
  if (std::strcmp(option, "-c") == 0) {
    mode = FileMode::kEncodeUnbroken;
  } else if (std::strcmp(option, "-e") == 0) {
    mode = FileMode::kEncodeLines;
  } else if (std::strcmp(option, "-d") == 0) {
    mode = FileMode::kDecode;
  } else {
    return false;
  }
  return true;
}

int fail(const char* format, const char* name) {
  std::printf(format, name);
  return 1;
}

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

// Streams the source through the codec into the target. The target is replaced only when the
// whole result has been written; on any failure it is left as it was.
int run_file_mode(FileMode mode, const char* source, const char* target) {
  const bool decode = mode == FileMode::kDecode;
  InputFile in;
  if (input_open(in, source) != 0) return fail("%s: Cannot read the file\n", source);
  Chunks chunks;
  if (make_chunks(mode, chunks) != 0) {
    return fail(decode ? "%s: Cannot decode the file\n" : "%s: Cannot encode the file\n", source);
  }
  std::size_t got = 0;
  if (input_read(in, {chunks.input.get(), chunks.input_size}, got) != 0) {
    return fail("%s: Cannot read the file\n", source);
  }
  if (got == 0) {
    return fail(decode ? "%s: Cannot decode the file\n" : "%s: Cannot encode the file\n", source);
  }
  std::fflush(stdout);
  OutputFile out;
  if (output_open(out, target) != 0) return fail("%s: Cannot write the file\n", target);
  Base64Decoder decoder;
  std::uint64_t total = 0;
  bool first = true;
  while (got > 0 && !decoder.ended) {
    const std::span<const std::uint8_t> piece{chunks.input.get(), got};
    const std::size_t produced = decode ? base64_decode_step(decoder, piece, chunks.output.get())
                                        : encode_chunk(mode, piece, first, chunks.output.get());
    if (output_write(out, {chunks.output.get(), produced}) != 0) {
      return fail("%s: Cannot write the file\n", target);
    }
    total += produced;
    first = false;
    if (got < chunks.input_size) break;
    if (input_read(in, {chunks.input.get(), chunks.input_size}, got) != 0) {
      return fail("%s: Cannot read the file\n", source);
    }
  }
  if (decode) {
    const std::size_t produced = base64_decode_finish(decoder, chunks.output.get());
    if (output_write(out, {chunks.output.get(), produced}) != 0) {
      return fail("%s: Cannot write the file\n", target);
    }
    total += produced;
  }
  // Nothing decoded is nothing to save, which fails like any other save.
  if (total == 0 || output_commit(out) != 0) return fail("%s: Cannot write the file\n", target);
  std::printf(decode ? "%s: Decoding OK\n" : "%s: Encoding OK\n", target);
  return 0;
}

int run_batch(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    convert_tbl_to_tblx(argv[i]);
    convert_tblx_to_tbl(argv[i]);
  }
  return 0;
}

int dispatch(int argc, char** argv) {
  if (argc < 2) return run_batch(argc, argv);
  if (std::strcmp(argv[1], "-h") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  FileMode mode{};
  if (!parse_file_mode(argv[1], mode)) return run_batch(argc, argv);
  if (argc < 3) {
    std::fputs("source file required\n", stdout);
    return 1;
  }
  if (argc < 4) {
    std::fputs("target file required\n", stdout);
    return 1;
  }
  return run_file_mode(mode, argv[2], argv[3]);
}

}  // namespace

int run_command_line(int argc, char** argv) {
  // Messages and progress lines go to standard output; off a terminal they are buffered in
  // large blocks. A reader that goes away must not kill a conversion halfway.
  if (isatty(STDOUT_FILENO) == 0) std::setvbuf(stdout, nullptr, _IOFBF, kStdoutBuffer);
  ::signal(SIGPIPE, SIG_IGN);
  print_banner();
  const int status = dispatch(argc, argv);
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fputs("tbl2tblx: cannot write to standard output\n", stderr);
  }
  return status;
}

}  // namespace tbl2tblx
