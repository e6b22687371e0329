// Binary tables for the tests, laid out as the format lays them out: a whole table from its
// description, or piece by piece for the files the format does not allow; the worked example
// table; and random tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "formats/formats.hpp"

namespace testing_support {

// ---- Pieces ----------------------------------------------------------------------------------

// `text` zero-padded to `width` bytes.
std::string padded(std::string_view text, std::size_t width);
// The header of the header form.
std::string file_header(int write_mode = tbl2tblx::kAppend);
std::string fieldinfo(int id, std::string_view name, int type);
// A value in a record: its id, type, length and data.
std::string entry(int id, int type, std::string_view data);
std::string int2(int id, int value);
std::string int4(int id, std::int64_t value);
std::string text(int id, std::string_view value);  // with its terminating zero
std::string blob(int id, std::string_view data);
// A record of the header form: group byte, ndata, the values.
std::string record(int group, const std::vector<std::string>& values);

// ---- Whole tables ----------------------------------------------------------------------------

struct Field {
  int id = 0;
  std::string name;
  int type = tbl2tblx::kString;
};

struct Record {
  int group = tbl2tblx::kNone;      // not written in the headerless form
  std::vector<std::string> values;  // entry(), int2(), ...
};

struct Table {
  bool header_form = true;
  int write_mode = tbl2tblx::kAppend;
  std::string name;
  std::vector<Field> fields;
  int skeyid = tbl2tblx::kNone;
  std::vector<std::string> groups;  // header form only
  std::vector<Record> records;
  std::optional<std::uint64_t> nrecord;  // the count written, when it is not that of `records`
};

std::string encode(const Table& table);

// The worked example, examples/phone.tbl: table "phone", append, the string field 1 "who" and
// the int2 field 2 "ext", skeyid 1, the group "work", one record in it holding "Ann" and -2.
Table phone();
std::string phone_table(int write_mode = tbl2tblx::kAppend);

// ---- Random tables ---------------------------------------------------------------------------

// Random tables within what both forms carry: names of at most 20 characters with what XML
// escapes and CR line breaks, distinct group names, int2 and int4 values often at their limits,
// strings ending with their only zero byte, blobs often empty.
struct TableMaker {
  std::mt19937 random;
  // Texts only of what XML tools carry through unchanged (no control characters but tab and CR,
  // names that start with a letter); otherwise any byte but LF and zero.
  bool for_xml_tools = false;

  int below(int n);
  std::string text(int max_length, bool file_name);
  std::string value(int type);
  Table table();
};

}  // namespace testing_support
