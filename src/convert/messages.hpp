// Every text the tool says, as printf formats: the banner and usage, the base64 file modes and
// both directions of conversion. Scripts read these bytes; they change here or nowhere.
#pragma once

namespace tbl2tblx {

// The banner: version, credit and web address (kToolVersion, kAuthorCredit, kWebAddress).
inline constexpr const char* kMessageBanner = "tbl2tblx %.*s by %.*s\n%.*s\n\n";
inline constexpr const char* kMessageUsage =
    "tbl2tblx [-h] [-c] [-e] [-d] file...\n\t-c: base64 encoding for tblx\n"
    "\t-e: base64 encoding\n\t-d: base64 decoding\n";
inline constexpr const char* kMessageSourceRequired = "source file required\n";
inline constexpr const char* kMessageTargetRequired = "target file required\n";
inline constexpr const char* kMessageStdoutFailed = "tbl2tblx: cannot write to standard output\n";

// A file's name, then what became of it.
inline constexpr const char* kMessageCannotRead = "%s: Cannot read the file\n";
inline constexpr const char* kMessageCannotWrite = "%s: Cannot write the file\n";
inline constexpr const char* kMessageCannotEncode = "%s: Cannot encode the file\n";
inline constexpr const char* kMessageCannotDecode = "%s: Cannot decode the file\n";
inline constexpr const char* kMessageEncoded = "%s: Encoding OK\n";
inline constexpr const char* kMessageDecoded = "%s: Decoding OK\n";

// A binary table into a document: the table, then the document.
inline constexpr const char* kMessageConverting = "%s => %s...\n";
inline constexpr const char* kMessageDamaged = "%s: Damaged table file\n";
inline constexpr const char* kMessageMismatch = "Warning: EOF mismatched\n";

// A document into binary tables: the document, then each table's file.
inline constexpr const char* kMessageReading = "%s =>\n";
inline constexpr const char* kMessageWritingTable = "\t%s...\n";
inline constexpr const char* kMessageRetry = "%s: Cannot write the file. Retry...\n";
// The file's name and the item that could not be written ("fieldinfo", "table name").
inline constexpr const char* kMessageCannotWriteItem = "%s: Cannot write the %s\n";
// The normalised tag and its line.
inline constexpr const char* kMessageParseError = "Error: %s at line %lld\n";
// The record's number.
inline constexpr const char* kMessageSecret = "#%u: Secret data not supported in tbl\n";

// What ends the lines of a file's conversion once it succeeded.
inline constexpr const char* kMessageDone = "\n";

}  // namespace tbl2tblx
