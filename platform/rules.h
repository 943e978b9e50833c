#pragma once

#include <QString>
#include <cstdint>

// The string and number rules the program's logic was written against. Positions count from 1
// and in characters (Unicode code points), never in bytes or UTF-16 units.

// Truncates toward zero and saturates: beyond the 32-bit range gives INT32_MIN / INT32_MAX,
// NaN gives 0. Defined for every double.
std::int32_t realToInteger(double value);

// Position of the first occurrence of `find` in `source`, ignoring case; 0 when absent or
// when `find` is empty.
int InStr(const QString &source, const QString &find);
// The same, the search starting at character `start` (a start below 1 counts as 1); the result
// still counts from the beginning of `source`.
int InStr(int start, const QString &source, const QString &find);

// Length in characters.
int Len(const QString &source);

// From `start` to the end. A start below 1 counts as 1; past the end gives "".
QString Mid(const QString &source, int start);
// At most `length` characters from `start`; a length of 0 or less gives "".
QString Mid(const QString &source, int start, int length);

// Field `index` (from 1) of `source` split at `separator`; "" for a field that is not there.
QString NthField(const QString &source, const QString &separator, int index);

// The decimal number at the start of `text` (leading blanks and tabs skipped, an optional
// sign, digits with an optional fraction and exponent) as a double; 0 when there is none.
double Val(const QString &text);

QString Str(std::int32_t value);
QString LCase(const QString &text);
QString Chr(std::uint32_t code);
