// The one place that knows about UTF-16 and the \\?\ path form. Everything
// inside the program is UTF-8; these convert at the Win32 call.
#pragma once

#include <string>

namespace fernwise::win32 {

/// UTF-16 of a UTF-8 text. Throws RunError for bytes that are not UTF-8.
std::wstring Widen(const std::string& text);

/// UTF-16 of a text to show: bytes that are not UTF-8 become U+FFFD instead
/// of failing, since showing a text never fails.
std::wstring WidenText(const std::string& text);

/// UTF-8 of a UTF-16 text.
std::string Narrow(const std::wstring& text);

/// `path` as the ...W calls should get it: UTF-16, made absolute the way
/// Windows itself would (so "/" and ".." keep their usual meaning), then in
/// the \\?\ form (\\?\UNC\server\share for \\server\share) so paths longer
/// than 260 characters work. A trailing "\" stays; "" stays "".
std::wstring WidenPath(const std::string& path);

/// A path as the user writes it: `path` without a \\?\ or \\?\UNC\ prefix.
std::wstring StripLongPrefix(const std::wstring& path);

/// The system's message for a GetLastError() value, in UTF-8, without the
/// line end FormatMessageW puts after it.
std::string ErrorText(unsigned long error);

/// Throws RunError for the GetLastError() value `error`.
[[noreturn]] void ThrowError(unsigned long error, const std::string& operation,
                             const std::string& path);

}  // namespace fernwise::win32
