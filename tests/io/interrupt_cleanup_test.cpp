// An interrupt at the moments a temporary file changes hands: while it is being created, just
// after it was, right after the commit renamed it onto its target, and right after a discard
// removed it. Meanwhile another process makes a file of its own under the name this process is
// about to take or has just given up. The cleanup must never remove that file, nor leave a file
// of this process behind. This program alone replaces mkostemp, rename and unlink with versions
// that do the real work, make the other process's file and raise the signal at that moment.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "io/io.hpp"
#include "support.hpp"

namespace fs = std::filesystem;
using namespace tbl2tblx;
using namespace testing_support;

namespace {

enum class Moment { kNone, kCreating, kCreated, kRenamed, kRemoved };

constexpr std::string_view kOthers = "another process's file";
constexpr std::string_view kOutput = "output";

// The moment at which the next call interrupts; set in the child process only.
Moment armed = Moment::kNone;

bool fires(Moment moment) {
  if (armed != moment) return false;
  armed = Moment::kNone;
  return true;
}

// What another process does meanwhile: a file of its own under `name`.
void others_file_at(const char* name) {
  const int fd = ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return;
  (void)!::write(fd, kOthers.data(), kOthers.size());
  ::close(fd);
}

}  // namespace

// mkostemp(3) is mkostemps(3) without a suffix.
extern "C" int mkostemp(char* pattern, int flags) {
  if (fires(Moment::kCreating)) {
    others_file_at(pattern);  // the name as it stands before this process's name fills it in
    ::raise(SIGTERM);
  }
  const int fd = mkostemps(pattern, 0, flags);
  if (fd >= 0 && fires(Moment::kCreated)) ::raise(SIGTERM);
  return fd;
}

extern "C" int rename(const char* from, const char* to) noexcept {
  const int result = ::renameat(AT_FDCWD, from, AT_FDCWD, to);
  if (result == 0 && fires(Moment::kRenamed)) {
    others_file_at(from);
    ::raise(SIGTERM);
  }
  return result;
}

extern "C" int unlink(const char* name) noexcept {
  const int result = ::unlinkat(AT_FDCWD, name, 0);
  if (result == 0 && fires(Moment::kRemoved)) {
    others_file_at(name);
    ::raise(SIGTERM);
  }
  return result;
}

namespace {

// Writes `target` in a child process that the signal interrupts at `moment`, through a commit or
// a discard; how the child ended.
int write_interrupted(const fs::path& target, Moment moment, bool commit) {
  const pid_t pid = fork();
  if (pid == 0) {
    ::signal(SIGTERM, SIG_DFL);  // as a shell starts a program, whatever started this one
    armed = moment;
    OutputFile out;
    if (output_open(out, target.c_str()) != 0 || output_write(out, kOutput) != 0) _exit(2);
    if (commit) {
      (void)output_commit(out);
    } else {
      output_discard(out);
    }
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

TEST(InterruptCleanup, RemovesOnlyTheFilesThisProcessMade) {
  struct Case {
    const char* moment_name;
    Moment moment;
    bool commit;
    bool target_written;
    std::size_t others_files;
  };
  for (const Case& c : {Case{"creating", Moment::kCreating, true, false, 1},
                        Case{"created", Moment::kCreated, true, false, 0},
                        Case{"renamed", Moment::kRenamed, true, true, 1},
                        Case{"removed", Moment::kRemoved, false, false, 1}}) {
    SCOPED_TRACE(c.moment_name);
    ScratchDir dir;
    const int status = write_interrupted(dir / "target", c.moment, c.commit);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    std::vector<std::string> others;
    for (const std::string& name : dir.entries()) {
      if (name == "target") continue;
      EXPECT_EQ(read_file(dir / name), kOthers) << name << " is not the other process's file";
      others.push_back(name);
    }
    EXPECT_EQ(others.size(), c.others_files);
    EXPECT_EQ(testing_support::exists(dir / "target"), c.target_written);
    if (c.target_written) {
      EXPECT_EQ(read_file(dir / "target"), kOutput);
    }
  }
}

}  // namespace
