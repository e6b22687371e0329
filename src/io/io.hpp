// Moving bytes between disk and memory. The one place that reads whole files, streams input,
// and writes every output file of the tool: to a temporary file beside the target that replaces
// the target only once it is complete (commit), or disappears (discard, interrupt, any failure);
// or, for a target that names a descriptor the process was given, through that descriptor.
// Nothing here prints; callers word every message. Results are 0 for success and 1 for failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tbl2tblx {

// ---- Descriptors ---------------------------------------------------------------------------

// Writes all `length` bytes to `fd`, across short writes and interrupted calls.
[[nodiscard]] int write_all(int fd, const void* bytes, std::size_t length);

// ---- Streaming input -------------------------------------------------------------------------

struct InputFile {
  int fd = -1;
  InputFile() = default;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();
};

[[nodiscard]] int input_open(InputFile& in, const char* name);
// Fills `dest` as far as the file allows; `got` < dest.size() only at the end of the file.
[[nodiscard]] int input_read(InputFile& in, std::span<std::uint8_t> dest, std::size_t& got);

// ---- Reading through a window ---------------------------------------------------------------

// A stream of bytes read in order through one buffer that is refilled as it is used up, so that
// an input of any size takes the same memory. The unread bytes are [at, end). The source is a
// file (or pipe, or device) or, for tests and fuzzers, bytes in memory handed out in reads of at
// most `piece` bytes each.
struct InputWindow {
  static constexpr std::uint64_t kUnknownSize = UINT64_MAX;

  InputFile file;
  std::span<const std::uint8_t> memory{};  // the source when file.fd < 0
  std::size_t piece = 0;                   // the longest read from memory

  std::unique_ptr<std::uint8_t[]> buffer;
  std::size_t capacity = 0;
  std::size_t base_capacity = 0;  // the size asked for; a grown window returns to it
  const std::uint8_t* at = nullptr;
  const std::uint8_t* end = nullptr;
  std::uint64_t received = 0;         // bytes read from the source so far, up to `end`
  std::uint64_t size = kUnknownSize;  // the source's size, when it can be known beforehand
  bool ended = false;                 // the source has no more bytes
  bool failed = false;                // a read failed, or no memory for a larger buffer
  bool ends_at_zero = false;          // a zero byte ends the stream (a document's text)
  bool device = false;                // a character device, which may never end

  // A UTF-16 source (input_transcode_utf16) is read into `raw` and stands in the window as UTF-8.
  bool utf16 = false;
  bool big_endian = false;
  bool raw_ended = false;  // the source has no more bytes; `raw` may still hold some
  std::unique_ptr<std::uint8_t[]> raw;
  std::size_t raw_capacity = 0;
  std::size_t raw_at = 0;  // the untranscoded bytes are raw[raw_at, raw_end)
  std::size_t raw_end = 0;

  InputWindow() = default;
  InputWindow(const InputWindow&) = delete;
  InputWindow& operator=(const InputWindow&) = delete;
};

inline constexpr std::size_t kInputWindowSize = std::size_t{256} << 10;

// Opens `name` for reading through a window of `capacity` bytes; a regular file's size is known.
// Reads nothing yet. 1 when the file cannot be opened, is a folder, or no memory is left.
[[nodiscard]] int input_window_open(InputWindow& in, const char* name,
                                    std::size_t capacity = kInputWindowSize);

// `bytes` as the source, read `piece` bytes at a time (0: all at once); `size_known` false makes
// it behave as a pipe does, whose size is found only at its end.
[[nodiscard]] int input_window_from_memory(InputWindow& in, std::span<const std::uint8_t> bytes,
                                           std::size_t capacity, std::size_t piece,
                                           bool size_known);

// From here on the source is UTF-16 in the byte order given: the unread bytes and every byte
// read later stand in the window transcoded to UTF-8, so that a reader of ASCII-compatible text
// reads it as it reads any other. A surrogate without its partner, or an odd byte at the end,
// becomes U+FFFD. The window then counts in transcoded bytes and the source's size is unknown.
// 1 when no memory is left for the second buffer this takes.
[[nodiscard]] int input_transcode_utf16(InputWindow& in, bool big_endian);

// From here on a zero byte ends the stream, also among the unread bytes already in the window.
void input_end_at_zero(InputWindow& in);

// The refill behind input_need, once the window holds fewer than `n` unread bytes.
[[nodiscard]] int input_fill(InputWindow& in, std::size_t n);

