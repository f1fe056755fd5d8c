// The one place that knows about UTF-16 and the \\?\ path form. Everything
// inside the program is UTF-8; these convert at the Win32 call.
//
// NTFS takes any sequence of UTF-16 units as a name, unpaired surrogates
// included, and UTF-8 has no spelling for those. Names therefore travel as
// WTF-8: UTF-8, in which a surrogate without its partner is written as the
// three bytes of its own value (D800 as ED A0 80). Every name a listing
// yields converts back to the very units it came from, so it can be found
// again, copied and erased; texts shown to the user show such a unit as a
// replacement character.
#pragma once

#include <string>
#include <string_view>

namespace fernwise::win32 {

/// UTF-16 of a WTF-8 text. Throws RunError for bytes that are not WTF-8
/// (overlong forms, stray bytes, a surrogate pair spelled as two halves).
std::wstring Widen(const std::string& text);

/// UTF-16 of a text to show: bytes that are not UTF-8 become U+FFFD instead
/// of failing, since showing a text never fails.
std::wstring WidenText(const std::string& text);

/// WTF-8 of a UTF-16 text: UTF-8 wherever the units are valid UTF-16.
std::string Narrow(const std::wstring& text);

/// `path`, as the user spelled it (a folder the job script names, the job
/// script's own path), as the ...W calls should get it: UTF-16, made
/// absolute the way Windows itself would (so "/" and ".." keep their usual
/// meaning), then in the \\?\ form (\\?\UNC\server\share for
/// \\server\share) so paths longer than 260 characters work. A drive alone
/// ("E:") is its root, whatever folder of that drive is current. A trailing
/// "\" stays; "" stays "".
///
/// Never for a name a listing gave: Windows' clean-up drops a trailing dot
/// or space and takes "nul", "aux" or "com1.txt" for devices, so such a name
/// would lead elsewhere. Names are joined, as they are, with JoinName.
std::wstring WidenPath(const std::string& path);

/// The path of `relative` (names joined with "\", given unchanged) below
/// the folder `folder`, a path in the \\?\ form as WidenPath gives it. An
/// empty `relative` gives the folder with a trailing "\".
std::wstring JoinName(const std::wstring& folder, std::string_view relative);

/// A path as the user writes it: `path` without a \\?\ or \\?\UNC\ prefix.
std::wstring StripLongPrefix(const std::wstring& path);

/// The system's message for a GetLastError() value, in UTF-8, without the
/// line end FormatMessageW puts after it.
std::string ErrorText(unsigned long error);

/// Throws RunError for the GetLastError() value `error`.
[[noreturn]] void ThrowError(unsigned long error, const std::string& operation,
                             const std::string& path);

}  // namespace fernwise::win32
