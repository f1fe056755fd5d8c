// The names of the temporary files a copy makes beside its target, and how
// one that a killed run left behind is known again.
//
// Such a file is erased without a kept version wherever a pass meets it, so
// no user's file may ever be taken for one. Every temporary name therefore
// carries the program's mark: "fernwise-", 16 random lowercase letters and
// digits, and 8 more that are a check code computed from everything in the
// name before them (on Linux that includes the start of the target's name).
// A name of the same shape that a person or another program made has the
// right check code by chance about once in 2^41 tries. The platforms only
// frame the mark: what comes before it, and what after.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace fernwise {

/// The mark's size in bytes (and in UTF-16 units: it is ASCII).
inline constexpr size_t kTemporaryMarkSize = 9 + 16 + 8;

/// A fresh temporary name: `head`, a new mark, `tail`.
std::string MakeTemporaryName(std::string_view head, std::string_view tail);

/// Whether `name` is a name MakeTemporaryName gave with this `tail`: a
/// non-empty head, then a mark whose check code is right, then `tail`.
bool IsTemporaryName(std::string_view name, std::string_view tail);

/// The longest start of the UTF-8 text `text` that takes at most `bytes`
/// bytes, cut between characters.
std::string_view Utf8Prefix(std::string_view text, size_t bytes);

}  // namespace fernwise
