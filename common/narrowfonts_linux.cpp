// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/narrowfonts.h"

QStringList narrowFamilies()
{
    return {QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("Liberation Sans Narrow"),
            QStringLiteral("Noto Sans Condensed")};
}
