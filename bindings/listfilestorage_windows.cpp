// SPDX-License-Identifier: GPL-3.0-or-later
// Windows: through the toolkit's files, and a save always writes a new file
// in the old one's place.
#include "bindings/listfilestorage.h"

#include <cerrno>

#include <windows.h>

#include <QFile>
#include <QFileInfo>

namespace listfilestorage {

ReadResult readListFile(const QString &fileName, qint64 maxBytes, QByteArray &bytes)
{
    const QFileInfo info(fileName);
    // errno carries the reason the list file's texts show.
    if (!info.exists()) {
        errno = ENOENT;
        return ReadResult::CannotOpen;
    }
    if (info.isDir()) {
        errno = EISDIR;
        return ReadResult::CannotOpen;
    }
    if (!info.isFile())
        return ReadResult::NotAListFile;
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        errno = file.error() == QFileDevice::PermissionsError || !info.isReadable() ? EACCES : 0;
        return ReadResult::CannotOpen;
    }
    if (file.size() > maxBytes)
        return ReadResult::TooLarge;
    bytes = file.read(maxBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        errno = EIO;
        return ReadResult::CannotRead;
    }
    return bytes.size() > maxBytes ? ReadResult::TooLarge : ReadResult::Read;
}

struct SaveTarget::Old {
};

SaveTarget::SaveTarget(const QString &)
{
}

SaveTarget::~SaveTarget() = default;

bool SaveTarget::refused() const
{
    return false;
}

bool SaveTarget::plainFile() const
{
    return false;
}

bool SaveTarget::severalNames() const
{
    return false;
}

void SaveTarget::passOn(int) const
{
}

InPlace saveInPlace(const QString &, const QByteArray &)
{
    return InPlace::CannotSave;
}

bool quotaExceeded(int)
{
    return false;
}

int lastSystemError()
{
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_WRITE_PROTECT:
        return EROFS;
    case ERROR_DIRECTORY:
        return EISDIR;
    case ERROR_FILE_TOO_LARGE:
        return EFBIG;
    case ERROR_CRC:
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
    case ERROR_GEN_FAILURE:
        return EIO;
    default:
        return 0;
    }
}

} // namespace listfilestorage
