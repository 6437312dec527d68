// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QStringList>

// Narrow font families the platform's desktops commonly have, tried after
// the window's own when a caption does not fit; the ones not installed are
// passed over. One file per platform, chosen by the build.
QStringList narrowFamilies();
