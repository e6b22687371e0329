#include "convert/report.hpp"

#include "convert/messages.hpp"

namespace tbl2tblx {

int report_document(Console& console, const char* path, const DocumentOutcome& outcome) {
  switch (outcome.stop) {
    case DocumentStop::kComplete:
      return 0;
    case DocumentStop::kParse:
      say(console, kMessageParseError, outcome.tag.c_str(), static_cast<long long>(outcome.line));
      break;
    case DocumentStop::kWrite:
      say(console, kMessageCannotWriteItem, outcome.output_name.c_str(), outcome.item);
      break;
    case DocumentStop::kFile:
      say(console, kMessageCannotWrite, outcome.output_name.c_str());
      break;
    case DocumentStop::kRead:
      say(console, kMessageCannotRead, path);
      break;
  }
  return 1;
}

int report_table(Console& console, const char* path, const char* document_name,
                 TableOutcome outcome, bool committed) {
  if (outcome == TableOutcome::kComplete && committed) {
    say(console, kMessageDone);
    return 0;
  }
  switch (outcome) {
    case TableOutcome::kMismatched:
      say(console, kMessageMismatch);
      break;
    case TableOutcome::kDamaged:
      say(console, kMessageDamaged, path);
      break;
    case TableOutcome::kUnreadable:
      say(console, kMessageCannotRead, path);
      break;
    case TableOutcome::kComplete:
    case TableOutcome::kUnwritable:
      say(console, kMessageCannotWrite, document_name);
      break;
  }
  return 1;
}

}  // namespace tbl2tblx
