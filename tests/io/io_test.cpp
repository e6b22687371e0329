#include "io/io.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "support.hpp"

namespace fs = std::filesystem;
using namespace tbl2tblx;
using namespace testing_support;

namespace {

std::span<const std::uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

mode_t mode_of(const fs::path& path) {
  struct stat status {};
  stat(path.c_str(), &status);
  return status.st_mode & 07777;
}

TEST(OutputFile, LeavesNothingWhenTheFolderIsMissing) {
  ScratchDir dir;
  EXPECT_EQ(save_through_output(dir / "no-such-folder" / "x", "abc"), 1);
  EXPECT_TRUE(dir.entries().empty());
}

TEST(OutputFile, NothingAppearsUnderTheTargetNameBeforeCommit) {
  ScratchDir dir;
  write_file(dir / "out", "earlier");
  OutputFile out;
  ASSERT_EQ(output_open(out, (dir / "out").c_str()), 0);
  ASSERT_EQ(output_write(out, std::string(3u << 20, 'x')), 0);  // past the buffer: written out
  EXPECT_EQ(read_file(dir / "out"), "earlier");
  EXPECT_EQ(dir.entries().size(), 2u);  // the target and one temporary file
  ASSERT_EQ(output_commit(out), 0);
  EXPECT_EQ(read_file(dir / "out"), std::string(3u << 20, 'x'));
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"out"});
}

TEST(OutputFile, DiscardLeavesTheEarlierFileExactlyAsItWas) {
  ScratchDir dir;
  write_file(dir / "out", "earlier");
  {
    OutputFile out;
    ASSERT_EQ(output_open(out, (dir / "out").c_str()), 0);
    ASSERT_EQ(output_write(out, "new content"), 0);
  }  // destroyed without commit
  EXPECT_EQ(read_file(dir / "out"), "earlier");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"out"});
}

TEST(OutputFile, PatchesBytesWhetherStillBufferedAlreadyWrittenOrBoth) {
  ScratchDir dir;
  OutputFile out;
  ASSERT_EQ(output_open(out, (dir / "patched").c_str()), 0);
  ASSERT_EQ(output_write(out, "0000"), 0);
  ASSERT_EQ(output_write(out, std::string(kOutputBufferSize, '.')), 0);  // flushes "0000"
  const std::uint64_t buffered = output_position(out);
  ASSERT_EQ(output_write(out, "111122"), 0);
  EXPECT_EQ(output_patch(out, 0, as_bytes("AB")), 0);                    // in the file
  EXPECT_EQ(output_patch(out, buffered - 1, as_bytes("YZ")), 0);         // across the boundary
  EXPECT_EQ(output_patch(out, buffered + 4, as_bytes("CD")), 0);         // in the buffer
  EXPECT_EQ(output_patch(out, output_position(out), as_bytes("Z")), 1);  // past the end
  ASSERT_EQ(output_commit(out), 0);
  const std::string content = read_file(dir / "patched");
  EXPECT_EQ(content.substr(0, 4), "AB00");
  EXPECT_EQ(content.substr(content.size() - 8), ".YZ111CD");
}