// Makes at least `n` unread bytes available at `at`, refilling the window; a window smaller
// than `n` grows only as far as the source delivers, and returns to its size once the bytes it
// holds and the next need fit again. 1 when the source ends first or fails. Pointers into the
// window are stale after a fill.
[[nodiscard]] inline int input_need(InputWindow& in, std::size_t n) {
  return static_cast<std::size_t>(in.end - in.at) >= n ? 0 : input_fill(in, n);
}

inline std::size_t input_available(const InputWindow& in) {
  return static_cast<std::size_t>(in.end - in.at);
}

// Makes up to `n` unread bytes available, as many as the source holds: for a look at what
// comes, judged by input_available rather than by whether all `n` came.
inline void input_look_ahead(InputWindow& in, std::size_t n) {
  (void)input_need(in, n);
}

// Bytes taken from the stream so far: the offset of `at`.
inline std::uint64_t input_offset(const InputWindow& in) {
  return in.received - input_available(in);
}

// input_known_short for `n` bytes more than the window holds.
bool input_known_short_past_window(const InputWindow& in, std::uint64_t n);

// Whether the stream is known to hold fewer than `n` bytes after `at`: by the source's size, or
// because it ended. False when that cannot be told without reading further.
inline bool input_known_short(const InputWindow& in, std::uint64_t n) {
  return n > input_available(in) && input_known_short_past_window(in, n);
}

// Passes over `n` bytes, reading those not in the window. 1 when the source ends first.
[[nodiscard]] int input_skip(InputWindow& in, std::uint64_t n);

// Whether bytes past the window can be looked at by position, without reading up to them: a
// regular file, or bytes in memory of known size.
inline bool input_can_peek(const InputWindow& in) {
  return in.size != InputWindow::kUnknownSize;
}

// The byte `n` bytes after `at`, looked at by position when it lies past the window; the
// window stays as it is. 1 when it cannot be read.
[[nodiscard]] int input_peek(InputWindow& in, std::uint64_t n, std::uint8_t& byte);

// Takes the next `n` bytes of `in` into a temporary file that has no name (in $TMPDIR, or
// /tmp), and opens `spool` on it through a window of `capacity` bytes: bytes a pipe delivers
// before what is needed to use them wait on disk, not in memory. 1 when `in` ends or fails
// first (see its flags), or the temporary file cannot be made or written.
[[nodiscard]] int input_spool(InputWindow& in, std::uint64_t n, InputWindow& spool,
                              std::size_t capacity = kInputWindowSize);

// ---- Output files: commit or discard -------------------------------------------------------

inline constexpr std::size_t kOutputBufferSize = std::size_t{1} << 20;
// Output reaches the file in whole multiples of this, at offsets that are multiples of it, until
// the commit (or a single write of kOutputBufferSize or more) writes what is left.
inline constexpr std::size_t kOutputWriteAlignment = std::size_t{256} << 10;

// A file as the system knows it, whatever name or link it is reached by; never all zero.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  friend auto operator<=>(const FileIdentity&, const FileIdentity&) = default;
};

// An output being written. Bytes are buffered here and handed to the kernel in large writes.
// While it is open, an interrupt (SIGINT, SIGTERM, SIGHUP) removes the temporary file before
// the process ends with that signal. Destroyed without output_commit, it is discarded.
struct OutputFile {
  int fd = -1;
  std::string target;         // the name that is replaced on commit (a symbolic link resolved)
  std::string temp;           // the temporary file; empty when the target is written in place
  bool borrowed = false;      // fd is one the process was started with: written, never closed
  int replaced_mode = -1;     // permission bits of the file being replaced, -1 for a new file
  bool failed = false;        // a write or patch fell short: commit will refuse
  std::uint64_t flushed = 0;  // bytes already written to fd
  std::unique_ptr<std::uint8_t[]> buffer;
  std::size_t used = 0;   // bytes waiting in buffer
  FileIdentity identity;  // once committed: the file that now stands under the target name
                          // (all zero for one written in place or through a descriptor)

  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();
};

// Prepares to replace `target`: a temporary file in the target's folder, mode 0600 while it is
// incomplete. A target that exists and is not a regular file (a device, a FIFO) is opened and
// written in place instead. 1 when nothing can be created (no such folder, no permission, a
// directory under the target name).
[[nodiscard]] int output_open(OutputFile& out, const char* target);

