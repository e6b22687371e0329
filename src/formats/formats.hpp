// The two forms of a table, defined once: the packed little-endian binary file (.tbl) and the
// indented ISO-8859-1 XML document (.tblx). Widths, codes and fixed texts live here and nowhere
// else; the converters name them instead of repeating numbers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

namespace tbl2tblx {

// ---- The tool's identity, shared by the banner and the document's author element ----------

inline constexpr std::string_view kToolVersion = "0.21";
inline constexpr std::string_view kAuthorCredit = "the tbl2tblx developers";
inline constexpr std::string_view kWebAddress = "https://tbl2tblx.example.org";
// The author element reads kAuthorLead, the credit, kAuthorSeparator and the web address.
inline constexpr std::string_view kAuthorLead = "tbl2tblx by ";
inline constexpr std::string_view kAuthorSeparator = ": ";

// ---- File names ------------------------------------------------------------------------------

// A name with one of these endings (any letter case) is converted into the other form.
inline constexpr std::string_view kTableExtension = ".tbl";
inline constexpr std::string_view kDocumentExtension = ".tblx";

// ---- Binary table file (.tbl) ----------------------------------------------------------------

inline constexpr std::size_t kFileHeaderSize = 6;
inline constexpr std::size_t kHeaderWriteModeOffset = 2;
// Written as 0, 1, write mode, 0, 0, 0; a nonzero first byte means the headerless form.
inline constexpr std::array<std::uint8_t, kFileHeaderSize> kFileHeaderTemplate = {0, 1, 0, 0, 0, 0};

inline constexpr std::size_t kMaxNameChars = 20;
inline constexpr std::size_t kTableNameWidth = 20;  // no terminating zero when full
inline constexpr std::size_t kNameFieldWidth = 21;  // field and group names: last byte always zero

inline constexpr std::size_t kCountWidth = 4;  // ninfo, nrecord, value length

// A field info: id, name, type.
inline constexpr std::size_t kFieldInfoIdOffset = 0;
inline constexpr std::size_t kFieldInfoNameOffset = 1;
inline constexpr std::size_t kFieldInfoTypeOffset = kFieldInfoNameOffset + kNameFieldWidth;
inline constexpr std::size_t kFieldInfoSize = kFieldInfoTypeOffset + 1;

// The head of a field's data: id, type, value length.
inline constexpr std::size_t kFieldDataIdOffset = 0;
inline constexpr std::size_t kFieldDataTypeOffset = 1;
inline constexpr std::size_t kFieldDataLengthOffset = 2;
inline constexpr std::size_t kFieldDataHeadSize = kFieldDataLengthOffset + kCountWidth;

// The head of a record: group, ndata; the headerless form has ndata alone.
inline constexpr std::size_t kRecordGroupOffset = 0;
inline constexpr std::size_t kRecordHeadSize = 1 + 1;
inline constexpr std::size_t kHeaderlessRecordHeadSize = 1;

inline constexpr std::uint8_t kNone = 0xFF;  // no skeyid; a record in no group
inline constexpr std::size_t kMaxGroups = 255;
inline constexpr std::size_t kMaxFieldData = 255;

// Counts, lengths and values are little-endian: the `Width` bytes of `value`, lowest first.
template <std::size_t Width>
constexpr std::array<std::uint8_t, Width> little_endian_bytes(std::uint32_t value) {
  std::array<std::uint8_t, Width> bytes{};
  for (std::size_t i = 0; i < Width; ++i)
    bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
  return bytes;
}

// The value of the sizeof(Int) bytes at `bytes`, lowest first.
template <class Int>
constexpr Int read_little_endian(const std::uint8_t* bytes) {
  std::make_unsigned_t<Int> value = 0;
  for (std::size_t i = sizeof(Int); i-- > 0;)
    value = static_cast<decltype(value)>(value << 8 | bytes[i]);
  return static_cast<Int>(value);
}

enum TypeCode : std::uint8_t { kInt2 = 0, kInt4 = 1, kString = 2, kBlob = 3 };
inline constexpr std::size_t kInt2Size = 2;
inline constexpr std::size_t kInt4Size = 4;

enum WriteMode : std::uint8_t { kAppend = 0, kOverwrite = 1 };

// Type names shared by both forms; any code above kBlob reads as "blob".
inline constexpr std::array<std::string_view, 4> kTypeNames = {"int2", "int4", "string", "blob"};
constexpr std::string_view type_name(std::uint8_t code) {
  return code < kTypeNames.size() ? kTypeNames[code] : kTypeNames[kBlob];
}

// ---- XML table document (.tblx) -------------------------------------------------------------

// Written documents end every line with CR LF; the templates below say "\n" and the writer
// stores each as kDocumentLineEnd.
inline constexpr std::string_view kDocumentLineEnd = "\r\n";

inline constexpr std::string_view kXmlVersion = "1.0";
inline constexpr std::string_view kXmlEncoding = "iso-8859-1";
inline constexpr std::string_view kDocumentVersion = "2.0";
inline constexpr std::string_view kWriteOverwrite = "overwrite";
inline constexpr std::string_view kWriteAppend = "append";

// The writer's templates, in the order it writes them. A slot "{name}" stands for what the
// writer fills in there; it zero-pads the date's fields, the year to four digits and the others
// to two. Every "\n" is written as kDocumentLineEnd.
inline constexpr const char* kTemplateHead =
    "<?xml version=\"{xml-version}\" encoding=\"{encoding}\"?>\n<tblx "
    "xml:space=\"preserve\">\n\t<header>\n"
    "\t\t<version>{version}</version>\n\t\t<author>{author}</author>\n"
    "\t\t<desc>{document} converted from ";
inline constexpr const char* kTemplateHeaderEnd =
    "{source}</desc>\n\t\t<date>{year}-{month}-{day} {hour}:{minute}:{second}</date>\n"
    "\t</header>\n\t<tables ntable=\"1\">\n";
inline constexpr const char* kTemplateTable =
    "\t\t<table write=\"{write}\">\n\t\t\t<name>{name}</name>\n\t\t\t<schema ninfo=\"{ninfo}\">\n";
inline constexpr const char* kTemplateSkeyid = "\t\t\t\t<skeyid>{skeyid}</skeyid>\n";
inline constexpr const char* kTemplateFieldInfo =
    "\t\t\t\t<fieldinfo>\n\t\t\t\t\t<id>{id}</id>\n\t\t\t\t\t<name>{name}</name>\n"
    "\t\t\t\t\t<type>{type}</type>\n\t\t\t\t</fieldinfo>\n";
inline constexpr const char* kTemplateSchemaEnd = "\t\t\t</schema>\n";
inline constexpr const char* kTemplateGroups = "\t\t\t<groups ngroup=\"{ngroup}\">\n";
inline constexpr const char* kTemplateGroup = "\t\t\t\t<group>{group}</group>\n";
inline constexpr const char* kTemplateGroupsEnd = "\t\t\t</groups>\n";
inline constexpr const char* kTemplateRecords = "\t\t\t<records nrecord=\"{nrecord}\">\n";
inline constexpr const char* kTemplateRecord = "\t\t\t\t<record ndata=\"{ndata}\">\n";
inline constexpr const char* kTemplateRecordGroup = "\t\t\t\t\t<group>{group}</group>\n";
inline constexpr const char* kTemplateFieldData =
    "\t\t\t\t\t<fielddata>\n\t\t\t\t\t\t<id>{id}</id>\n"
    "\t\t\t\t\t\t<type>{type}</type>\n\t\t\t\t\t\t";
inline constexpr const char* kTemplateContentBlob = "<content encoding=\"b64\">";
inline constexpr const char* kTemplateContent = "<content>";
inline constexpr const char* kTemplateFieldDataEnd = "</content>\n\t\t\t\t\t</fielddata>\n";
inline constexpr const char* kTemplateRecordEnd = "\t\t\t\t</record>\n";
inline constexpr const char* kTemplateTail =
    "\t\t\t</records>\n\t\t</table>\n\t</tables>\n</tblx>\n";

// What a reader looks for inside normalised start tags: an attribute name and its value, in
// either kind of quotes.
inline constexpr std::string_view kAttrWrite = "write";
inline constexpr std::string_view kAttrEncoding = "encoding";
inline constexpr std::string_view kEncodingBase64 = "b64";
// Declared encodings that the reader decodes from UTF-8; a document without a declaration, or
// whose declaration names no encoding, is UTF-8 too.
inline constexpr std::array<std::string_view, 2> kUtf8Names = {"utf-8", "utf8"};
inline constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// How a document in UTF-16 begins: with a byte order mark, or with "<?" (the declaration), in
// either byte order. A UTF-32 one is refused: its marks are tested first, as the little-endian
// mark begins like the UTF-16 one.
inline constexpr std::array<std::string_view, 2> kUtf16BigMarks = {std::string_view("\xFE\xFF", 2),
                                                                   std::string_view("\0<\0?", 4)};
inline constexpr std::array<std::string_view, 2> kUtf16LittleMarks = {
    std::string_view("\xFF\xFE", 2), std::string_view("<\0?\0", 4)};
inline constexpr std::array<std::string_view, 4> kUtf32Marks = {
    std::string_view("\0\0\xFE\xFF", 4), std::string_view("\xFF\xFE\0\0", 4),
    std::string_view("\0\0\0<", 4), std::string_view("<\0\0\0", 4)};
inline constexpr std::size_t kLongestEncodingMark = 4;

}  // namespace tbl2tblx
