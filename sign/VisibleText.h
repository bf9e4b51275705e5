#pragma once
// Text from outside the program (port names, USB strings, user and computer
// names, OS messages) made safe to print and to store: what a terminal, a log
// viewer or a spreadsheet would act on, or would draw as something it is not,
// is written out instead as an escape a reader can see.
//
// No Qt, no I/O, never throws but for want of memory.

#include <string>
#include <string_view>

namespace sign {

// `text` with every byte that is not part of valid UTF-8, and every control
// character, escaped visibly; everything else as it is:
// - a byte of invalid UTF-8 (a stray continuation byte, a cut-short or
//   overlong sequence, a surrogate, a code point past U+10FFFF) and the C0
//   controls and DEL: "\xNN" (TAB is "\x09", ESC "\x1B");
// - the C1 controls (U+0080..U+009F), the bidirectional controls (U+061C,
//   U+200E, U+200F, U+202A..U+202E, U+2066..U+2069), the line and paragraph
//   separators (U+2028, U+2029) and the byte order mark (U+FEFF): "\uNNNN".
// A backslash stays as it is. Plain ASCII without controls comes back
// unchanged, so names and messages of the usual kind read as before.
std::string VisibleText(std::string_view text);

// Whether VisibleText would change `text`.
bool NeedsEscaping(std::string_view text);

} // namespace sign
