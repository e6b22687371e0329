// The recipes of the README at work, end to end with the real programs: tables and documents
// kept in a git repository with the installed .gitattributes lines and text conversion, and the
// make rules for documents and tables run by make.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "documents.hpp"
#include "support.hpp"
#include "tables.hpp"

namespace {

namespace fs = std::filesystem;
using namespace testing_support;
using Lines = std::set<std::string>;

std::string search_path_with(const fs::path& folder) {
  const char* path = std::getenv("PATH");
  return folder.string() + ":" + (path != nullptr ? path : "/usr/bin:/bin");
}

// The lines that a diff removes and adds, without its file header.
Lines changed_lines(const std::string& diff) {
  Lines changed;
  std::istringstream in(diff);
  for (std::string line; std::getline(in, line);) {
    if ((line.starts_with("-") || line.starts_with("+")) && !line.starts_with("---") &&
        !line.starts_with("+++")) {
      changed.insert(line);
    }
  }
  return changed;
}

// ---- git ---------------------------------------------------------------------------------------

// A repository in a scratch folder, with the tool installed under a prefix of its own as a user
// installs it, and git run on the installed commands alone: no configuration of the user's or the
// system's.
struct Repository {
  ScratchDir dir;
  fs::path prefix = dir / "prefix";
  fs::path work = dir / "repo";
  RunOptions options;

  Repository() {
    const fs::path build = fs::path(tool_path()).parent_path();
    const RunResult install =
        shell("cmake --install " + quote(build) + " --prefix " + quote(prefix) + " >/dev/null");
    EXPECT_EQ(install.status, 0) << install.out;
    fs::create_directory(work);
    options = {.cwd = work,
               .environment = {{"PATH", search_path_with(prefix / "bin")},
                               {"HOME", dir.path.string()},
                               {"GIT_CONFIG_GLOBAL", "/dev/null"},
                               {"GIT_CONFIG_NOSYSTEM", "1"},
                               {"GIT_AUTHOR_NAME", "Ann"},
                               {"GIT_AUTHOR_EMAIL", "ann@example.org"},
                               {"GIT_COMMITTER_NAME", "Ann"},
                               {"GIT_COMMITTER_EMAIL", "ann@example.org"}}};
    EXPECT_EQ(run("git init -q").status, 0);
  }

