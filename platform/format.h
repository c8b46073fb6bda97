/*
 * The bounded UTF-16 formatter behind OsFormat and OsDebugPrintf, on the module and over the
 * simulated module alike.
 *
 * It calls no operating-system service itself: the one conversion it needs, a narrow character of
 * the platform's code page to UTF-16 for %S, is passed in by each platform layer. So the host runs
 * the very formatting code that ships. Device code (C++03).
 */
#ifndef KALVORI_PLATFORM_FORMAT_H
#define KALVORI_PLATFORM_FORMAT_H

#include "platform/platform.h"

/* Converts the narrow character that starts at text (never at its terminator) into one UTF-16
   character at out. Returns the bytes it used: 1, or 2 for a two-byte character of the code page. */
typedef u32 (*PlatformWidenFn)(const char* text, WChar* out);

/*
 * Formats into buffer, which holds capacity characters including the terminator.
 *
 * Conversions: %s a UTF-16 string, %S a narrow string (widened character by character through
 * widen), %c a character, %d and %i a signed decimal, %u an unsigned decimal, %x and %X hexadecimal,
 * %% a percent sign; a null string prints "(null)". Before the conversion: the flags '-' (pad on
 * the right) and '0' (pad with zeros, after a leading minus sign), a decimal width, and 'l' or 'h',
 * which are ignored (int and long are both 32 bits here). Anything else after '%' is printed as it
 * stands, and a '%' that ends the format prints itself.
 *
 * Bounded: nothing is ever written at or past buffer[capacity]. Returns the number of characters
 * written, not counting the terminator; when the result does not fit it returns -1 and the buffer
 * holds as much as fits, terminated (with capacity 0 nothing is written). This differs from
 * _vsnwprintf, which leaves a cut result unterminated.
 */
i32 PlatformFormatV(WChar* buffer, u32 capacity, const WChar* format, va_list args, PlatformWidenFn widen);

#endif /* KALVORI_PLATFORM_FORMAT_H */
