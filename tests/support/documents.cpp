#include "documents.hpp"

#include "formats/formats.hpp"

namespace testing_support {

std::string document(std::string_view tables) {
  return "<?xml version=\"1.0\"?>\n<tblx><header><version>2.0</version></header>\n<tables>\n" +
         std::string(tables) + "</tables>\n</tblx>\n";
}

std::string table_element(std::string_view name, std::string_view fields, std::string_view body,
                          std::string_view start_tag) {
  return std::string(start_tag) + "<name>" + std::string(name) + "</name><schema>" +
         std::string(fields) + "</schema>\n" + std::string(body) + "</table>\n";
}

std::string fieldinfo_element(int id, std::string_view name, std::string_view type) {
  return "<fieldinfo><id>" + std::to_string(id) + "</id><name>" + std::string(name) +
         "</name><type>" + std::string(type) + "</type></fieldinfo>";
}

std::string fielddata_element(int id, std::string_view type, std::string_view content) {
  return "<fielddata><id>" + std::to_string(id) + "</id><type>" + std::string(type) +
         "</type><content>" + std::string(content) + "</content></fielddata>";
}

std::string phone_document_lines(std::string_view source, std::string_view date) {
  const std::string author =
      std::string(tbl2tblx::kAuthorLead) + std::string(tbl2tblx::kAuthorCredit) +
      std::string(tbl2tblx::kAuthorSeparator) + std::string(tbl2tblx::kWebAddress);
  // One line of the document a line here, numbered as the reader counts them.
  // clang-format off
  return "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n"                    // 1
         "<tblx xml:space=\"preserve\">\n"                                      // 2
         "\t<header>\n"                                                         // 3
         "\t\t<version>2.0</version>\n"                                         // 4
         "\t\t<author>" + author + "</author>\n"                                // 5
         "\t\t<desc>phone.tblx converted from " + std::string(source) + "</desc>\n"  // 6
         "\t\t<date>" + std::string(date) + "</date>\n"                         // 7
         "\t</header>\n"                                                        // 8
         "\t<tables ntable=\"1\">\n"                                            // 9
         "\t\t<table write=\"append\">\n"                                       // 10
         "\t\t\t<name>phone</name>\n"                                           // 11
         "\t\t\t<schema ninfo=\"2\">\n"                                         // 12
         "\t\t\t\t<skeyid>1</skeyid>\n"                                         // 13
         "\t\t\t\t<fieldinfo>\n"                                                // 14
         "\t\t\t\t\t<id>1</id>\n"                                               // 15
         "\t\t\t\t\t<name>who</name>\n"                                         // 16
         "\t\t\t\t\t<type>string</type>\n"                                      // 17
         "\t\t\t\t</fieldinfo>\n"                                               // 18
         "\t\t\t\t<fieldinfo>\n"                                                // 19
         "\t\t\t\t\t<id>2</id>\n"                                               // 20
         "\t\t\t\t\t<name>ext</name>\n"                                         // 21
         "\t\t\t\t\t<type>int2</type>\n"                                        // 22
         "\t\t\t\t</fieldinfo>\n"                                               // 23
         "\t\t\t</schema>\n"                                                    // 24
         "\t\t\t<groups ngroup=\"1\">\n"                                        // 25
         "\t\t\t\t<group>work</group>\n"                                        // 26
         "\t\t\t</groups>\n"                                                    // 27
         "\t\t\t<records nrecord=\"1\">\n"                                      // 28
         "\t\t\t\t<record ndata=\"2\">\n"                                       // 29
         "\t\t\t\t\t<group>work</group>\n"                                      // 30
         "\t\t\t\t\t<fielddata>\n"                                              // 31
         "\t\t\t\t\t\t<id>1</id>\n"                                             // 32
         "\t\t\t\t\t\t<type>string</type>\n"                                    // 33
         "\t\t\t\t\t\t<content>Ann</content>\n"                                 // 34
         "\t\t\t\t\t</fielddata>\n"                                             // 35
         "\t\t\t\t\t<fielddata>\n"                                              // 36
         "\t\t\t\t\t\t<id>2</id>\n"                                             // 37
         "\t\t\t\t\t\t<type>int2</type>\n"                                      // 38
         "\t\t\t\t\t\t<content>-2</content>\n"                                  // 39
         "\t\t\t\t\t</fielddata>\n"                                             // 40
         "\t\t\t\t</record>\n"                                                  // 41
         "\t\t\t</records>\n"                                                   // 42
         "\t\t</table>\n"                                                        // 43
         "\t</tables>\n"                                                          // 44
         "</tblx>\n";                                                            // 45
  // clang-format on
}

std::string crlf(std::string_view lf_text) {
  std::string out;
  for (char c : lf_text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

namespace {

// The next character of well-formed UTF-8 at `at`, which moves past it.
char32_t next_character(std::string_view text, std::size_t& at) {
  const auto lead = static_cast<unsigned char>(text[at++]);
  const int more = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
  char32_t c = more == 0 ? lead : lead & (0x3Fu >> more);
  for (int i = 0; i < more; ++i)
    c = c << 6 | (static_cast<unsigned char>(text[at++]) & 0x3Fu);
  return c;
}

void put_unit(std::string& out, char32_t unit, bool big_endian) {
  const auto high = static_cast<char>(unit >> 8);
  const auto low = static_cast<char>(unit & 0xFF);
  out += big_endian ? high : low;
  out += big_endian ? low : high;
}

}  // namespace

std::string utf16(std::string_view utf8_text, bool big_endian, bool mark) {
  std::string out;
  if (mark) put_unit(out, 0xFEFF, big_endian);
  for (std::size_t at = 0; at < utf8_text.size();) {
    const char32_t c = next_character(utf8_text, at);
    if (c < 0x10000) {
      put_unit(out, c, big_endian);
    } else {
      put_unit(out, 0xD800 + ((c - 0x10000) >> 10), big_endian);
      put_unit(out, 0xDC00 + ((c - 0x10000) & 0x3FF), big_endian);
    }
  }
  return out;
}

}  // namespace testing_support
