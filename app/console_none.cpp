// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/console.h"

void useParentConsole()
{
}
