/* The bounded UTF-16 formatter of both platform layers; see format.h. */
#include "platform/format.h"

/* --- output ------------------------------------------------------------------------------------ */

/* The buffer being filled. Once a character does not fit, Full is set and nothing more is written. */
typedef struct FormatOutput {
    WChar* Buffer;
    u32 Capacity;
    u32 Length;
    OsBool Full;
} FormatOutput;

static void Put(FormatOutput* out, WChar c)
{
    if (out->Full) return;
    if (out->Length + 1 < out->Capacity) {
        out->Buffer[out->Length++] = c;
    } else {
        out->Full = OS_TRUE;
    }
}

/* --- fields ------------------------------------------------------------------------------------ */

/* The text of one conversion: Length characters of Wide, or the narrow string Narrow. */
typedef struct FormatField {
    const WChar* Wide;
    const char* Narrow;
    u32 Length;
} FormatField;

static const WChar NullText[] = { '(', 'n', 'u', 'l', 'l', ')', 0 };
static const WChar HexLower[] = { '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f' };
static const WChar HexUpper[] = { '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B', 'C', 'D', 'E', 'F' };

/* Room for the longest number: a minus sign and ten decimal digits. */
#define FORMAT_DIGITS 12

static void SetWide(FormatField* field, const WChar* text)
{
    if (!text) text = NullText;
    field->Wide = text;
    field->Narrow = 0;
    field->Length = 0;
    while (text[field->Length]) field->Length++;
}

static void SetNarrow(FormatField* field, const char* text, PlatformWidenFn widen)
{
    if (!text) {
        SetWide(field, NullText);
        return;
    }
    WChar c;
    field->Wide = 0;
    field->Narrow = text;
    field->Length = 0;
    while (*text) {
        text += widen(text, &c);
        field->Length++;
    }
}

/* Writes the digits of value in the given base at the end of digits; returns where they start. */
static WChar* Digits(WChar* digits, u32 value, u32 base, const WChar* symbols)
{
    WChar* p = digits + FORMAT_DIGITS;
    do {
        *--p = symbols[value % base];
        value /= base;
    } while (value);
    return p;
}

static void SetNumber(FormatField* field, WChar* digits, u32 magnitude, OsBool negative, u32 base,
                      const WChar* symbols)
{
    WChar* start = Digits(digits, magnitude, base, symbols);
    if (negative) *--start = '-';
    field->Wide = start;
    field->Narrow = 0;
    field->Length = (u32)(digits + FORMAT_DIGITS - start);
}

/* Writes the field's characters, leaving out the first one when skipFirst is set. */
static void PutField(FormatOutput* out, const FormatField* field, OsBool skipFirst, PlatformWidenFn widen)
{
    if (field->Narrow) {
        const char* text = field->Narrow;
        WChar c;
        for (u32 i = 0; *text && !out->Full; i++) {
            text += widen(text, &c);
            if (i > 0 || !skipFirst) Put(out, c);
        }
        return;
    }
    for (u32 i = skipFirst ? 1 : 0; i < field->Length && !out->Full; i++) Put(out, field->Wide[i]);
}

static void PutPad(FormatOutput* out, WChar c, u32 count)
{
    for (u32 i = 0; i < count && !out->Full; i++) Put(out, c);
}

static WChar FirstChar(const FormatField* field, PlatformWidenFn widen)
{
    if (field->Length == 0) return 0;
    if (!field->Narrow) return field->Wide[0];
    WChar c;
    widen(field->Narrow, &c);
    return c;
}

/* --- the formatter ----------------------------------------------------------------------------- */

i32 PlatformFormatV(WChar* buffer, u32 capacity, const WChar* format, va_list args, PlatformWidenFn widen)
{
    FormatOutput out;
    out.Buffer = buffer;
    out.Capacity = capacity;
    out.Length = 0;
    out.Full = capacity == 0;

    for (const WChar* f = format; *f && !out.Full; ++f) {
        if (*f != '%') {
            Put(&out, *f);
            continue;
        }
        ++f;
        OsBool left = OS_FALSE;
        OsBool zero = OS_FALSE;
        for (;; ++f) {
            if (*f == '-') {
                left = OS_TRUE;
            } else if (*f == '0') {
                zero = OS_TRUE;
            } else {
                break;
            }
        }
        u32 width = 0;
        for (; *f >= '0' && *f <= '9'; ++f) {
            /* a width beyond any buffer only has to stay beyond it */
            if (width < 0x10000u) width = width * 10 + (u32)(*f - '0');
        }
        while (*f == 'l' || *f == 'h') ++f;

        FormatField field;
        WChar digits[FORMAT_DIGITS];
        switch (*f) {
        case 's':
            SetWide(&field, va_arg(args, const WChar*));
            break;
        case 'S':
            SetNarrow(&field, va_arg(args, const char*), widen);
            break;
        case 'c':
            digits[0] = (WChar)va_arg(args, int);
            field.Wide = digits;
            field.Narrow = 0;
            field.Length = 1;
            break;
        case 'd':
        case 'i': {
            i32 value = va_arg(args, i32);
            /* the magnitude in unsigned arithmetic, so that the most negative value has one too */
            u32 magnitude = value < 0 ? 0u - (u32)value : (u32)value;
            SetNumber(&field, digits, magnitude, value < 0, 10, HexLower);
            break;
        }
        case 'u':
            SetNumber(&field, digits, va_arg(args, u32), OS_FALSE, 10, HexLower);
            break;
        case 'x':
            SetNumber(&field, digits, va_arg(args, u32), OS_FALSE, 16, HexLower);
            break;
        case 'X':
            SetNumber(&field, digits, va_arg(args, u32), OS_FALSE, 16, HexUpper);
            break;
        case 0:
            --f; /* a '%' that ends the format: print it, and let the loop see the end */
            digits[0] = '%';
            field.Wide = digits;
            field.Narrow = 0;
            field.Length = 1;
            break;
        case '%':
            digits[0] = '%';
            field.Wide = digits;
            field.Narrow = 0;
            field.Length = 1;
            break;
        default: /* not a conversion: printed as it stands */
            digits[0] = '%';
            digits[1] = *f;
            field.Wide = digits;
            field.Narrow = 0;
            field.Length = 2;
            break;
        }

        u32 pad = field.Length < width ? width - field.Length : 0;
        WChar padChar = zero && !left ? '0' : ' ';
        OsBool signFirst = zero && !left && FirstChar(&field, widen) == '-';
        if (signFirst) Put(&out, '-');
        if (!left) PutPad(&out, padChar, pad);
        PutField(&out, &field, signFirst, widen);
        if (left) PutPad(&out, padChar, pad);
    }

    if (capacity > 0) buffer[out.Length] = 0;
    return out.Full ? -1 : (i32)out.Length;
}
