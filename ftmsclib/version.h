// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>

// The version the library reports; the program compares the text byte for
// byte, so it keeps the vendor library's form.
namespace ftlib {

constexpr char kVersionText[] = "01.05.11  (2012/02/19)";
constexpr std::uint32_t kVersionWord = (1u << 16) | (5u << 8) | 11u;

} // namespace ftlib
