// How the program's own text files write a name or a path: on one line, and
// showing what it holds. The list of entries not backed up and the run
// records write one entry a line; a name may hold any byte but "/" and NUL
// on Linux, a newline too, and such a name must neither break its line nor
// pass unseen.
#pragma once

#include <string>
#include <string_view>

namespace fernwise {

/// Appends `text` to `out` with these escaped: newline, carriage return and
/// tab as \n, \r and \t; every other control character (below 0x20, DEL,
/// U+0080 to U+009F) and every byte that is not part of valid UTF-8 as \xHH,
/// byte by byte; and the backslash as \\ unless it is `separator`, as on
/// Windows, where a name can hold neither a backslash nor a control
/// character, so its paths are written as they are. Reading the escapes back
/// gives the very bytes of `text`.
void AppendEscaped(std::string& out, std::string_view text, char separator);

/// `text` escaped as AppendEscaped does.
std::string Escaped(std::string_view text, char separator);

}  // namespace fernwise
