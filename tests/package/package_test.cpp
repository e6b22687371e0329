// The tool in its users' toolbox: the manual pages format without a warning and name the tool's
// version, the bash completion offers what each position of the command line takes and is
// found where bash-completion looks, `cmake --install` puts every file in its folder, the
// Debian package, built from the release preset without the test packages, carries the right
// fields and files (a machine-readable copyright file that matches LICENSE, the README and a
// changelog of the tool's version among them), passes lintian and its installed binary works;
// and the demo colours its output on a terminal only.
#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.hpp"

namespace {

namespace fs = std::filesystem;
using namespace testing_support;

// The folder the tool under test was built in, and a value from its CMake cache (the cmake,
// cpack and compiler the build itself used).
std::filesystem::path tool_build_dir() {
  return std::filesystem::path(tool_path()).parent_path();
}

std::string cache_value(std::string_view key) {
  std::ifstream cache(tool_build_dir() / "CMakeCache.txt");
  for (std::string line; std::getline(cache, line);) {
    const std::size_t colon = line.find(':');
    const std::size_t equals = line.find('=');
    if (colon != std::string::npos && equals != std::string::npos && line.substr(0, colon) == key)
      return line.substr(equals + 1);
  }
  return {};
}

// The version the built tool announces in its banner: "tbl2tblx VERSION by ...".
std::string banner_version() {
  const std::string banner = run_tool({}).out;
  const std::size_t from = banner.find(' ') + 1;
  return banner.substr(from, banner.find(' ', from) - from);
}

fs::path manual() {
  return source_dir() / "doc" / "tbl2tblx.1";
}
fs::path textconv_manual() {
  return source_dir() / "doc" / "tbl2tblx-textconv.1";
}
fs::path completion() {
  return source_dir() / "share" / "bash-completion" / "tbl2tblx";
}
fs::path schema() {
  return source_dir() / "share" / "tblx.xsd";
}

// Every regular file under `root`, as sorted relative paths.
std::vector<std::string> files_under(const fs::path& root) {
  std::vector<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files.push_back(fs::relative(entry.path(), root).string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

// The number of the first line of `text` that starts with `start`, from 1; 0 if none does.
std::size_t line_of(const std::string& text, const std::string& start) {
  const std::vector<std::string> lines = lines_of(text);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].starts_with(start)) return i + 1;
  }
  return 0;
}

// The machine-readable copyright file: its format, and the holder and terms of LICENSE, word for
// word, for every file.
void expect_copyright_file(const std::string& text) {
  const std::string license = read_file(source_dir() / "LICENSE");
  const std::string holder_lead = "\nCopyright (c) ";
  const std::size_t holder_at = license.find(holder_lead);
  ASSERT_NE(holder_at, std::string::npos);
  const std::size_t holder_end = license.find('\n', holder_at + 1);
  const std::string holder =
      license.substr(holder_at + holder_lead.size(), holder_end - holder_at - holder_lead.size());
  EXPECT_TRUE(license.starts_with("MIT License\n")) << license;
  EXPECT_TRUE(holder.ends_with(" the tbl2tblx developers")) << holder;

  const std::vector<std::string> lines = lines_of(text);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/");
  EXPECT_NE(text.find("\n\nFiles: *\nCopyright: " + holder + "\nLicense: Expat\n"),
            std::string::npos)
      << text;
  // The stand-alone licence paragraph: the terms, each line indented, " ." for an empty line.
  const std::string lead = "\n\nLicense: Expat\n";
  const std::size_t terms_at = text.rfind(lead);
  ASSERT_NE(terms_at, std::string::npos) << text;
  std::string terms;
  for (const std::string& line : lines_of(text.substr(terms_at + lead.size()))) {
    ASSERT_TRUE(line.starts_with(" ")) << line;
    terms += (line == " ." ? "" : line.substr(1)) + "\n";
  }
  EXPECT_EQ(license.substr(holder_end + 2), terms);
}

// ---- Manual page -----------------------------------------------------------------------------

TEST(Manual, FormatsWithoutWarningsAndNamesTheToolsVersion) {
  for (const fs::path& path : {manual(), textconv_manual()}) {
    SCOPED_TRACE(path.filename().string());
    const RunResult groff = shell("groff -man -ww -z " + quote(path));
    EXPECT_EQ(groff.status, 0);
    EXPECT_EQ(groff.out, "");

    const std::string page = read_file(path);
    const std::size_t th = page.find("\n.TH ") + 1;
    const std::string title = page.substr(th, page.find('\n', th) - th);
    EXPECT_NE(title.find("\"tbl2tblx " + banner_version() + "\""), std::string::npos) << title;
  }
}

