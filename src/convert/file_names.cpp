#include "convert/file_names.hpp"

#include <cstdio>

#include "convert/convert.hpp"
#include "formats/formats.hpp"
#include "markup/markup.hpp"

namespace tbl2tblx {
namespace {

constexpr const char* kFallbackNameFormat = "%04d%02d%02d%02d%02d%02d.tbl";

}  // namespace

bool has_extension(std::string_view path, std::string_view extension) {
  return path.size() > extension.size() &&
         equals_ignoring_case(path.substr(path.size() - extension.size()), extension);
}

Direction direction_of(std::string_view path) {
  if (has_extension(path, kTableExtension)) return Direction::kToDocument;
  if (has_extension(path, kDocumentExtension)) return Direction::kToTables;
  return Direction::kSkip;
}

std::string document_name_for(std::string_view path) {
  const std::size_t separator = path.find_last_of("/\\");
  std::string name(path.substr(separator == std::string_view::npos ? 0 : separator + 1));
  name.resize(name.size() - kTableExtension.size());
  name += kDocumentExtension;
  return name;
}

std::string table_file_name(std::string_view table) {
  return std::string(table) + std::string(kTableExtension);
}

bool names_a_folder(std::string_view table) {
  return table.find('/') != std::string_view::npos || table.find('\\') != std::string_view::npos;
}

std::string output_path(const RunContext& run, std::string_view name) {
  if (run.output_folder.empty()) return std::string(name);
  return run.output_folder + "/" + std::string(name);
}

std::string fallback_file_name(const CalendarTime& time) {
  // Room for any value of the fields, should the clock be far off.
  char name[80];
  std::snprintf(name, sizeof name, kFallbackNameFormat, time.year, time.month, time.day, time.hour,
                time.minute, time.second);
  return name;
}

}  // namespace tbl2tblx
