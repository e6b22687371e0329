#include "convert/table_file.hpp"

#include <string_view>
#include <thread>

#include "convert/calendar.hpp"
#include "convert/console.hpp"
#include "convert/file_names.hpp"
#include "convert/messages.hpp"

namespace tbl2tblx {

int file_error(TableFile& t, DocumentStop stop, const char* item) {
  t.outcome.stop = stop;
  t.outcome.item = item;
  t.outcome.output_name = t.output_name;
  return 1;
}

int patch_item(TableFile& t, std::uint64_t offset, std::span<const std::uint8_t> bytes,
               const char* item) {
  return output_patch(t.file, offset, bytes) == 0 ? 0 : file_error(t, DocumentStop::kWrite, item);
}

int open_table_file(TableFile& t, const WrittenNames& written, RunContext& run) {
  const std::string_view name(t.name.data());
  t.output_name = table_file_name(name);
  if (!names_a_folder(name) && !written.contains(t.output_name) &&
      output_open(t.file, output_path(run, t.output_name).c_str()) == 0) {
    return 0;
  }
  say(run.console, kMessageRetry, t.output_name.c_str());
  t.output_name = fallback_file_name(local_time_now());
  if (written.contains(t.output_name) ||
      output_open(t.file, output_path(run, t.output_name).c_str()) != 0) {
    return file_error(t, DocumentStop::kFile, nullptr);
  }
  std::this_thread::sleep_for(run.fallback_pause);
  return 0;
}

}  // namespace tbl2tblx
