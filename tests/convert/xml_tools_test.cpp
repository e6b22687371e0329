// Documents rewritten by everyday XML tools (reformatted, canonicalised, re-encoded) convert back
// to the very table they came from.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support.hpp"
#include "tables.hpp"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

// The command that rewrites SOURCE into TARGET as one tool does.
struct Rewriter {
  const char* name;
  std::string command;  // with {} for the source and the target, in this order
};

std::vector<Rewriter> rewriters() {
  const std::string python =
      "python3 " + quote((source_dir() / "tests/convert/rewrite_xml.py").string());
  return {
      {"xmllint --format", "xmllint --format {} > {}"},
      {"xmllint --c14n", "xmllint --c14n {} > {}"},
      {"xmllint --c14n of a note with a greater-than sign",
       "sed 's/<table /<table note=\"x \\&gt; 0\" /' {} | xmllint --c14n - > {}"},
      {"ElementTree canonicalised, the same note", python + " etree-c14n-note {} {}"},
      {"ElementTree, iso-8859-1", python + " etree-latin1 {} {}"},
      {"ElementTree, us-ascii", python + " etree-ascii {} {}"},
      {"minidom, utf-8", python + " minidom-utf8 {} {}"},
      {"xmllint --encode UTF-16", "xmllint --encode UTF-16 {} > {}"},
      {"ElementTree, utf-16", python + " etree-utf16 {} {}"},
      {"iconv to UTF-16", "iconv -f ISO-8859-1 -t UTF-16 {} > {}"},
      {"iconv to UTF-16BE, no byte order mark", "iconv -f ISO-8859-1 -t UTF-16BE {} > {}"},
      {"iconv to UTF-16LE, no byte order mark", "iconv -f ISO-8859-1 -t UTF-16LE {} > {}"},
  };
}

// Java's Transformer to a UTF-16 stream, where a Java runtime is installed.
std::vector<Rewriter> java_rewriters() {
  return {
      {"Java Transformer, UTF-16",
       "java " + quote((source_dir() / "tests/convert/RewriteUtf16.java").string()) + " {} {}"}};
}

std::string with_paths(std::string command, const fs::path& source, const fs::path& target) {
  command.replace(command.find("{}"), 2, quote(source.string()));
  command.replace(command.find("{}"), 2, quote(target.string()));
  return command;
}

// The table file's own name: its table name and ".tbl".
std::string file_of(const std::string& table) {
  return std::string(table.substr(tbl2tblx::kFileHeaderSize, tbl2tblx::kTableNameWidth).c_str()) +
         ".tbl";
}

void expect_rewritten_documents_give_back(const std::string& table,
                                          const std::vector<Rewriter>& tools = rewriters()) {
  ScratchDir dir;
  write_file(dir / "in.tbl", table);
  const RunResult there = run_tool({"in.tbl"}, {.cwd = dir.path});
  ASSERT_EQ(there.status, 0) << there.out;
  for (const Rewriter& rewriter : tools) {
    SCOPED_TRACE(rewriter.name);
    const fs::path folder = dir / rewriter.name;
    fs::create_directory(folder);
    const auto rewritten = shell(with_paths(rewriter.command, dir / "in.tblx", folder / "t.tblx"));
    ASSERT_EQ(rewritten.status, 0) << rewritten.out;
    const RunResult back = run_tool({"t.tblx"}, {.cwd = folder});
    EXPECT_EQ(back.status, 0);
    EXPECT_EQ(read_file(folder / file_of(table)), table)
        << back.out << read_file(folder / "t.tblx");
  }
}

TEST(XmlTools, RewrittenExamplesComeBackByteForByte) {
  for (const char* name : {"phone.tbl", "staff.tbl", "notes.tbl"}) {
    SCOPED_TRACE(name);
    expect_rewritten_documents_give_back(read_file(source_dir() / "examples" / name));
  }
}

TEST(XmlTools, RewrittenTablesWithEveryKindOfValueComeBackByteForByte) {
  TableMaker maker{std::mt19937(20261210), true};
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(round);
    expect_rewritten_documents_give_back(encode(maker.table()));
  }
}

TEST(XmlTools, DocumentsRewrittenByJavaToUtf16ComeBackByteForByte) {
  if (shell("command -v java").status != 0) GTEST_SKIP() << "no java here";
  for (const char* name : {"phone.tbl", "staff.tbl", "notes.tbl"}) {
    SCOPED_TRACE(name);
    expect_rewritten_documents_give_back(read_file(source_dir() / "examples" / name),
                                         java_rewriters());
  }
}

}  // namespace
