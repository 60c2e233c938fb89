// Turning an entered PIN into the bytes or 32-bit words a token expects.
#include "ui_internal.h"

#include <cstring>

namespace {

// The value of one digit in base 16 or 10, or -1.
int digit_value(char c, int base) {
    if (c >= '0' && c <= '9') return c - '0';
    if (base == 16) {
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    }
    return -1;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Reads one unsigned number of at most `width` characters the way "%<width>lX"
// or "%<width>lu" would: leading white space skipped, an optional sign, a
// "0x" prefix in base 16, then digits.  The value is kept modulo 2^32 (a
// minus sign negates it there).  False when no digit follows.
bool scan_number(const char *text, int width, int base, DWORD *value) {
    while (is_space(*text)) text++;
    bool negative = false;
    if ((*text == '+' || *text == '-') && width > 0) {
        negative = *text == '-';
        text++;
        width--;
    }
    if (base == 16 && width >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
        digit_value(text[2], 16) >= 0 && width > 2) {
        text += 2;
        width -= 2;
    }
    unsigned long long v = 0;
    int digits = 0;
    for (; digits < width; digits++) {
        int d = digit_value(text[digits], base);
        if (d < 0) break;
        v = v * (unsigned)base + (unsigned)d;
    }
    if (digits == 0) return false;
    DWORD low = (DWORD)v;
    *value = negative ? (DWORD)(0u - low) : low;
    return true;
}

} // namespace

DWORD encode_entry(BYTE mode, const char *text, BYTE *out, DWORD size) {
    std::memset(out, 0, size);
    const size_t length = std::strlen(text);
    const bool hex = (mode & (ENCODE_CLASS_HEX | ENCODE_CLASS_PACKED)) != 0;
    const bool decimal = !hex && (mode & ENCODE_CLASS_NUMERIC) != 0;
    if (!hex && !decimal) return 0;
    DWORD written = 0;
    if (mode & ENCODE_WORDS) {
        const int width = hex ? 8 : 10;
        for (size_t pos = 0; pos < length && written + 4 <= size; pos += width) {
            DWORD word;
            if (!scan_number(text + pos, width, hex ? 16 : 10, &word)) break;
            out[written++] = (BYTE)word;
            out[written++] = (BYTE)(word >> 8);
            out[written++] = (BYTE)(word >> 16);
            out[written++] = (BYTE)(word >> 24);
        }
        return written;
    }
    const int base = hex ? 16 : 10;
    // A character that is no digit of the base counts as 0xFF.
    auto value = [base](char c) {
        int d = digit_value(c, base);
        return d < 0 ? 0xFF : d;
    };
    for (DWORD i = 0; i < size && 2 * (size_t)i < length; i++) {
        const char *pair = text + 2 * (size_t)i;
        out[i] = 2 * (size_t)i + 1 < length ? (BYTE)((value(pair[0]) << 4) | value(pair[1])) : (BYTE)value(pair[0]);
        written++;
    }
    return written;
}