// The changelog, in Debian's form, starts with an entry for the tool's version.
TEST(Changelog, StartsWithTheToolsVersion) {
  const std::string changelog = read_file(source_dir() / "doc" / "changelog");
  EXPECT_TRUE(changelog.starts_with("tbl2tblx (" + banner_version() + ") ")) << changelog;
}

// ---- Bash completion -------------------------------------------------------------------------

// What the completion offers for the words typed so far (the last one being completed), sorted.
std::vector<std::string> complete_in(const fs::path& dir, const std::vector<std::string>& words) {
  std::string command = "cd " + quote(dir) + " && bash -c " +
                        quote(
                            "source \"$0\"; COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); "
                            "_tbl2tblx; printf '%s\\n' \"${COMPREPLY[@]}\" | LC_ALL=C sort") +
                        " " + quote(completion());
  for (const std::string& word : words)
    command.append(" ").append(quote(word));
  const RunResult result = shell(command);
  EXPECT_EQ(result.status, 0) << result.out;
  std::vector<std::string> offered = lines_of(result.out);
  std::erase(offered, "");
  return offered;
}

struct CompletionCase {
  std::vector<std::string> words;
  std::vector<std::string> offered;
};

TEST(Completion, OffersWhatEachPositionTakes) {
  ScratchDir dir;
  for (const char* name : {"a.tbl", "B.TBLX", "c.txt", "d e.tblx", "f.tbl.bak"})
    write_file(dir / name, "");
  fs::create_directory(dir / "sub");
  const std::vector<std::string> tables = {"B.TBLX", "a.tbl", "d e.tblx", "sub"};
  const std::vector<std::string> everything = {"B.TBLX",   "a.tbl",     "c.txt",
                                               "d e.tblx", "f.tbl.bak", "sub"};

  const CompletionCase cases[] = {
      {{"tbl2tblx", ""}, tables},
      {{"tbl2tblx", "-"}, {"-c", "-d", "-e", "-h"}},
      {{"tbl2tblx", "-e"}, {"-e"}},
      {{"tbl2tblx", "-h", ""}, {}},
      {{"tbl2tblx", "-c", ""}, everything},
      {{"tbl2tblx", "-d", "x.b64", "c"}, {"c.txt"}},
      {{"tbl2tblx", "-e", "x", "y", ""}, {}},
      {{"tbl2tblx", "a.tbl", ""}, tables},
      {{"tbl2tblx", "a.tbl", "-"}, {}},
      {{"tbl2tblx", "-x", "d"}, {"d e.tblx"}},
  };
  for (const CompletionCase& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.words));
    EXPECT_EQ(complete_in(dir.path, c.words), c.offered);
  }

  const RunResult registered = shell("bash -c " + quote("source \"$0\" && complete -p tbl2tblx") +
                                     " " + quote(completion()));
  EXPECT_EQ(registered.out, "complete -F _tbl2tblx tbl2tblx\n");
}

// ---- Installation ----------------------------------------------------------------------------

// Installs the test build under `prefix`.
void install_under(const fs::path& prefix) {
  const std::string cmake = cache_value("CMAKE_COMMAND");
  ASSERT_FALSE(cmake.empty());
  const RunResult install =
      shell(quote(cmake) + " --install " + quote(tool_build_dir()) + " --prefix " + quote(prefix));
  ASSERT_EQ(install.status, 0) << install.out;
}

TEST(Install, PutsEveryFileUnderThePrefix) {
  ScratchDir dir;
  install_under(dir.path);

  EXPECT_EQ(
      files_under(dir.path),
      (std::vector<std::string>{
          "bin/tbl2tblx", "bin/tbl2tblx-textconv", "share/bash-completion/completions/tbl2tblx",
          "share/doc/tbl2tblx/README.md", "share/doc/tbl2tblx/changelog",
          "share/doc/tbl2tblx/copyright", "share/man/man1/tbl2tblx-textconv.1",
          "share/man/man1/tbl2tblx.1", "share/tbl2tblx/gitattributes", "share/tbl2tblx/tblx.xsd"}));
  expect_copyright_file(read_file(dir / "share/doc/tbl2tblx/copyright"));
  const std::pair<const char*, fs::path> copies[] = {
      {"share/man/man1/tbl2tblx.1", manual()},
      {"share/man/man1/tbl2tblx-textconv.1", textconv_manual()},
      {"share/tbl2tblx/tblx.xsd", schema()},
      {"share/tbl2tblx/gitattributes", source_dir() / "share/git/gitattributes"},
      {"share/bash-completion/completions/tbl2tblx", completion()},
      {"share/doc/tbl2tblx/README.md", source_dir() / "README.md"},
      {"share/doc/tbl2tblx/changelog", source_dir() / "doc/changelog"},
      {"bin/tbl2tblx-textconv", source_dir() / "share/git/tbl2tblx-textconv"}};
  for (const auto& [installed, source] : copies)
    EXPECT_EQ(read_file(dir / installed), read_file(source)) << installed;
  EXPECT_EQ(fs::status(dir / "bin/tbl2tblx-textconv").permissions() & fs::perms::others_exec,
            fs::perms::others_exec);
  const RunResult usage = shell(quote(dir / "bin" / "tbl2tblx") + " -h");
  EXPECT_EQ(usage.status, 0);
  EXPECT_NE(usage.out.find("tbl2tblx [-h] [-c] [-e] [-d] file..."), std::string::npos) << usage.out;
}

