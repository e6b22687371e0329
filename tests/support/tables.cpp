#include "tables.hpp"

#include <algorithm>

#include "support.hpp"

namespace testing_support {

using namespace tbl2tblx;

std::string padded(std::string_view text, std::size_t width) {
  std::string field(text);
  field.resize(width, '\0');
  return field;
}

std::string file_header(int write_mode) {
  std::string header(kFileHeaderTemplate.begin(), kFileHeaderTemplate.end());
  header[kHeaderWriteModeOffset] = static_cast<char>(write_mode);
  return header;
}

std::string fieldinfo(int id, std::string_view name, int type) {
  return bytes({id}) + padded(name, kNameFieldWidth) + bytes({type});
}

std::string entry(int id, int type, std::string_view data) {
  return bytes({id, type}) + le(data.size(), kCountWidth) + std::string(data);
}

std::string int2(int id, int value) {
  return entry(id, kInt2, le(static_cast<std::uint16_t>(value), kInt2Size));
}

std::string int4(int id, std::int64_t value) {
  return entry(id, kInt4, le(static_cast<std::uint32_t>(value), kInt4Size));
}

std::string text(int id, std::string_view value) {
  return entry(id, kString, std::string(value) + '\0');
}

std::string blob(int id, std::string_view data) {
  return entry(id, kBlob, data);
}

std::string record(int group, const std::vector<std::string>& values) {
  std::string out = bytes({group, static_cast<int>(values.size())});
  for (const std::string& value : values)
    out += value;
  return out;
}

std::string encode(const Table& t) {
  std::string out = t.header_form ? file_header(t.write_mode) : "";
  out += padded(t.name, kTableNameWidth) + le(t.fields.size(), kCountWidth);
  for (const Field& field : t.fields)
    out += fieldinfo(field.id, field.name, field.type);
  out += bytes({t.skeyid});
  if (t.header_form) {
    out += bytes({static_cast<int>(t.groups.size())});
    for (const std::string& group : t.groups)
      out += padded(group, kNameFieldWidth);
  }
  out += le(t.nrecord.value_or(t.records.size()), kCountWidth);
  for (const Record& r : t.records) {
    const std::string values = record(r.group, r.values);
    out += t.header_form ? values : values.substr(1);
  }
  return out;
}

Table phone() {
  return {.name = "phone",
          .fields = {{1, "who", kString}, {2, "ext", kInt2}},
          .skeyid = 1,
          .groups = {"work"},
          .records = {{0, {text(1, "Ann"), int2(2, -2)}}}};
}

std::string phone_table(int write_mode) {
  Table table = phone();
  table.write_mode = write_mode;
  return encode(table);
}

int TableMaker::below(int n) {
  return std::uniform_int_distribution<int>(0, n - 1)(random);
}

std::string TableMaker::text(int max_length, bool file_name) {
  if (for_xml_tools) {
    static const std::string special = "&<>\"' \t\r\x80\x9f\xa0\xe9\xff;#=";
    std::string out;
    for (int n = (file_name ? 1 : 0) + below(max_length + (file_name ? 0 : 1)); n > 0; --n) {
      const bool plain = below(3) != 0 || (file_name && out.empty());
      out += plain ? static_cast<char>('a' + below(26))
                   : special[static_cast<std::size_t>(below(static_cast<int>(special.size())))];
    }
    return out;
  }
  static const std::string special = "&<>\r \t\"';=!-?&amp;\x80\xff\x01";
  std::string result;
  for (int n = below(max_length + 1); n > 0; --n) {
    int c = below(4) == 0
                ? static_cast<unsigned char>(
                      special[static_cast<std::size_t>(below(static_cast<int>(special.size())))])
                : 'a' + below(26);
    if (below(50) == 0) c = 1 + below(255);
    if (c == '\n' || (file_name && (c == '/' || c == '\\'))) c = '_';
    result.push_back(static_cast<char>(c));
  }
  return result;
}

std::string TableMaker::value(int type) {
  switch (type) {
    case kInt2: {
      const int picks[] = {-32768, 32767, 0, -1, below(65536) - 32768};
      return le(static_cast<std::uint16_t>(picks[below(5)]), kInt2Size);
    }
    case kInt4: {
      const std::uint32_t picks[] = {0x80000000u, 0x7FFFFFFFu, 0,
                                     static_cast<std::uint32_t>(random())};
      return le(picks[below(4)], kInt4Size);
    }
    case kString:
      return text(40, false) + std::string(1, '\0');
    default: {
      std::string data;
      for (int n = below(3) == 0 ? 0 : below(40); n > 0; --n)
        data.push_back(static_cast<char>(below(256)));
      return data;
    }
  }
}

Table TableMaker::table() {
  Table t{.write_mode = below(2), .name = text(kMaxNameChars, true)};
  // Every type among the fields, and others at random.
  for (int type = kInt2; type <= kBlob; ++type)
    t.fields.push_back({below(256), text(kMaxNameChars, false), type});
  for (int extra = below(3); extra > 0; --extra)
    t.fields.push_back({below(256), text(kMaxNameChars, false), below(4)});
  t.skeyid = below(2) == 0 ? kNone : below(255);
  const int ngroup = below(4) == 0 ? 0 : below(5);
  while (static_cast<int>(t.groups.size()) < ngroup) {
    std::string name = text(kMaxNameChars, false);
    if (for_xml_tools) name = std::string(1, static_cast<char>('a' + t.groups.size())) + name;
    name.resize(std::min<std::size_t>(name.size(), kMaxNameChars));
    if (std::find(t.groups.begin(), t.groups.end(), name) == t.groups.end())
      t.groups.push_back(name);
  }
  for (int r = below(10); r > 0; --r) {
    Record row{.group = ngroup == 0 || below(3) == 0 ? kNone : below(ngroup)};
    // A value of every field's type, in order, then others at random.
    for (const Field& field : t.fields) {
      if (below(4) != 0) row.values.push_back(entry(below(256), field.type, value(field.type)));
    }
    for (int extra = below(3); extra > 0; --extra) {
      const int type = below(4);
      row.values.push_back(entry(below(256), type, value(type)));
    }
    t.records.push_back(row);
  }
  return t;
}

}  // namespace testing_support
