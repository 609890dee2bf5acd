#pragma once

#include <QString>
#include <QtGlobal>

// Dotted IPv4 text (a.b.c.d, first number most significant), its ordering key and the 32-bit
// round trip that decides whether a text is a well-formed address. Nothing here keeps state.
namespace IP_Functions {

// True exactly for four numbers 0 to 255 without leading zeros, joined by single dots, with
// nothing else but blanks (not tabs) before or after.
bool IsValidIP(const QString& text);

// The ordering key a*10^9 + b*10^6 + c*10^3 + d. Only ".0123456789" are kept; fewer than four
// pieces give 0; an empty piece is skipped whole; pieces are not range-checked.
double IPToNumber(const QString& text);

// The key back as dotted text. Throws std::overflow_error for keys of 2^31 * 10^9 and more (or
// not a number). Keys made from texts that pass IsValidIP never come near that; a caller that
// hands in keys from unchecked text must be ready for it.
QString NumberToIP(double key);

// Eight upper-case hex digits, two per number (modulo 256), or "" for fewer than four pieces.
QString IPToHex(const QString& text);
// Hex digits, padded on the left to eight, as four decimal numbers joined by ".".
QString HexToIP(const QString& hex);
// IPToHex read as a signed 32-bit number (FFFFFFFF is -1); 0 for an empty hex form.
qint32 IPToLong(const QString& text);
// The value as hex (negative values as two's complement), then HexToIP.
QString LongToIP(qint32 value);

} // namespace IP_Functions
