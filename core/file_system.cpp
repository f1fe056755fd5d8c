#include "core/file_system.h"

namespace fernwise {

std::string FileSystem::FormatDateTime(FileTime time) {
  LocalDateTimeText local = LocalTexts(time);
  // Midnight is written as the date alone.
  if (local.midnight) return std::move(local.date);
  return local.date + ' ' + local.time_of_day;
}

}  // namespace fernwise