// Creates `target` itself, only where no file stands under that name (not even a dangling
// link), so that no other output, of this process or another, is ever replaced: it is written
// in place, mode 0600 until the commit, and removed on discard or interrupt like a temporary
// file. 1 when a file stands there or nothing can be created.
[[nodiscard]] int output_open_new(OutputFile& out, const char* target);

// Writes through `fd`, a descriptor the process already has open, as it stands: it is never
// reopened, truncated or replaced, so its position and append mode hold, and it stays open.
// Commit only flushes and checks the writes: what reached the descriptor cannot be taken back.
[[nodiscard]] int output_adopt(OutputFile& out, int fd, const char* target);

// The descriptor a name stands for when it names one of the process's own: "/dev/stdin",
// "/dev/stdout", "/dev/stderr", "/dev/fd/N" or "/proc/self/fd/N". -1 for any other name.
int named_descriptor(const char* name);

// Whether `fd` is open in this process.
bool descriptor_is_open(int fd);

// A descriptor of the process, open for writing, on the very file (device and inode) that
// `name` stands for, however it is spelled ("/dev/./stdout", a link to the log standard error
// appends to); -1 when there is none.
int descriptor_writing_to(const char* name);

// Which of the standard descriptors 0, 1 and 2 are closed; then /dev/null is opened on each of
// them, so that no file the tool opens takes a standard number and gets what is meant for it.
struct StandardDescriptors {
  bool closed[3] = {};
};
StandardDescriptors fill_closed_standard_descriptors();

// output_write when the buffer is to be written out first, or the bytes are many.
[[nodiscard]] int output_write_through(OutputFile& out, std::span<const std::uint8_t> bytes);

// Appends bytes. 1 once any write has failed (the failure is sticky). Items of a few bytes are
// the common case: they go into the buffer without a call.
[[nodiscard]] inline int output_write(OutputFile& out, std::span<const std::uint8_t> bytes) {
  if (out.fd < 0 || out.failed || out.used >= kOutputBufferSize ||
      bytes.size() >= kOutputBufferSize) {
    return output_write_through(out, bytes);
  }
  std::memcpy(out.buffer.get() + out.used, bytes.data(), bytes.size());
  out.used += bytes.size();
  return 0;
}
[[nodiscard]] inline int output_write(OutputFile& out, std::string_view text) {
  return output_write(out, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

// Room for up to `n` <= kOutputBufferSize bytes at the end of the buffer; write into it, then
// call output_advance with the number actually used. nullptr once a write has failed.
[[nodiscard]] std::uint8_t* output_reserve(OutputFile& out, std::size_t n);
inline void output_advance(OutputFile& out, std::size_t n) {
  out.used += n;
}

// Bytes appended so far, buffered or not: the offset of the next byte.
inline std::uint64_t output_position(const OutputFile& out) {
  return out.flushed + out.used;
}

// Overwrites bytes already appended at `offset`: in the buffer while they are still there,
// otherwise in the file (not through an adopted descriptor, whose bytes are gone). Used to fill
// in counts that precede their items.
[[nodiscard]] int output_patch(OutputFile& out, std::uint64_t offset,
                               std::span<const std::uint8_t> bytes);

// Flushes, checks every write, gives the file its final mode and renames it onto the target.
// 1 (and the temporary file removed, the target untouched) on any failure.
[[nodiscard]] int output_commit(OutputFile& out);

// Removes the temporary file; the target is left exactly as it was. Safe to call twice.
void output_discard(OutputFile& out);

// ---- The outputs of a run ------------------------------------------------------------------

// The files a run has committed, by identity (however they are named), so that it never
// replaces one of its own outputs. A run's outputs share one or a few devices, so inode numbers
// are kept under their device: 8 bytes an output. Each device's inodes stand in sorted runs
// whose sizes are the binary digits of their count, largest first: a new file joins the runs it
// completes, as a binary counter carries, so that a look-up is a binary search in each run. A
// deque, as it grows without copying what it holds.
struct WrittenInodes {
  std::uint64_t device = 0;
  std::deque<std::uint64_t> inodes;
};
struct WrittenFiles {
  std::vector<WrittenInodes> devices;
};

// Remembers the file that `out` committed (nothing for one written in place).
void remember_written(WrittenFiles& written, const OutputFile& out);

// Whether `name` stands for a file the run has committed.
bool was_written(const WrittenFiles& written, const char* name);

}  // namespace tbl2tblx
