// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// Writes the whole binding list to a list file, one binding per line, in
// the locale's encoding. The old file is replaced only when everything was
// written, keeping its owner, group and mode where the process may; a file
// whose folder takes no new file, or that has several names, is written in
// place once the space is reserved. On failure the old file is left as it
// was, lastFileError() says why, and the result is false; a device, FIFO or
// socket under the name is never written to.
bool saveBindingList(const QString &fileName);

// Appends the bindings of a list file to the binding list. Only a regular
// file of at most 16 MiB and 200,000 bindings is read, in the locale's
// encoding (Windows-1251 for a file that is no UTF-8 under a UTF-8 locale).
// A CR is part of the line end before LF or at the end of the file; a file
// with a CR anywhere else, or a NUL in a field after the key text, is
// refused, naming the line. On failure (not such a file, or it cannot be
// opened or not be read to its end) nothing is appended, lastFileError()
// says why, and the result is false.
bool loadBindingList(const QString &fileName);