  RunResult run(const std::string& command) const { return shell(command, options); }
  std::string gitattributes() const { return read_file(prefix / "share/tbl2tblx/gitattributes"); }
};

// Documents end their lines with CR LF: committed under "text=auto" and autocrlf they stay byte
// for byte, and an edit passes `git diff --check` with no white-space error marked in colour.
TEST(Git, DocumentsKeepTheirBytesAndTheirDiffsNoWhiteSpaceErrors) {
  Repository repo;
  write_file(repo.work / ".gitattributes", "* text=auto\n" + repo.gitattributes());
  const std::string document = crlf(phone_document_lines());
  write_file(repo.work / "phone.tblx", document);
  const RunResult commit = repo.run(
      "git config core.autocrlf true && git add . && git commit -qm documents && "
      "rm phone.tblx && git checkout phone.tblx");
  ASSERT_EQ(commit.status, 0) << commit.out;
  EXPECT_EQ(repo.run("git cat-file blob HEAD:phone.tblx").out, document);
  EXPECT_EQ(read_file(repo.work / "phone.tblx"), document);

  std::string edited = document;
  edited.replace(edited.find("<content>-2<"), 12, "<content>5<");
  write_file(repo.work / "phone.tblx", edited);
  const RunResult check = repo.run("git diff --check");
  EXPECT_EQ(check.status, 0) << check.out;
  EXPECT_EQ(check.out, "");
  EXPECT_EQ(changed_lines(repo.run("git diff").out),
            (Lines{"-\t\t\t\t\t\t<content>-2</content>\r", "+\t\t\t\t\t\t<content>5</content>\r"}));
  // git marks a white-space error with a red background; the CR stays at the line end.
  const std::string coloured = repo.run("git diff --color=always").out;
  EXPECT_EQ(coloured.find("\033[41m"), std::string::npos) << coloured;
  EXPECT_EQ(coloured.find("\r\033"), std::string::npos) << coloured;
}

// Binary tables diff as their documents: one changed value is one changed line.
TEST(Git, TablesDiffAsTheirDocuments) {
  Repository repo;
  write_file(repo.work / ".gitattributes", repo.gitattributes());
  for (const char* table : {"phone.tbl", "staff.tbl"})
    fs::copy_file(source_dir() / "examples" / table, repo.work / table);
  const RunResult commit = repo.run(
      "git config diff.tbl.textconv tbl2tblx-textconv && git add . && git commit -qm tables");
  ASSERT_EQ(commit.status, 0) << commit.out;

  // The last value of phone.tbl, the int2 -2, becomes 5.
  std::string table = read_file(repo.work / "phone.tbl");
  table.replace(table.size() - 2, 2, le(5, 2));
  write_file(repo.work / "phone.tbl", table);
  const RunResult diff = repo.run("git diff");
  EXPECT_EQ(diff.status, 0);
  EXPECT_EQ(changed_lines(diff.out),
            (Lines{"-\t\t\t\t\t\t<content>-2</content>", "+\t\t\t\t\t\t<content>5</content>"}))
      << diff.out;
  EXPECT_NE(diff.out.find("diff --git a/phone.tbl b/phone.tbl\n"), std::string::npos) << diff.out;
  EXPECT_EQ(diff.out.find("staff"), std::string::npos) << diff.out;
}

// The text conversion prints the same text for a table wherever it lies and whenever it runs, and
// fails with the tool's message for a damaged table.
TEST(Git, TheTextConversionIsStableAndReportsDamagedTables) {
  Repository repo;
  fs::create_directory(repo.work / "sub");
  write_file(repo.work / "sub" / "phone.tbl", phone_table());
  std::string expected = phone_document_lines("table.tbl", "1970-01-01 00:00:00");
  expected.replace(expected.find("phone.tblx converted"), 5, "table");
  for (const std::string& path :
       {std::string("sub/phone.tbl"), (repo.work / "sub/phone.tbl").string()}) {
    SCOPED_TRACE(path);
    const RunResult printed = repo.run("tbl2tblx-textconv " + quote(path) + " 2>&1");
    EXPECT_EQ(printed.status, 0);
    EXPECT_EQ(printed.out, expected);
  }

  write_file(repo.work / "cut.tbl", phone_table().substr(0, 100));
  const RunResult cut = repo.run("tbl2tblx-textconv cut.tbl 2>&1 >/dev/null");
  EXPECT_EQ(cut.status, 1);
  EXPECT_NE(cut.out.find("tbl2tblx-textconv: cut.tbl cannot be converted:\n"), std::string::npos)
      << cut.out;
  EXPECT_NE(cut.out.find("Warning: EOF mismatched"), std::string::npos) << cut.out;
  EXPECT_FALSE(fs::exists(repo.work / "cut.tblx"));
}

// ---- make --------------------------------------------------------------------------------------

// The `n`th block of make rules in the README, from 1.
std::string readme_make_rules(int n) {
  const std::string readme = read_file(source_dir() / "README.md");
  const std::string fence = "\n```make\n";
  std::size_t at = 0;
  for (int i = 0; i < n && at != std::string::npos; ++i)
    at = readme.find(fence, at + 1);
  EXPECT_NE(at, std::string::npos) << "no make block " << n;
  if (at == std::string::npos) return "";
  at += fence.size();
  return readme.substr(at, readme.find("```", at) - at);
}

// make run in `dir` with the built tool first on the PATH and documents dated 1970.
RunResult make_in(const fs::path& dir, const std::string& arguments) {
  return shell("make -j2 " + arguments,
               {.cwd = dir,
                .environment = {{"PATH", search_path_with(fs::path(tool_path()).parent_path())},
                                {"SOURCE_DATE_EPOCH", "0"},
                                {"MAKEFLAGS", ""}}});
}

TEST(Make, TheRuleForDocumentsWritesEachBesideItsTable) {
  ScratchDir dir;
  write_file(dir / "Makefile", readme_make_rules(1));
  fs::create_directories(dir / "data" / "old");
  write_file(dir / "data" / "phone.tbl", phone_table());
  write_file(dir / "data" / "old" / "phone.tbl", phone_table());
  write_file(dir / "data" / "cut.tbl", phone_table().substr(0, 100));

  const RunResult made = make_in(dir.path, "data/phone.tblx data/old/phone.tblx");
  EXPECT_EQ(made.status, 0) << made.out;
  const std::string document = crlf(phone_document_lines("phone.tbl", "1970-01-01 00:00:00"));
  EXPECT_EQ(read_file(dir / "data" / "phone.tblx"), document);
  EXPECT_EQ(read_file(dir / "data" / "old" / "phone.tblx"), document);
  EXPECT_EQ(make_in(dir.path, "-q data/phone.tblx data/old/phone.tblx").status, 0);

  const RunResult cut = make_in(dir.path, "data/cut.tblx");
  EXPECT_NE(cut.status, 0);
  EXPECT_NE(cut.out.find("Warning: EOF mismatched"), std::string::npos) << cut.out;
  EXPECT_FALSE(fs::exists(dir / "data" / "cut.tblx"));
}

TEST(Make, TheRuleForTablesTakesTheOneTableOfADocument) {
  ScratchDir dir;
  write_file(dir / "Makefile", readme_make_rules(2));
  fs::create_directory(dir / "docs");
  // The document's name is not its table's: the table inside is named "phone".
  write_file(dir / "docs" / "contacts.tblx", crlf(phone_document_lines()));
  const std::string table =
      table_element("t", fieldinfo_element(1, "n", "int4"), "<records></records>");
  write_file(dir / "docs" / "two.tblx", document(table + table));

  const RunResult made = make_in(dir.path, "docs/contacts.tbl");
  EXPECT_EQ(made.status, 0) << made.out;
  EXPECT_EQ(read_file(dir / "docs" / "contacts.tbl"), phone_table());
  EXPECT_EQ(make_in(dir.path, "-q docs/contacts.tbl").status, 0);

  const RunResult two = make_in(dir.path, "docs/two.tbl");
  EXPECT_NE(two.status, 0) << two.out;
  EXPECT_FALSE(fs::exists(dir / "docs" / "two.tbl"));
  EXPECT_FALSE(fs::exists(dir / "docs" / "contacts.tbl.d"));
}

}  // namespace
