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
  const std::size_t sizes[] = {1, 100, 4095, 65536, 100'000, 300'000, kOutputBufferSize - 1,
                               kOutputBufferSize};
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
