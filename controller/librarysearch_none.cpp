// SPDX-License-Identifier: GPL-3.0-or-later
#include "controller/librarysearch.h"

void restrictLibrarySearch()
{
}
