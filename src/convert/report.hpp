// The one place that words how a conversion ended; each returns the conversion's result, 0 or 1.
#pragma once

#include <string_view>

#include "convert/console.hpp"
#include "convert/convert.hpp"

namespace tbl2tblx {

// After the document `path` was read.
int report_document(Console& console, const char* path, const DocumentOutcome& outcome);

// After the table `path` was walked into the document `document_name`, and that document
// committed when `committed`.
int report_table(Console& console, const char* path, const char* document_name,
                 TableOutcome outcome, bool committed);

}  // namespace tbl2tblx
