#include "Position.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

uint32_t Parse_ulong(const char *text)
{
    char buffer[11] = {0};
    strncpy(buffer, text, 10);
    const char *digits = buffer;
    int base = 10;
    if (buffer[0] == '0' && toupper((unsigned char)buffer[1]) == 'X') {
        digits = buffer + 2;
        base = 16;
    }
    errno = 0;
    const unsigned long long value = strtoull(digits, NULL, base);
    const char *sign = digits;
    while (*sign == ' ' || (*sign >= '\t' && *sign <= '\r'))
        sign++;
    const bool negative = *sign == '-';
    const unsigned long long magnitude = negative ? 0 - value : value;
    if (errno == ERANGE || magnitude > 0xFFFFFFFFu)
        return 0xFFFFFFFFu;
    return (uint32_t)(negative ? 0 - magnitude : magnitude);
}

DataPosition ParsePosition(const char *text)
{
    DataPosition at;
    at.number = Parse_ulong(text);
    if (text[0] != '/')
        return at;
    at.path = text;
    const size_t plus = at.path.rfind('+');
    if (plus == std::string::npos)
        return at;
    const char *digits = at.path.c_str() + plus + 1;
    int base = 10;
    if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits += 2, base = 16;
    if (*digits == '\0' || strspn(digits, base == 16 ? "0123456789abcdefABCDEF" : "0123456789") != strlen(digits))
        return at;
    errno = 0;
    at.offset = strtoull(digits, NULL, base);
    if (errno == ERANGE)
        at.offset = UINT64_MAX;
    at.path.erase(plus);
    return at;
}
