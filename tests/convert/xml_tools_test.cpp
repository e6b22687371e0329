// Documents rewritten by everyday XML tools (reformatted, canonicalised, re-encoded) convert back
// to the very table they came from.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "../package/shell.hpp"
#include "support.hpp"

namespace fs = std::filesystem;
using namespace testing_support;
using package_testing::quote;
using package_testing::shell;

namespace {

std::string padded(std::string_view name, std::size_t width) {
  std::string field(name);
  field.resize(width, '\0');
  return field;
}

// Tables whose names and strings hold what XML must escape, line breaks (CR in the binary form)
// and bytes above 127, with every value type at its limits and empty.
struct TableMaker {
  std::mt19937 random;

  int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); }

  // Characters that XML 1.0 can carry; a line break is a lone CR, as the binary form keeps it.
  std::string text(int min_length, int max_length, bool file_name) {
    static const std::string special = "&<>\"' \t\r\x80\x9f\xa0\xe9\xff;#=";
    std::string out;
    for (int n = min_length + below(max_length - min_length + 1); n > 0; --n) {
      const bool plain = below(3) != 0 || (file_name && out.empty());
      out += plain ? static_cast<char>('a' + below(26))
                   : special[static_cast<std::size_t>(below(static_cast<int>(special.size())))];
    }
    return out;
  }

  std::string value(int type) {
    switch (type) {
      case 0: {
        const int picks[] = {-32768, 32767, 0, -1, below(65536) - 32768};
        return le(static_cast<std::uint16_t>(picks[below(5)]), 2);
      }
      case 1: {
        const std::uint32_t picks[] = {0x80000000u, 0x7FFFFFFFu, 0,
                                       static_cast<std::uint32_t>(random())};
        return le(picks[below(4)], 4);
      }
      case 2:
        return text(0, 30, false) + std::string(1, '\0');
      default: {
        std::string blob;
        for (int n = below(3) == 0 ? 0 : below(30); n > 0; --n)
          blob.push_back(static_cast<char>(below(256)));
        return blob;
      }
    }
  }

  std::string table() {
    std::string out = bytes({0, 1, below(2), 0, 0, 0}) + padded(text(1, 20, true), 20) + le(4, 4);
    for (int type = 0; type < 4; ++type)
      out += bytes({type + 1}) + padded(text(1, 20, false), 21) + bytes({type});
    const int ngroup = below(3);
    out += bytes({below(2) == 0 ? 0xFF : 1, ngroup});
    for (int g = 0; g < ngroup; ++g)
      out += padded(std::string(1, static_cast<char>('a' + g)) + text(0, 19, false), 21);
    const int nrecord = 1 + below(6);
    out += le(static_cast<std::uint64_t>(nrecord), 4);
    for (int r = 0; r < nrecord; ++r) {
      out += bytes({ngroup == 0 || below(3) == 0 ? 0xFF : below(ngroup), 4});
      for (int type = 0; type < 4; ++type) {
        const std::string data = value(type);
        out += bytes({type + 1, type}) + le(data.size(), 4) + data;
      }
    }
    return out;
  }
};

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
      {"ElementTree, iso-8859-1", python + " etree-latin1 {} {}"},
      {"ElementTree, us-ascii", python + " etree-ascii {} {}"},
      {"minidom, utf-8", python + " minidom-utf8 {} {}"},
  };
}

std::string with_paths(std::string command, const fs::path& source, const fs::path& target) {
  command.replace(command.find("{}"), 2, quote(source.string()));
  command.replace(command.find("{}"), 2, quote(target.string()));
  return command;
}

// The table file's own name: its table name and ".tbl".
std::string file_of(const std::string& table) {
  return std::string(table.substr(6, 20).c_str()) + ".tbl";
}

void expect_rewritten_documents_give_back(const std::string& table) {
  ScratchDir dir;
  write_file(dir / "in.tbl", table);
  const RunResult there = run_tool({"in.tbl"}, {.cwd = dir.path});
  ASSERT_EQ(there.status, 0) << there.out;
  for (const Rewriter& rewriter : rewriters()) {
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
  TableMaker maker{std::mt19937(20261210)};
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(round);
    expect_rewritten_documents_give_back(maker.table());
  }
}

}  // namespace
