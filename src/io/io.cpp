#include "io/io.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

namespace tbl2tblx {
namespace {

constexpr int kMaxLinkDepth = 40;
constexpr mode_t kNewFileMode = 0666;
constexpr mode_t kModeBits = 07777;
constexpr mode_t kIncompleteMode = 0600;  // as mkostemp creates a temporary file
constexpr const char* kTempName = ".tbl2tblx-XXXXXX";

// Names of the process's own descriptors: whole names, and folders followed by a number.
constexpr std::pair<std::string_view, int> kDescriptorAliases[] = {
    {"/dev/stdin", STDIN_FILENO}, {"/dev/stdout", STDOUT_FILENO}, {"/dev/stderr", STDERR_FILENO}};
constexpr std::string_view kDescriptorFolders[] = {"/dev/fd/", "/proc/self/fd/"};

// ---- Plain system-call loops -----------------------------------------------------------------

}  // namespace

int write_all(int fd, const void* data, std::size_t length) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (length > 0) {
    const ssize_t n = ::write(fd, bytes, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 1;
    bytes += n;
    length -= static_cast<std::size_t>(n);
  }
  return 0;
}

namespace {

int pwrite_all(int fd, const std::uint8_t* bytes, std::size_t length, std::uint64_t offset) {
  while (length > 0) {
    const ssize_t n = ::pwrite(fd, bytes, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 1;
    bytes += n;
    length -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return 0;
}

// Reads until `length` bytes arrived or the file ended; -1 on an error.
ssize_t read_full(int fd, std::uint8_t* bytes, std::size_t length) {
  std::size_t got = 0;
  while (got < length) {
    const ssize_t n = ::read(fd, bytes + got, length - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

// ---- Temporary files and interrupts ----------------------------------------------------------

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

// The temporary files of this process, kept where a signal handler can reach them without
// allocating or locking. A slot is live from the moment its file exists under its name until
// the file is renamed or removed, and the handler unlinks live names only: never the template
// that mkostemp has yet to fill in, nor a name that is no longer this process's file and that
// another process may create. Interrupts are held back while a slot changes, so that no moment
// leaves a file of this process behind either.
constexpr int kMaxTempFiles = 8;
struct TempSlot {
  std::atomic<bool> live{false};
  char path[PATH_MAX];
};
TempSlot temp_slots[kMaxTempFiles];
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void remove_temp_files_and_die(int signal_number) {
  for (TempSlot& slot : temp_slots) {
    if (slot.live.load()) ::unlink(slot.path);
  }
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

// Blocks the interrupts while it lives: one that arrives meanwhile is handled as it ends, when
// the slots again name exactly the files this process has.
class InterruptsHeld {
 public:
  InterruptsHeld() {
    sigset_t interrupts;
    sigemptyset(&interrupts);
    for (int signal_number : kInterrupts)
      sigaddset(&interrupts, signal_number);
    pthread_sigmask(SIG_BLOCK, &interrupts, &before_);
  }
  ~InterruptsHeld() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
  InterruptsHeld(const InterruptsHeld&) = delete;
  InterruptsHeld& operator=(const InterruptsHeld&) = delete;

 private:
  sigset_t before_{};
};

void install_interrupt_cleanup() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (int signal_number : kInterrupts) {
    struct sigaction current {};
    if (sigaction(signal_number, nullptr, &current) != 0) continue;
    if (current.sa_handler == SIG_IGN) continue;  // the caller wants this one ignored
    struct sigaction cleanup {};
    cleanup.sa_handler = remove_temp_files_and_die;
    sigemptyset(&cleanup.sa_mask);
    sigaction(signal_number, &cleanup, nullptr);
  }
}

TempSlot* free_temp_slot() {
  for (TempSlot& slot : temp_slots) {
    if (!slot.live.load()) return &slot;
  }
  return nullptr;
}

TempSlot* find_temp_slot(const std::string& path) {
  for (TempSlot& slot : temp_slots) {
    if (slot.live.load() && path == slot.path) return &slot;
  }
  return nullptr;
}

// Creates the temporary file in a free slot, which mkostemp fills in and which goes live once
// the file exists.
int create_temp_file(const std::string& folder, std::string& temp) {
  const std::string pattern = folder + "/" + kTempName;
  TempSlot* slot = free_temp_slot();
  if (slot == nullptr || pattern.size() >= PATH_MAX) return -1;
  const InterruptsHeld held;
  std::memcpy(slot->path, pattern.c_str(), pattern.size() + 1);
  const int fd = mkostemp(slot->path, O_CLOEXEC);
  if (fd < 0) return -1;
  slot->live.store(true);
  temp = slot->path;
  return fd;
}

// Creates `target` only where nothing stands under that name, in a free slot that goes live
// with it: the file is this process's own to remove until it is committed.
int create_new_file(const std::string& target, std::string& temp) {
  TempSlot* slot = free_temp_slot();
  if (slot == nullptr || target.size() >= PATH_MAX) return -1;
  const InterruptsHeld held;
  const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kIncompleteMode);
  if (fd < 0) return -1;
  std::memcpy(slot->path, target.c_str(), target.size() + 1);
  slot->live.store(true);
  temp = target;
  return fd;
}

void retire_temp_slot(const std::string& temp) {
  if (TempSlot* slot = find_temp_slot(temp)) slot->live.store(false);
}

void remove_temp_file(std::string& temp) {
  if (temp.empty()) return;
  {
    const InterruptsHeld held;
    ::unlink(temp.c_str());
    retire_temp_slot(temp);
  }
  temp.clear();
}

// Renames the temporary file onto `target`; the file is then no longer this process's to remove.
bool rename_temp_file(std::string& temp, const std::string& target) {
  const InterruptsHeld held;
  if (::rename(temp.c_str(), target.c_str()) != 0) return false;
  retire_temp_slot(temp);
  temp.clear();
  return true;
}

mode_t new_file_mode() {
  static const mode_t mask = [] {
    const mode_t current = umask(0);
    umask(current);
    return current;
  }();
  return kNewFileMode & ~mask;
}

// ---- Target names ----------------------------------------------------------------------------

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The file an existing name stands for, through every symbolic link, so that the file is
// replaced and the links stay.
std::string real_path(const char* name) {
  std::unique_ptr<char, decltype(&std::free)> resolved(realpath(name, nullptr), &std::free);
  return resolved ? std::string(resolved.get()) : std::string(name);
}

// The same for a name that does not exist yet: a dangling link names the file to create. 1
// for a loop of links, or a name that cannot be followed: nothing is to be created there.
int resolve_links(std::string& path) {
  for (int depth = 0; depth < kMaxLinkDepth; ++depth) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) return errno == ENOENT ? 0 : 1;
    if (!S_ISLNK(status.st_mode)) return 0;
    std::vector<char> link(static_cast<std::size_t>(std::max<off_t>(status.st_size, 0)) + PATH_MAX);
    const ssize_t length = readlink(path.c_str(), link.data(), link.size() - 1);
    if (length < 0) return 1;
    std::string destination(link.data(), static_cast<std::size_t>(length));
    if (destination.empty() || destination[0] != '/') {
      destination = folder_of(path) + "/" + destination;
    }
    path = std::move(destination);
  }
  return 1;
}

// Bytes go to the kernel in whole multiples of kOutputWriteAlignment at offsets that are
// multiples of it; the rest waits in the buffer for the next write. The page cache takes such
// writes in large pieces: a document costs about 6 % less kernel time than at other offsets.
// The buffer holds kOutputBufferSize bytes more than it writes at a time, so that a reservation
// of up to kOutputBufferSize always fits behind what is left.
constexpr std::size_t kOutputCapacity = 2 * kOutputBufferSize;
static_assert(kOutputBufferSize % kOutputWriteAlignment == 0);

// Once the buffer holds kOutputBufferSize bytes or more, writes them out up to the last
// aligned offset (so that a single large write at another offset is made up for at once).
void flush_aligned(OutputFile& out) {
  if (out.used < kOutputBufferSize || out.failed) return;
  const std::uint64_t end = output_position(out);
  const auto aligned = static_cast<std::size_t>(end - end % kOutputWriteAlignment - out.flushed);
  if (write_all(out.fd, out.buffer.get(), aligned) != 0) out.failed = true;
  std::memmove(out.buffer.get(), out.buffer.get() + aligned, out.used - aligned);
  out.flushed += aligned;
  out.used -= aligned;
}

void flush_buffer(OutputFile& out) {
  if (out.used == 0 || out.failed) return;
  if (write_all(out.fd, out.buffer.get(), out.used) != 0) out.failed = true;
  out.flushed += out.used;
  out.used = 0;
}

}  // namespace

// ---- Streaming input -------------------------------------------------------------------------

InputFile::~InputFile() {
  if (fd >= 0) ::close(fd);
}

int input_open(InputFile& in, const char* name) {
  if (name == nullptr) return 1;
  in.fd = ::open(name, O_RDONLY | O_CLOEXEC);
  if (in.fd < 0) return 1;
  struct stat status {};
  if (fstat(in.fd, &status) != 0 || S_ISDIR(status.st_mode)) {
    ::close(in.fd);
    in.fd = -1;
    return 1;
  }
  return 0;
}

int input_read(InputFile& in, std::span<std::uint8_t> dest, std::size_t& got) {
  got = 0;
  const ssize_t n = read_full(in.fd, dest.data(), dest.size());
  if (n < 0) return 1;
  got = static_cast<std::size_t>(n);
  return 0;
}

// ---- Reading through a window ---------------------------------------------------------------

namespace {

int allocate_window(InputWindow& in, std::size_t capacity) {
  in.capacity = in.base_capacity = std::max<std::size_t>(capacity, 1);
  in.buffer.reset(new (std::nothrow) std::uint8_t[in.capacity]);
  in.at = in.end = in.buffer.get();
  return in.buffer == nullptr ? 1 : 0;
}

// One read into `dest`: what the source gives at once, 0 at its end, -1 on an error.
ssize_t read_some(InputWindow& in, std::uint8_t* dest, std::size_t room) {
  if (in.file.fd < 0) {
    const std::size_t taken = std::min({room, in.memory.size(), in.piece});
    if (taken > 0) std::memcpy(dest, in.memory.data(), taken);
    in.memory = in.memory.subspan(taken);
    return static_cast<ssize_t>(taken);
  }
  for (;;) {
    const ssize_t n = ::read(in.file.fd, dest, room);
    if (n >= 0 || errno != EINTR) return n;
  }
}

// Of `got` bytes just read behind the `available` ones, those before a zero byte: a zero ends
// the stream there, and the bytes after it are as if never read.
std::size_t bytes_before_zero(InputWindow& in, std::size_t available, std::size_t got) {
  std::uint8_t* fresh = in.buffer.get() + available;
  const void* zero = std::memchr(fresh, 0, got);
  if (zero == nullptr) return got;
  const auto kept = static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - fresh);
  in.received -= got - kept;
  in.ended = true;
  return kept;
}

// ---- UTF-16 ----

// The most UTF-8 bytes one step of the transcoding writes: a character outside the BMP.
constexpr std::size_t kUtf8MaxBytes = 4;
constexpr std::uint32_t kReplacement = 0xFFFD;

std::uint32_t utf16_unit(const InputWindow& in, std::size_t at) {
  const std::uint8_t* p = in.raw.get() + at;
  return in.big_endian ? (std::uint32_t{p[0]} << 8 | p[1]) : (std::uint32_t{p[1]} << 8 | p[0]);
}

std::uint8_t* put_utf8(std::uint8_t* dest, std::uint32_t c) {
  if (c < 0x80) {
    *dest++ = static_cast<std::uint8_t>(c);
  } else if (c < 0x800) {
    *dest++ = static_cast<std::uint8_t>(0xC0 | c >> 6);
    *dest++ = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *dest++ = static_cast<std::uint8_t>(0xE0 | c >> 12);
    *dest++ = static_cast<std::uint8_t>(0x80 | (c >> 6 & 0x3F));
    *dest++ = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
  } else {
    *dest++ = static_cast<std::uint8_t>(0xF0 | c >> 18);
    *dest++ = static_cast<std::uint8_t>(0x80 | (c >> 12 & 0x3F));
    *dest++ = static_cast<std::uint8_t>(0x80 | (c >> 6 & 0x3F));
    *dest++ = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
  }
  return dest;
}

bool is_high_surrogate(std::uint32_t u) {
  return u >= 0xD800 && u < 0xDC00;
}
bool is_low_surrogate(std::uint32_t u) {
  return u >= 0xDC00 && u < 0xE000;
}

// The next character of `raw` and the bytes it takes; 0 bytes when it needs more of the source.
std::size_t next_utf16_character(const InputWindow& in, std::uint32_t& c) {
  const std::size_t left = in.raw_end - in.raw_at;
  if (left < 2) {
    c = kReplacement;
    return in.raw_ended ? left : 0;
  }
  c = utf16_unit(in, in.raw_at);
  if (is_low_surrogate(c)) c = kReplacement;
  if (!is_high_surrogate(c)) return 2;
  if (left < 4 && !in.raw_ended) return 0;
  const std::uint32_t low = left < 4 ? 0 : utf16_unit(in, in.raw_at + 2);
  if (!is_low_surrogate(low)) {
    c = kReplacement;
    return 2;
  }
  c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
  return 4;
}

// Transcodes what `raw` holds into `dest`, as far as `room` allows; the bytes written.
std::size_t transcode_utf16(InputWindow& in, std::uint8_t* dest, std::size_t room) {
  std::uint8_t* out = dest;
  std::uint32_t c = 0;
  while (static_cast<std::size_t>(dest + room - out) >= kUtf8MaxBytes) {
    const std::size_t taken = next_utf16_character(in, c);
    if (taken == 0) break;
    in.raw_at += taken;
    out = put_utf8(out, c);
  }
  return static_cast<std::size_t>(out - dest);
}

// One read for the window of a UTF-16 source: as read_some, in transcoded bytes.
ssize_t read_some_utf16(InputWindow& in, std::uint8_t* dest, std::size_t room) {
  for (;;) {
    const std::size_t made = transcode_utf16(in, dest, room);
    if (made > 0 || (in.raw_ended && in.raw_at == in.raw_end)) return static_cast<ssize_t>(made);
    const std::size_t left = in.raw_end - in.raw_at;
    std::memmove(in.raw.get(), in.raw.get() + in.raw_at, left);
    in.raw_at = 0;
    in.raw_end = left;
    const ssize_t got = read_some(in, in.raw.get() + left, in.raw_capacity - left);
    if (got < 0) return got;
    if (got == 0) in.raw_ended = true;
    in.raw_end += static_cast<std::size_t>(got);
  }
}

// Moves the unread bytes into a new buffer of `capacity` bytes.
int resize_window(InputWindow& in, std::size_t capacity) {
  const std::size_t available = input_available(in);
  assert(available <= capacity);
  std::unique_ptr<std::uint8_t[]> moved(new (std::nothrow) std::uint8_t[capacity]);
  if (moved == nullptr) return 1;
  std::memcpy(moved.get(), in.at, available);
  in.buffer = std::move(moved);
  in.capacity = capacity;
  in.at = in.buffer.get();
  in.end = in.at + available;
  return 0;
}

// A window too small for `n` bytes doubles, up to `n`, each time the source fills it; it leaves
// at least `least_room` bytes free.
int grow_window(InputWindow& in, std::size_t n, std::size_t least_room) {
  const std::size_t doubled = std::min(n, std::max(in.capacity * 2, in.capacity + 1));
  return resize_window(in, std::max(doubled, input_available(in) + least_room));
}

}  // namespace

int input_window_open(InputWindow& in, const char* name, std::size_t capacity) {
  if (input_open(in.file, name) != 0) return 1;
  struct stat status {};
  if (fstat(in.file.fd, &status) == 0 && S_ISREG(status.st_mode)) {
    in.size = static_cast<std::uint64_t>(status.st_size);
    posix_fadvise(in.file.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  in.device = S_ISCHR(status.st_mode);
  return allocate_window(in, capacity);
}

int input_window_from_memory(InputWindow& in, std::span<const std::uint8_t> bytes,
                             std::size_t capacity, std::size_t piece, bool size_known) {
  in.memory = bytes;
  in.piece = piece == 0 ? bytes.size() : piece;
  in.size = size_known ? bytes.size() : InputWindow::kUnknownSize;
  return allocate_window(in, capacity);
}

int input_transcode_utf16(InputWindow& in, bool big_endian) {
  const std::size_t available = input_available(in);
  in.raw_capacity = std::max({in.capacity, available, kUtf8MaxBytes});
  in.raw.reset(new (std::nothrow) std::uint8_t[in.raw_capacity]);
  if (in.raw == nullptr) return 1;
  if (available > 0) std::memcpy(in.raw.get(), in.at, available);
  in.raw_at = 0;
  in.raw_end = available;
  in.raw_ended = in.ended;
  in.ended = false;
  in.utf16 = true;
  in.big_endian = big_endian;
  in.at = in.end = in.buffer.get();
  in.received = 0;
  in.size = InputWindow::kUnknownSize;
  return 0;
}

void input_end_at_zero(InputWindow& in) {
  in.ends_at_zero = true;
  const std::size_t available = input_available(in);
  const void* zero = std::memchr(in.at, 0, available);
  if (zero == nullptr) return;
  const auto kept = static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - in.at);
  in.received -= available - kept;
  in.end = in.at + kept;
  in.ended = true;
}

int input_fill(InputWindow& in, std::size_t n) {
  std::size_t available = input_available(in);
  if (in.capacity > in.base_capacity && std::max(n, available) <= in.base_capacity) {
    (void)resize_window(in, in.base_capacity);  // on failure the larger window serves on
  }
  if (available > 0 && in.at != in.buffer.get()) std::memmove(in.buffer.get(), in.at, available);
  in.at = in.buffer.get();
  in.end = in.at + available;
  while (available < n) {
    if (in.ended || in.failed) return 1;
    // A UTF-16 source needs room for the longest character it can make.
    const std::size_t least_room = in.utf16 ? kUtf8MaxBytes : 1;
    if (in.capacity - available < least_room && grow_window(in, n, least_room) != 0) {
      in.failed = true;
      return 1;
    }
    std::uint8_t* dest = in.buffer.get() + available;
    const std::size_t room = in.capacity - available;
    const ssize_t got = in.utf16 ? read_some_utf16(in, dest, room) : read_some(in, dest, room);
    if (got < 0) in.failed = true;
    if (got == 0) in.ended = true;
    if (got <= 0) return 1;
    in.received += static_cast<std::uint64_t>(got);
    std::size_t kept = static_cast<std::size_t>(got);
    if (in.ends_at_zero) kept = bytes_before_zero(in, available, kept);
    available += kept;
    in.end = in.at + available;
  }
  return 0;
}

bool input_known_short_past_window(const InputWindow& in, std::uint64_t n) {
  if (in.ended) return true;
  const std::uint64_t offset = input_offset(in);
  return in.size != InputWindow::kUnknownSize && offset <= in.size && in.size - offset < n;
}

int input_skip(InputWindow& in, std::uint64_t n) {
  while (n > 0) {
    if (in.at == in.end && input_fill(in, 1) != 0) return 1;
    const std::size_t taken =
        static_cast<std::size_t>(std::min<std::uint64_t>(n, input_available(in)));
    in.at += taken;
    n -= taken;
  }
  return 0;
}

int input_peek(InputWindow& in, std::uint64_t n, std::uint8_t& byte) {
  if (n < input_available(in)) {
    byte = in.at[n];
    return 0;
  }
  const std::uint64_t past = n - input_available(in);
  if (in.file.fd < 0) {
    if (past >= in.memory.size()) return 1;
    byte = in.memory[static_cast<std::size_t>(past)];
    return 0;
  }
  for (;;) {
    const ssize_t got = ::pread(in.file.fd, &byte, 1, static_cast<off_t>(in.received + past));
    if (got < 0 && errno == EINTR) continue;
    return got == 1 ? 0 : 1;
  }
}

namespace {

// A file with no name in the temporary folder: it disappears with its descriptor, whatever
// ends the process.
int open_unnamed_temp_file() {
  const char* folder = std::getenv("TMPDIR");
  const std::string dir = folder != nullptr && *folder != '\0' ? folder : "/tmp";
  const int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
  // A file system without unnamed files: the name goes at once.
  std::string pattern = dir + "/" + kTempName;
  const InterruptsHeld held;
  const int named = mkostemp(pattern.data(), O_CLOEXEC);
  if (named >= 0) ::unlink(pattern.c_str());
  return named;
}

}  // namespace

int input_spool(InputWindow& in, std::uint64_t n, InputWindow& spool, std::size_t capacity) {
  InputFile& file = spool.file;
  file.fd = open_unnamed_temp_file();
  if (file.fd < 0) return 1;
  for (std::uint64_t left = n; left > 0;) {
    if (in.at == in.end && input_fill(in, 1) != 0) return 1;
    const std::size_t taken =
        static_cast<std::size_t>(std::min<std::uint64_t>(left, input_available(in)));
    if (write_all(file.fd, in.at, taken) != 0) return 1;
    in.at += taken;
    left -= taken;
  }
  if (::lseek(file.fd, 0, SEEK_SET) != 0) return 1;
  spool.size = n;
  return allocate_window(spool, capacity);
}

// ---- Output files ----------------------------------------------------------------------------

OutputFile::~OutputFile() {
  output_discard(*this);
}

namespace {

void start_output(OutputFile& out) {
  out.borrowed = false;
  out.failed = false;
  out.flushed = 0;
  out.used = 0;
}

// The buffer of an output whose file is open; 1 (and nothing left open) for none.
int finish_open(OutputFile& out) {
  if (out.fd < 0) return 1;
  out.buffer.reset(new (std::nothrow) std::uint8_t[kOutputCapacity]);
  if (out.buffer == nullptr) {
    output_discard(out);
    return 1;
  }
  return 0;
}

}  // namespace

int output_open(OutputFile& out, const char* target) {
  if (target == nullptr || *target == '\0' || out.fd >= 0) return 1;
  start_output(out);
  struct stat status {};
  const bool exists = stat(target, &status) == 0;
  // A name that cannot be followed to a file or to a place for one (a loop of links, a file
  // where a folder should be) is written nowhere: a link is never replaced by a file.
  if (!exists && errno != ENOENT) return 1;
  if (exists && !S_ISREG(status.st_mode)) {
    // A device or a FIFO cannot be replaced; it is written in place, as it always was.
    out.target = target;
    out.fd = ::open(target, O_WRONLY | O_TRUNC | O_CLOEXEC);
  } else {
    if (exists && access(target, W_OK) != 0) return 1;
    out.target = exists ? real_path(target) : target;
    if (!exists && resolve_links(out.target) != 0) return 1;
    out.replaced_mode = exists ? static_cast<int>(status.st_mode & kModeBits) : -1;
    install_interrupt_cleanup();
    out.fd = create_temp_file(folder_of(out.target), out.temp);
  }
  return finish_open(out);
}

int output_open_new(OutputFile& out, const char* target) {
  if (target == nullptr || *target == '\0' || out.fd >= 0) return 1;
  start_output(out);
  out.target = target;
  out.replaced_mode = -1;
  install_interrupt_cleanup();
  out.fd = create_new_file(out.target, out.temp);  // committed by renaming it onto itself
  return finish_open(out);
}

int output_adopt(OutputFile& out, int fd, const char* target) {
  if (fd < 0 || target == nullptr || out.fd >= 0) return 1;
  out.failed = false;
  out.flushed = 0;
  out.used = 0;
  out.target = target;
  out.buffer.reset(new (std::nothrow) std::uint8_t[kOutputCapacity]);
  if (out.buffer == nullptr) return 1;
  out.fd = fd;
  out.borrowed = true;
  return 0;
}

int named_descriptor(const char* name) {
  if (name == nullptr) return -1;
  const std::string_view text(name);
  for (const auto& [alias, fd] : kDescriptorAliases) {
    if (text == alias) return fd;
  }
  for (std::string_view folder : kDescriptorFolders) {
    if (!text.starts_with(folder)) continue;
    const std::string_view number = text.substr(folder.size());
    const char* const last = number.data() + number.size();
    int fd = -1;
    const auto [end, error] = std::from_chars(number.data(), last, fd);
    return error == std::errc{} && end == last && fd >= 0 ? fd : -1;
  }
  return -1;
}

bool descriptor_is_open(int fd) {
  return fd >= 0 && fcntl(fd, F_GETFD) != -1;
}

int descriptor_writing_to(const char* name) {
  struct stat target {};
  if (name == nullptr || stat(name, &target) != 0) return -1;
  // The descriptors of the process are listed in /proc; without it, the standard ones.
  std::vector<int> open_fds = {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO};
  if (DIR* folder = opendir("/proc/self/fd")) {
    open_fds.clear();
    while (const dirent* entry = readdir(folder)) {
      int fd = -1;
      const std::string_view number(entry->d_name);
      if (std::from_chars(number.data(), number.data() + number.size(), fd).ec == std::errc{} &&
          fd != dirfd(folder)) {
        open_fds.push_back(fd);
      }
    }
    closedir(folder);
  }
  std::sort(open_fds.begin(), open_fds.end());
  for (const int fd : open_fds) {
    struct stat status {};
    const int flags = fcntl(fd, F_GETFL);
    if (flags == -1 || (flags & O_ACCMODE) == O_RDONLY || fstat(fd, &status) != 0) continue;
    if (status.st_dev == target.st_dev && status.st_ino == target.st_ino) return fd;
  }
  return -1;
}

StandardDescriptors fill_closed_standard_descriptors() {
  StandardDescriptors standard;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
    standard.closed[fd] = !descriptor_is_open(fd);
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (!standard.closed[fd]) continue;
    // The lowest free number is taken: the closed ones in order.
    const int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd >= 0 && null_fd != fd) ::close(null_fd);
  }
  return standard;
}

int output_write_through(OutputFile& out, std::span<const std::uint8_t> bytes) {
  if (out.fd < 0 || out.failed) return 1;
  flush_aligned(out);
  if (bytes.size() >= kOutputBufferSize) {
    flush_buffer(out);
    if (!out.failed && write_all(out.fd, bytes.data(), bytes.size()) != 0) out.failed = true;
    out.flushed += bytes.size();
    return out.failed ? 1 : 0;
  }
  if (out.failed) return 1;
  std::memcpy(out.buffer.get() + out.used, bytes.data(), bytes.size());
  out.used += bytes.size();
  return 0;
}

std::uint8_t* output_reserve(OutputFile& out, std::size_t n) {
  if (out.fd < 0 || out.failed || n > kOutputBufferSize) return nullptr;
  flush_aligned(out);
  return out.failed ? nullptr : out.buffer.get() + out.used;
}

int output_patch(OutputFile& out, std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  if (out.fd < 0 || out.failed || offset + bytes.size() > output_position(out)) return 1;
  if (out.borrowed && offset < out.flushed) return 1;
  // The part still in the buffer is patched there, the part already written in the file.
  std::size_t in_file = 0;
  if (offset < out.flushed) {
    in_file = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), out.flushed - offset));
    if (pwrite_all(out.fd, bytes.data(), in_file, offset) != 0) {
      out.failed = true;
      return 1;
    }
  }
  if (in_file < bytes.size()) {
    const std::uint64_t at = offset + in_file - out.flushed;
    std::memcpy(out.buffer.get() + at, bytes.data() + in_file, bytes.size() - in_file);
  }
  return 0;
}

