// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>

#include <QByteArray>
#include <QString>

// The platform's part of the list file: how a file is read within its
// bound, and what a save makes of what the chosen name holds now. The list
// file's format and its texts stay in listfile.cpp; these report the
// system's reason in errno. One file per platform, chosen by the build.
namespace listfilestorage {

enum class ReadResult { Read, CannotOpen, NotAListFile, TooLarge, CannotRead };

// Reads a whole list file of at most maxBytes, but only a regular one: a
// FIFO is not waited on, a device never read.
ReadResult readListFile(const QString &fileName, qint64 maxBytes, QByteArray &bytes);

// What the chosen name holds before a save.
class SaveTarget
{
public:
    explicit SaveTarget(const QString &fileName);
    ~SaveTarget();
    SaveTarget(const SaveTarget &) = delete;
    SaveTarget &operator=(const SaveTarget &) = delete;

    // A device or a FIFO under the chosen name would be replaced by a plain
    // file, or fed the list; a folder cannot be opened, as ever.
    bool refused() const;
    bool plainFile() const;
    // Every name of a file with several must go on showing the same list,
    // which a new file renamed over one of them would not.
    bool severalNames() const;
    // The new file (its system handle) takes the old one's place: owner,
    // group and mode where this process may.
    void passOn(int handle) const;

private:
    struct Old;
    std::unique_ptr<Old> old;
};

enum class InPlace { Saved, CannotOpen, NotAFile, CannotSave };

// Overwrites the list file itself, for the targets above that ask for it
// (the platforms without such targets never do).
InPlace saveInPlace(const QString &fileName, const QByteArray &bytes);

// Whether a write failed on the user's disk quota: told as a full disk.
bool quotaExceeded(int error);

// The reason the last failed call of the toolkit's files gave the system,
// as an errno value (Windows keeps it elsewhere); 0 when unknown.
int lastSystemError();

} // namespace listfilestorage