// Appends of every size through both ways in, patches of bytes on both sides of every write, and
// the file only ever grown by aligned pieces until the commit.
TEST(OutputFile, WritesAlignedPiecesAndKeepsEveryByte) {
  ScratchDir dir;
  OutputFile out;
  ASSERT_EQ(output_open(out, (dir / "out").c_str()), 0);
  std::string expected;
  off_t written = 0;
  std::mt19937 rng(20261210);
  const std::size_t sizes[] = {
      1, 100, 4095, 65536, 100'000, 300'000, kOutputBufferSize - 1, kOutputBufferSize};
  for (int step = 0; step < 60; ++step) {
    const std::size_t size = sizes[rng() % std::size(sizes)] - rng() % 2;
    const std::string piece(size, static_cast<char>('a' + step % 26));
    if (step % 2 == 0) {
      ASSERT_EQ(output_write(out, piece), 0);
    } else {
      std::uint8_t* room = output_reserve(out, size);
      ASSERT_NE(room, nullptr);
      std::memcpy(room, piece.data(), size);
      output_advance(out, size);
    }
    expected += piece;
    const std::uint64_t at = rng() % expected.size();
    const std::string patch = std::to_string(step);
    if (at + patch.size() <= expected.size()) {
      ASSERT_EQ(output_patch(out, at, as_bytes(patch)), 0);
      expected.replace(at, patch.size(), patch);
    }
    struct stat status {};
    ASSERT_EQ(fstat(out.fd, &status), 0);
    const bool large_write = step % 2 == 0 && size >= kOutputBufferSize;  // goes out at once
    if (status.st_size != written && !large_write) {
      EXPECT_EQ(static_cast<std::size_t>(status.st_size) % kOutputWriteAlignment, 0u) << step;
    }
    written = status.st_size;
  }
  ASSERT_EQ(output_commit(out), 0);
  EXPECT_TRUE(read_file(dir / "out") == expected);
}

TEST(OutputFile, ReplacedFilesKeepTheirModeAndNewOnesFollowTheUmask) {
  ScratchDir dir;
  write_file(dir / "private", "x");
  fs::permissions(dir / "private", fs::perms(0640));
  ASSERT_EQ(save_through_output(dir / "private", "y"), 0);
  EXPECT_EQ(mode_of(dir / "private"), 0640u);

  const mode_t mask = umask(027);
  umask(mask);
  ASSERT_EQ(save_through_output(dir / "fresh", "y"), 0);
  EXPECT_EQ(mode_of(dir / "fresh"), 0666u & ~mask);
}

TEST(OutputFile, FollowsASymbolicLinkAndKeepsIt) {
  ScratchDir dir;
  fs::create_directory(dir / "real");
  write_file(dir / "real" / "data", "old");
  fs::create_symlink("real/data", dir / "link");
  ASSERT_EQ(save_through_output(dir / "link", "new"), 0);
  EXPECT_TRUE(fs::is_symlink(dir / "link"));
  EXPECT_EQ(read_file(dir / "real" / "data"), "new");
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"link", "real"}));
}

TEST(OutputFile, WritesDevicesInPlaceAndRefusesDirectories) {
  ScratchDir dir;
  EXPECT_EQ(save_through_output("/dev/null", "gone"), 0);
  fs::create_directory(dir / "folder");
  EXPECT_EQ(save_through_output(dir / "folder", "x"), 1);
  EXPECT_TRUE(fs::is_directory(dir / "folder"));
}

// Only the exact names of a descriptor count; anything else is a file name like any other.
TEST(NamedDescriptor, TakesExactlyTheNamesOfTheProcesssDescriptors) {
  const std::pair<const char*, int> cases[] = {
      {"/dev/stdin", 0},    {"/dev/stdout", 1},          {"/dev/stderr", 2},
      {"/dev/fd/12", 12},   {"/proc/self/fd/0", 0},      {"/dev/fd/", -1},
      {"/dev/fd/1x", -1},   {"/dev/fd/-1", -1},          {"/dev/fd/+1", -1},
      {"/dev/fd/ 1", -1},   {"/dev/stdout/", -1},        {"dev/stdout", -1},
      {"/proc/1/fd/1", -1}, {"/dev/fd/99999999999", -1},
  };
  for (const auto& [name, fd] : cases)
    EXPECT_EQ(named_descriptor(name), fd) << name;
  EXPECT_EQ(named_descriptor(nullptr), -1);
}

// An adopted descriptor is written at its own position and stays open after the commit.
TEST(OutputFile, AnAdoptedDescriptorIsWrittenWhereItStandsAndKeptOpen) {
  ScratchDir dir;
  write_file(dir / "log", "earlier");
  const int fd = open((dir / "log").c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0);
  OutputFile out;
  ASSERT_EQ(output_adopt(out, fd, "/dev/fd/N"), 0);
  ASSERT_EQ(output_write(out, "+new"), 0);
  ASSERT_EQ(output_commit(out), 0);
  EXPECT_TRUE(descriptor_is_open(fd));
  EXPECT_EQ(read_file(dir / "log"), "earlier+new");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"log"});
  close(fd);
  EXPECT_FALSE(descriptor_is_open(fd));
}

}  // namespace

