// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/narrowfonts.h"

QStringList narrowFamilies()
{
    // Bahnschrift's condensed widths come with Windows 10 and later, Arial
    // Narrow with Office; Wine offers the Linux fonts it finds.
    return {QStringLiteral("Bahnschrift SemiCondensed"), QStringLiteral("Arial Narrow"),
            QStringLiteral("Bahnschrift Condensed"), QStringLiteral("DejaVu Sans Condensed"),
            QStringLiteral("Liberation Sans Narrow")};
}
