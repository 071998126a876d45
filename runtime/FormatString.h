// printf-style formatting into a new narrow or wide string of any length.
//
// The platform's Microsoft formatter does the work (`_vsnprintf` for narrow,
// `_vsnwprintf` for wide output), with its conversions, flags and size
// prefixes whatever the C runtime's stdio settings: in a wide format "%s"
// takes a wide string and "%S" a narrow one; in a narrow format the reverse.
//
// Positional mode: when the first conversion of a format (escape pairs "%%"
// passed over) begins with a digit from 1 to 9, every conversion begins with
// exactly one such digit naming the argument it formats, counted from 1 in
// call order. "%2s %1s" with "a", "b" gives "b a"; "%1s %1s" with "x" gives
// "x x"; "%12d" is argument 1 with width 2. A format whose first conversion has
// no position digit is formatted as it stands ("%d %1s": the 1 is a width).
//
// A positional format must keep to these rules, or the call throws
// std::invalid_argument before anything is read from the argument list:
//   - every later conversion begins with a digit from 1 to 9 (a "%" at the
//     end of the format counts as a conversion without one);
//   - a digit followed by "%" ("%1%") prints one "%" and reads no argument,
//     whatever the digit;
//   - every other conversion is flags ("-", "+", " ", "#", "0"), width digits,
//     "." and precision digits, an optional "F" or "N" (far and near, which
//     mean nothing on x64 and are left out of what the formatter sees), at
//     most one size prefix ("h", "hh", "l", "ll", "L", "w", "I", "I32", "I64",
//     "j", "z", "t") and one conversion character that formats one argument:
//     c C d i o u x X e E f g G p s S, and a A where the formatter formats
//     hexadecimal floating point (it is asked once);
//   - no position exceeds the number of conversions that read an argument,
//     so every argument a position names has a conversion of its own;
//   - so no "*" width or precision (it would take an argument without a
//     position), no "n" (it writes through its argument, whatever prefix
//     hides it, as in "%1jn"), and no character the formatter would print
//     instead of reading an argument (the block and the formatter would then
//     disagree about which argument a later conversion reads).
//
// The text grows as needed, from 256 characters doubling, up to
// FormatStringMaxChars characters including the terminator. A text that does
// not fit by then throws std::length_error, and so does a formatter that
// fails for another reason, since it reports that with the same -1 as a lack
// of room (a narrow "%S" of a wide character that the ANSI code page lacks,
// for one). A conversion that produces a zero character (such as "%c" with 0)
// ends the result there.
//
// Throws std::invalid_argument (null or unusable positional format),
// std::length_error (text too long) or std::bad_alloc. Keeps no state: any
// number of threads may format at the same time.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

// The largest buffer the engine allocates, in characters of the result's width.
inline constexpr std::size_t FormatStringMaxChars = std::size_t{1} << 24;

std::string FormatString(const char* format, ...);
std::wstring FormatString(const wchar_t* format, ...);

// The argument list is not consumed: the caller may va_end it or pass it on.
std::string FormatStringV(const char* format, va_list args);
std::wstring FormatStringV(const wchar_t* format, va_list args);
