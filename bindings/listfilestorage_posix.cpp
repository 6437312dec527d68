// SPDX-License-Identifier: GPL-3.0-or-later
#include "bindings/listfilestorage.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>

namespace listfilestorage {

namespace {

ReadResult readOpenListFile(int fd, qint64 maxBytes, QByteArray &bytes)
{
    struct stat info;
    // Checked on what was opened: the name may point elsewhere by now.
    if (::fstat(fd, &info) != 0)
        return ReadResult::CannotOpen;
    if (S_ISDIR(info.st_mode)) {
        errno = EISDIR;
        return ReadResult::CannotOpen;
    }
    if (!S_ISREG(info.st_mode))
        return ReadResult::NotAListFile;
    if (info.st_size > maxBytes)
        return ReadResult::TooLarge;
    bytes.clear();
    bytes.reserve(static_cast<int>(info.st_size));
    char chunk[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return ReadResult::CannotRead;
        if (n == 0)
            return ReadResult::Read;
        // A file that grows while it is read is held to the same bound.
        if (bytes.size() + n > maxBytes)
            return ReadResult::TooLarge;
        bytes.append(chunk, static_cast<int>(n));
    }
}

bool writeAll(int fd, const QByteArray &bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pwrite(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done), done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        done += n;
    }
    return true;
}

} // namespace

// Reads a list file, but only a regular one and only within the bounds: a
// FIFO is opened without waiting for a writer, and a device is never read.
ReadResult readListFile(const QString &fileName, qint64 maxBytes, QByteArray &bytes)
{
    const QByteArray path = QFile::encodeName(fileName);
    struct stat info;
    if (::stat(path.constData(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode))
        return ReadResult::NotAListFile;
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return ReadResult::CannotOpen;
    const ReadResult result = readOpenListFile(fd, maxBytes, bytes);
    // errno says why, for the caller.
    const int error = errno;
    ::close(fd);
    errno = error;
    return result;
}

struct SaveTarget::Old {
    struct stat info;
    bool exists = false;
};

SaveTarget::SaveTarget(const QString &fileName)
    : old(new Old)
{
    old->exists = ::stat(QFile::encodeName(fileName).constData(), &old->info) == 0;
}

SaveTarget::~SaveTarget() = default;

bool SaveTarget::refused() const
{
    return old->exists && !S_ISREG(old->info.st_mode) && !S_ISDIR(old->info.st_mode);
}

bool SaveTarget::plainFile() const
{
    return old->exists && S_ISREG(old->info.st_mode);
}

bool SaveTarget::severalNames() const
{
    return plainFile() && old->info.st_nlink > 1;
}

void SaveTarget::passOn(int handle) const
{
    if (!old->exists)
        return;
    // A user may pass a file only to a group of their own; root may do
    // anything.
    [[maybe_unused]] const int owned = ::fchown(handle, old->info.st_uid, old->info.st_gid);
    [[maybe_unused]] const int moded = ::fchmod(handle, old->info.st_mode & 07777);
}

// For a folder that takes no new file, and for a file with more than one
// name. The space for the larger of the old and the new contents is
// reserved first; if the disk cannot give it, nothing is written and the
// old list stays as it was.
InPlace saveInPlace(const QString &fileName, const QByteArray &bytes)
{
    const int fd = ::open(QFile::encodeName(fileName).constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return InPlace::CannotOpen;
    struct stat info;
    InPlace result = InPlace::CannotSave;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        result = InPlace::NotAFile;
    } else {
        const off_t reserve = std::max<off_t>(info.st_size, bytes.size());
        // posix_fallocate says why by its result, not in errno.
        const int reserved = reserve == 0 ? 0 : ::posix_fallocate(fd, 0, reserve);
        if (reserved != 0)
            errno = reserved;
        if (reserved == 0 && writeAll(fd, bytes) && ::ftruncate(fd, bytes.size()) == 0 && ::fsync(fd) == 0)
            result = InPlace::Saved;
    }
    const int error = errno;
    if (::close(fd) != 0 && result == InPlace::Saved)
        return InPlace::CannotSave;
    errno = error;
    return result;
}

bool quotaExceeded(int error)
{
    return error == EDQUOT;
}

int lastSystemError()
{
    return errno;
}

} // namespace listfilestorage
