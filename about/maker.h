// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Who makes the program and where to find newer versions: the one place to
// change when the program moves.
namespace Maker {
inline constexpr char siteAddress[] = "https://kavrik.example.org";
inline constexpr char developerName[] = "Kavrik Team";
} // namespace Maker
