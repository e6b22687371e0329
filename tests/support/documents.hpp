// Table documents for the tests: the smallest documents a person or a script writes, built from
// their elements, and the document the tool writes for the worked example table.
#pragma once

#include <string>
#include <string_view>

namespace testing_support {

// A document around `tables` (table elements), after the smallest header the reader takes. The
// first table starts on line 4.
std::string document(std::string_view tables);

// A table element on one line: its name and schema of `fields` (fieldinfo elements), then a line
// break and `body` (groups and records).
std::string table_element(std::string_view name, std::string_view fields, std::string_view body,
                          std::string_view start_tag = "<table>");
std::string fieldinfo_element(int id, std::string_view name, std::string_view type);
std::string fielddata_element(int id, std::string_view type, std::string_view content);

// The document the tool writes for the phone table converted from `source` at `date`, with
// "\n" for its CR LF line ends. Its lines are numbered in documents.cpp.
std::string phone_document_lines(std::string_view source = "phone.tbl",
                                 std::string_view date = "2024-05-06 07:08:09");
// `lf_text` with CR LF line ends, as the tool writes them.
std::string crlf(std::string_view lf_text);
// `utf8_text` in UTF-16, in the byte order given, with or without a byte order mark first.
std::string utf16(std::string_view utf8_text, bool big_endian, bool mark);

}  // namespace testing_support
