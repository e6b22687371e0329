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

int open_table_file(TableFile& t, RunContext& run) {
  const std::string_view name(t.name.data());
  t.output_name = table_file_name(name);
  const std::string path = output_path(run, t.output_name);
  if (!names_a_folder(name) && !was_written(run.written, path.c_str()) &&
      output_open(t.file, path.c_str()) == 0) {
    return 0;
  }
  say(run.console, kMessageRetry, t.output_name.c_str());
  for (int later = 0; later <= kFallbackNextSeconds; ++later) {
    t.output_name = fallback_file_name(local_time_now(later));
    if (output_open_new(t.file, output_path(run, t.output_name).c_str()) == 0) {
      std::this_thread::sleep_for(run.fallback_pause);
      return 0;
    }
  }
  return file_error(t, DocumentStop::kFile, nullptr);
}

}  // namespace tbl2tblx