int output_commit(OutputFile& out) {
  if (out.fd < 0) return 1;
  flush_buffer(out);
  bool ok = !out.failed;
  if (ok && !out.temp.empty()) {
    const mode_t mode =
        out.replaced_mode >= 0 ? static_cast<mode_t>(out.replaced_mode) : new_file_mode();
    ok = fchmod(out.fd, mode) == 0;
  }
  out.identity = {};
  struct stat status {};
  if (ok && !out.temp.empty() && fstat(out.fd, &status) == 0) {
    out.identity = {static_cast<std::uint64_t>(status.st_dev),
                    static_cast<std::uint64_t>(status.st_ino)};
  }
  const int fd = out.fd;
  out.fd = -1;
  ok = (out.borrowed || ::close(fd) == 0) && ok;
  if (ok && !out.temp.empty()) ok = rename_temp_file(out.temp, out.target);
  out.buffer.reset();
  if (!ok) {
    out.identity = {};
    remove_temp_file(out.temp);
    return 1;
  }
  return 0;
}

void output_discard(OutputFile& out) {
  if (out.fd >= 0) {
    if (!out.borrowed) ::close(out.fd);
    out.fd = -1;
  }
  remove_temp_file(out.temp);
  out.buffer.reset();
  out.used = 0;
}

}  // namespace tbl2tblx