namespace {

// All that a window over `source` (UTF-16 from the start) yields, read `need` bytes at a time.
std::string transcoded(std::string_view source, bool big_endian, std::size_t capacity,
                       std::size_t piece, std::size_t need) {
  InputWindow in;
  EXPECT_EQ(input_window_from_memory(in, as_bytes(source), capacity, piece, true), 0);
  EXPECT_EQ(input_transcode_utf16(in, big_endian), 0);
  input_end_at_zero(in);
  std::string out;
  for (;;) {
    input_look_ahead(in, need);
    const std::size_t n = std::min(need, input_available(in));
    if (n == 0) break;
    out.append(reinterpret_cast<const char*>(in.at), n);
    in.at += n;
    EXPECT_LE(in.capacity, std::max<std::size_t>(capacity, need) + 4);
  }
  EXPECT_FALSE(in.failed);
  EXPECT_EQ(input_offset(in), out.size());
  return out;
}

TEST(InputWindow, TranscodesUtf16AcrossEveryReadAndWindowSize) {
  struct Case {
    const char* what;
    std::string little_endian;  // the source; its big-endian twin swaps every pair
    std::string utf8;
  } cases[] = {
      {"ASCII, Latin-1 and the BMP", std::string("<\0\xE9\0\xAC\x20\n\0", 8),
       "<\xC3\xA9\xE2\x82\xAC\n"},
      {"a pair of surrogates", std::string("a\0\x3D\xD8\x00\xDEz\0", 8), "a\xF0\x9F\x98\x80z"},
      {"a lone low and a lone high surrogate", std::string("\x00\xDCq\0\x3D\xD8q\0", 8),
       "\xEF\xBF\xBDq\xEF\xBF\xBDq"},
      {"a high surrogate last", std::string("q\0\x3D\xD8", 4), "q\xEF\xBF\xBD"},
      {"an odd byte last", std::string("q\0r", 3), "q\xEF\xBF\xBD"},
      {"a zero ends the text", std::string("q\0\0\0r\0", 6), "q"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string big = c.little_endian;
    for (std::size_t i = 0; i + 1 < big.size(); i += 2)
      std::swap(big[i], big[i + 1]);
    for (std::size_t capacity : {1u, 2u, 5u, 64u}) {
      for (std::size_t piece : {1u, 2u, 3u, 7u}) {
        for (std::size_t need : {1u, 3u}) {
          SCOPED_TRACE(testing::Message() << capacity << " " << piece << " " << need);
          EXPECT_EQ(transcoded(c.little_endian, false, capacity, piece, need), c.utf8);
          EXPECT_EQ(transcoded(big, true, capacity, piece, need), c.utf8);
        }
      }
    }
  }
}

// The bytes already in the window when the document's first bytes are judged are transcoded too,
// and a large source takes no more memory than a small one.
TEST(InputWindow, TranscodesWhatTheWindowAlreadyHoldsAtConstantMemory) {
  std::string source;
  for (int i = 0; i < 100000; ++i)
    source += std::string("x\0\xE9\0", 4);
  InputWindow in;
  ASSERT_EQ(input_window_from_memory(in, as_bytes(source), 4096, 0, true), 0);
  input_look_ahead(in, 4);
  ASSERT_EQ(input_available(in), 4096u);
  ASSERT_EQ(input_transcode_utf16(in, false), 0);
  std::size_t total = 0;
  while (input_need(in, 3) == 0) {
    ASSERT_EQ(std::string_view(reinterpret_cast<const char*>(in.at), 3), "x\xC3\xA9");
    in.at += 3;
    total += 3;
    ASSERT_LE(in.capacity, 4096u);
    ASSERT_LE(in.raw_capacity, 4096u);
  }
  EXPECT_EQ(total, 300000u);
  EXPECT_EQ(input_available(in), 0u);
}

}  // namespace
