// The positions a user types after -p, read one way for every driver: the
// command line and the web page hand the same text to the same parser.
#ifndef EXSPACK_POSITION_H
#define EXSPACK_POSITION_H

#include <stdint.h>

#include "ImageView.h"

// A number as a 32-bit strtoul reads it on every platform: decimal, or hex
// after 0x; reading stops at the first character that is no digit (so
// "2D000" is 2, and text with no digits 0). A value too large for 32 bits,
// a negative one included, saturates to 0xFFFFFFFF rather than wrapping
// round to a small position.
uint32_t Parse_ulong(const char *text);

// A -p value: the number Parse_ulong reads; or, for text starting with '/',
// "/PATH+0xOFFSET", "/PATH+OFFSET" (decimal) or "/PATH", that byte of the
// disc's file, which the image view locates (ImageView::Locate), an offset
// too large for 64 bits saturated. Never fails: what the text means is the
// container's to refuse.
DataPosition ParsePosition(const char *text);

#endif
