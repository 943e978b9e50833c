#pragma once

#include <QtGlobal>

// Screens hand out 32-bit pixels whose fourth byte is undefined (X at depth 24, a compositor's
// BGRx); Format_RGB32 wants 0xff there, or a later conversion to a format with alpha would make
// the pixel transparent.
inline void copyOpaque(uchar *destination, const uchar *source, int pixels)
{
    auto *d = reinterpret_cast<quint32 *>(destination);
    const auto *s = reinterpret_cast<const quint32 *>(source);
    for (int i = 0; i < pixels; ++i)
        d[i] = s[i] | 0xff000000u;
}