// bash-completion loads a command's completion on first use from the folders it looks in: under
// ~/.local/share, and under each folder of XDG_DATA_DIRS (by default /usr/local/share and
// /usr/share). An installation under ~/.local needs nothing more; one under another prefix needs
// PREFIX/share in XDG_DATA_DIRS.
TEST(Install, BashCompletionFindsTheCompletionUnderThePrefix) {
  ScratchDir home;
  struct Case {
    const char* what;
    fs::path prefix;
    std::string setting;
  } cases[] = {
      {"under ~/.local", home / ".local", ""},
      {"under another prefix", home / "opt",
       "XDG_DATA_DIRS=" + (home / "opt/share").string() + ":/usr/local/share:/usr/share; "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    install_under(c.prefix);
    // extdebug makes declare -F name the file a function comes from.
    const std::string script = "source /usr/share/bash-completion/bash_completion; " + c.setting +
                               "__load_completion tbl2tblx; complete -p tbl2tblx; "
                               "shopt -s extdebug; declare -F _tbl2tblx";
    const RunResult loaded =
        shell("bash -c " + quote(script), {.environment = {{"HOME", home.path.string()},
                                                           {"XDG_DATA_HOME", ""},
                                                           {"XDG_DATA_DIRS", ""},
                                                           {"BASH_COMPLETION_USER_DIR", ""}}});
    EXPECT_EQ(loaded.out,
              "complete -F _tbl2tblx tbl2tblx\n_tbl2tblx " +
                  std::to_string(line_of(read_file(completion()), "_tbl2tblx() {")) + " " +
                  (c.prefix / "share/bash-completion/completions/tbl2tblx").string() + "\n");
    fs::remove_all(c.prefix);
  }
}

// ---- Debian package --------------------------------------------------------------------------

// The package depends on the packages of the libraries the binary loads, and on nothing else.
void expect_real_dependencies(const std::string& depends) {
  std::set<std::string> packages;
  std::istringstream in(depends);
  for (std::string item; std::getline(in, item, ',');) {
    item.erase(0, item.find_first_not_of(' '));
    packages.insert(item.substr(0, item.find_first_of(" (")));
  }
  EXPECT_TRUE(packages.contains("libc6")) << depends;
  EXPECT_TRUE(packages.contains("libstdc++6")) << depends;
  for (const std::string& package : packages) {
    EXPECT_TRUE(package == "libc6" || package == "libstdc++6" || package == "libgcc-s1") << depends;
  }
}

// A release build of its own (the suite's build may have sanitizers), packed with CPack,
// inspected with dpkg-deb and lintian, unpacked into a scratch root and run once from there.
TEST(DebianPackage, HasItsFieldsFilesAndAWorkingBinary) {
  ScratchDir dir;
  const fs::path build = dir / "build";
  const std::string cmake = quote(cache_value("CMAKE_COMMAND"));
  const std::string cpack = quote(cache_value("CMAKE_CPACK_COMMAND"));
  // The release preset, as `make package` uses it, with the test build's compiler. The test
  // packages are kept out of reach: the tool and its package must build without them.
  const RunResult configure = shell(
      "cd " + quote(source_dir()) + " && " + cmake + " --preset release -B " + quote(build) +
      " --no-warn-unused-cli -DCMAKE_CXX_COMPILER=" + quote(cache_value("CMAKE_CXX_COMPILER")) +
      " -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON");
  ASSERT_EQ(configure.status, 0) << configure.out;
  const RunResult compile = shell(cmake + " --build " + quote(build) + " --target tbl2tblx -j 2");
  ASSERT_EQ(compile.status, 0) << compile.out;
  const RunResult pack = shell("cd " + quote(build) + " && " + cpack);
  ASSERT_EQ(pack.status, 0) << pack.out;

  const std::string version = banner_version();
  const std::string arch = shell("dpkg --print-architecture").out;
  const fs::path deb =
      build / ("tbl2tblx_" + version + "_" + arch.substr(0, arch.find('\n')) + ".deb");
  ASSERT_TRUE(fs::exists(deb)) << pack.out;

  auto field = [&](const char* name) {
    std::string value = shell("dpkg-deb -f " + quote(deb) + " " + name).out;
    return value.substr(0, value.find_last_not_of('\n') + 1);
  };
  EXPECT_EQ(field("Package"), "tbl2tblx");
  EXPECT_EQ(field("Version"), version);
  const std::vector<std::string> description = lines_of(field("Description"));
  ASSERT_GE(description.size(), 2u);
  EXPECT_NE(description[0].find(".tblx"), std::string::npos) << description[0];
  expect_real_dependencies(field("Depends"));

  // Lines of "mode owner size date time path"; regular files start with '-'.
  std::vector<std::string> files;
  for (const std::string& line : lines_of(shell("dpkg-deb -c " + quote(deb)).out)) {
    EXPECT_NE(line.find(" root/root "), std::string::npos) << line;
    if (line.starts_with("-")) files.push_back(line.substr(line.rfind(' ') + 1));
  }
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files,
            (std::vector<std::string>{
                "./usr/bin/tbl2tblx", "./usr/bin/tbl2tblx-textconv",
                "./usr/share/bash-completion/completions/tbl2tblx",
                "./usr/share/doc/tbl2tblx/README.md.gz", "./usr/share/doc/tbl2tblx/changelog.gz",
                "./usr/share/doc/tbl2tblx/copyright", "./usr/share/man/man1/tbl2tblx-textconv.1.gz",
                "./usr/share/man/man1/tbl2tblx.1.gz", "./usr/share/tbl2tblx/gitattributes",
                "./usr/share/tbl2tblx/tblx.xsd"}));

  // Lines of "X: package: tag [where]": E errors, W warnings, I notes, P pedantic ones.
  const RunResult lint = shell("lintian --pedantic " + quote(deb));
  EXPECT_EQ(lint.status, 0) << lint.out;
  for (const std::string& line : lines_of(lint.out)) {
    EXPECT_FALSE(line.starts_with("E: ") || line.starts_with("W: ") || line.starts_with("P: "))
        << line;
  }

  const fs::path root = dir / "root";
  ASSERT_EQ(shell("dpkg-deb -x " + quote(deb) + " " + quote(root)).status, 0);
  expect_copyright_file(read_file(root / "usr/share/doc/tbl2tblx/copyright"));
  const fs::path work = dir / "work";
  fs::create_directory(work);
  const RunResult run = shell("cd " + quote(work) + " && " + quote(root / "usr/bin/tbl2tblx") +
                              " " + quote(source_dir() / "examples" / "phone.tbl"));
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("phone.tbl => phone.tblx..."), std::string::npos) << run.out;
  const RunResult valid =
      shell("xmllint --noout --schema " + quote(root / "usr/share/tbl2tblx/tblx.xsd") + " " +
            quote(work / "phone.tblx"));
  EXPECT_EQ(valid.status, 0) << valid.out;
  // Compressed as Debian wants them: gzip -9n, so without a name or a time stamp.
  const std::pair<const char*, fs::path> compressed[] = {
      {"usr/share/man/man1/tbl2tblx.1.gz", manual()},
      {"usr/share/man/man1/tbl2tblx-textconv.1.gz", textconv_manual()},
      {"usr/share/doc/tbl2tblx/README.md.gz", source_dir() / "README.md"},
      {"usr/share/doc/tbl2tblx/changelog.gz", source_dir() / "doc/changelog"}};
  for (const auto& [file, source] : compressed) {
    SCOPED_TRACE(file);
    const RunResult same = shell("gzip -dc " + quote(root / file) + " | cmp - " + quote(source));
    EXPECT_EQ(same.status, 0) << same.out;
    EXPECT_EQ(read_file(root / file).substr(3, 5), std::string(5, '\0'));  // no name, no time
  }
}

// ---- Demo -----------------------------------------------------------------------------------

TEST(Demo, ColoursItsTitlesOnATerminalOnly) {
  const std::string demo = quote(source_dir() / "scripts/demo") + " " + quote(tool_path());
  const RunResult piped = shell(demo);
  EXPECT_EQ(piped.status, 0) << piped.out;
  EXPECT_NE(piped.out.find("\n== Usage\n"), std::string::npos) << piped.out;
  EXPECT_EQ(piped.out.find('\033'), std::string::npos) << piped.out;
  // script(1) runs it on a terminal of its own.
  const RunResult on_terminal = shell("script -qec " + quote(demo) + " /dev/null");
  EXPECT_EQ(on_terminal.status, 0) << on_terminal.out;
  EXPECT_NE(on_terminal.out.find("\033[1m== Usage\033[0m"), std::string::npos) << on_terminal.out;
}

}  // namespace
