// SPDX-License-Identifier: GPL-3.0-or-later
#include "bindings/listfile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <QtGlobal>
#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>
#include <QTextCodec>
#include <QTextStream>

#include "bindings/bindinglist.h"
#include "common/processobjects.h"

namespace {

constexpr QChar fieldSeparator = QLatin1Char('|');

// The largest list a file may bring in. The fullest list that means anything
// (every key of a full keyboard on every output of nine controllers) has
// about 8,000 bindings; these bounds leave room for 25 times that, read in
// well under a second, while a list the table could only show with
// gigabytes of memory, or /dev/zero, is refused before it is read.
constexpr qint64 maxListFileBytes = 16 * 1024 * 1024;
constexpr int maxListFileBindings = 200000;
constexpr int utf8Mib = 106;

QString cannotOpenText()
{
    return QCoreApplication::translate("ListFile", "Не удалось открыть файл");
}

QString cannotSaveText()
{
    return QCoreApplication::translate("ListFile", "Не удалось сохранить файл");
}

QString cannotReadText()
{
    return QCoreApplication::translate("ListFile", "Не удалось прочитать файл");
}

QString notAListFileText(const QString &fileName)
{
    return QCoreApplication::translate("ListFile",
                                       "Файл \"%1\" нельзя открыть как список клавиш: это не обычный файл, "
                                       "а устройство, канал или сокет.")
        .arg(QDir::toNativeSeparators(fileName));
}

QString tooLargeText(const QString &fileName)
{
    return QCoreApplication::translate("ListFile",
                                       "Файл \"%1\" слишком велик для списка клавиш: список может занимать "
                                       "не больше %2 МБ и содержать не больше %3 привязок.")
        .arg(QDir::toNativeSeparators(fileName))
        .arg(maxListFileBytes / (1024 * 1024))
        .arg(maxListFileBindings);
}

QString strayCarriageReturnText(const QString &fileName, int lineNumber)
{
    return QCoreApplication::translate("ListFile",
                                       "Файл \"%1\" нельзя открыть как список клавиш: в строке %2 стоит "
                                       "возврат каретки (CR) не в конце строки, и неясно, начинает ли он "
                                       "новую строку.")
        .arg(QDir::toNativeSeparators(fileName))
        .arg(lineNumber);
}

QString nulInNumberText(const QString &fileName, int lineNumber)
{
    return QCoreApplication::translate("ListFile",
                                       "Файл \"%1\" нельзя открыть как список клавиш: в строке %2 в числе "
                                       "стоит нулевой знак (NUL).")
        .arg(QDir::toNativeSeparators(fileName))
        .arg(lineNumber);
}

QString notASaveTargetText(const QString &fileName)
{
    return QCoreApplication::translate("ListFile",
                                       "Список нельзя сохранить в \"%1\": это не обычный файл, "
                                       "а устройство, канал или сокет.")
        .arg(QDir::toNativeSeparators(fileName));
}

// The system's reason for `error` (an errno value), in Russian for the ones
// a user meets with list files.
QString systemReason(int error)
{
    switch (error) {
    case ENOENT:
        return QCoreApplication::translate("ListFile", "Такого файла или папки нет.");
    case ENOTDIR:
        return QCoreApplication::translate("ListFile", "Такой папки нет.");
    case EACCES:
    case EPERM:
        return QCoreApplication::translate("ListFile", "Нет прав на этот файл или папку.");
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
        return QCoreApplication::translate("ListFile", "На диске нет места.");
    case EROFS:
        return QCoreApplication::translate("ListFile", "Диск доступен только для чтения.");
    case EISDIR:
        return QCoreApplication::translate("ListFile", "Это папка, а не файл.");
    case EFBIG:
        return QCoreApplication::translate("ListFile", "Файл превысил допустимый размер.");
    case EIO:
        return QCoreApplication::translate("ListFile", "Ошибка ввода-вывода.");
    default:
        return error != 0 ? QString::fromLocal8Bit(std::strerror(error)) : QString();
    }
}

// Sets both: the fixed text, and the file's name with the system's reason.
void fileFailed(const QString &text, const QString &fileName, int error)
{
    lastFileError() = text;
    const QString reason = systemReason(error);
    lastFileReason() = QDir::toNativeSeparators(fileName) + (reason.isEmpty() ? QString() : QLatin1Char('\n') + reason);
}

// A refusal whose text says it all: it names the file, and the system has
// no reason to add.
void fileRefused(const QString &text)
{
    lastFileError() = text;
    lastFileReason().clear();
}

// What QSaveFile met, where the system's errno is gone.
int errorOf(const QFileDevice &file, int fallback)
{
    switch (file.error()) {
    case QFileDevice::ResourceError:
        return ENOSPC;
    case QFileDevice::PermissionsError:
        return EACCES;
    default:
        return fallback;
    }
}

// Anything that is not a whole signed 32-bit decimal number reads as 0.
qint32 numberField(const QStringList &fields, int index)
{
    return index < fields.size() ? fields.at(index).toInt(nullptr, 10) : 0;
}

} // namespace

QString BindingList::bindingToLine(int position) const
{
    const KeyBinding &b = at(position);
    QString line;
    line.reserve(b.keyText.size() + 40);
    line += b.keyText;
    line += fieldSeparator;
    line += QString::number(b.keyCode);
    line += fieldSeparator;
    line += QString::number(b.controller);
    line += fieldSeparator;
    line += QString::number(b.motor);
    line += fieldSeparator;
    line += QString::number(b.speed);
    line += fieldSeparator;
    line += b.direction ? QLatin1Char('1') : QLatin1Char('0');
    return line;
}

KeyBinding BindingList::bindingFromLine(const QString &line) const
{
    // The file order is key text, code, controller, motor, speed, direction;
    // fields after the sixth are ignored, missing ones read as empty.
    const QStringList fields = line.split(fieldSeparator, Qt::KeepEmptyParts);
    KeyBinding b;
    b.keyText = fields.at(0);
    b.keyCode = numberField(fields, 1);
    b.controller = numberField(fields, 2);
    b.motor = numberField(fields, 3);
    b.speed = numberField(fields, 4);
    b.direction = fields.size() > 5 && fields.at(5) == QLatin1String("1");
    return b;
}

namespace {

// The text of a whole list file. The locale's encoding, as the format has it
// (or the one a byte order mark names); a file that is no valid UTF-8 under
// a UTF-8 locale comes from a Russian Windows, whose lists are Windows-1251.
QString decodeListFile(const QByteArray &bytes)
{
    QTextCodec *locale = QTextCodec::codecForLocale();
    QTextCodec *codec = QTextCodec::codecForUtfText(bytes, locale);
    QTextCodec::ConverterState state;
    const QString text = codec->toUnicode(bytes.constData(), bytes.size(), &state);
    if (state.invalidChars > 0 && codec == locale && locale->mibEnum() == utf8Mib) {
        if (QTextCodec *windows = QTextCodec::codecForName("Windows-1251"))
            return windows->toUnicode(bytes);
    }
    return text;
}

// The bytes of the whole list as they go into the file.
QByteArray encodeList(const BindingList &list)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    // Text mode: line ends as the platform writes them (CR LF on Windows).
    buffer.open(QIODevice::WriteOnly | QIODevice::Text);
    QTextStream out(&buffer);
    for (int i = 0; i < list.size(); ++i)
        out << list.bindingToLine(i) << '\n';
    out.flush();
    return bytes;
}

#ifdef Q_OS_UNIX

enum class ReadResult { Read, CannotOpen, NotAListFile, TooLarge, CannotRead };

ReadResult readOpenListFile(int fd, QByteArray &bytes)
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
    if (info.st_size > maxListFileBytes)
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
        if (bytes.size() + n > maxListFileBytes)
            return ReadResult::TooLarge;
        bytes.append(chunk, static_cast<int>(n));
    }
}

// Reads a list file, but only a regular one and only within the bounds: a
// FIFO is opened without waiting for a writer, and a device is never read.
ReadResult readListFile(const QString &fileName, QByteArray &bytes)
{
    const QByteArray path = QFile::encodeName(fileName);
    struct stat info;
    if (::stat(path.constData(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode))
        return ReadResult::NotAListFile;
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return ReadResult::CannotOpen;
    const ReadResult result = readOpenListFile(fd, bytes);
    // errno says why, for the caller.
    const int error = errno;
    ::close(fd);
    errno = error;
    return result;
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

// Overwrites the list file itself: for a folder that takes no new file, and
// for a file with more than one name. The space for the larger of the old
// and the new contents is reserved first; if the disk cannot give it,
// nothing is written and the old list stays as it was.
bool saveInPlace(const QString &fileName, const QByteArray &bytes)
{
    const int fd = ::open(QFile::encodeName(fileName).constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        fileFailed(cannotOpenText(), fileName, errno);
        return false;
    }
    struct stat info;
    bool saved = false;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        fileRefused(notASaveTargetText(fileName));
    } else {
        const off_t reserve = std::max<off_t>(info.st_size, bytes.size());
        // posix_fallocate says why by its result, not in errno.
        const int reserved = reserve == 0 ? 0 : ::posix_fallocate(fd, 0, reserve);
        if (reserved != 0)
            errno = reserved;
        saved = reserved == 0 && writeAll(fd, bytes) && ::ftruncate(fd, bytes.size()) == 0 && ::fsync(fd) == 0;
        if (!saved)
            fileFailed(cannotSaveText(), fileName, errno);
    }
    if (::close(fd) != 0 && saved) {
        fileFailed(cannotSaveText(), fileName, errno);
        saved = false;
    }
    return saved;
}

// What the chosen name holds before a save.
class SaveTarget
{
public:
    explicit SaveTarget(const QString &fileName)
        : exists(::stat(QFile::encodeName(fileName).constData(), &old) == 0)
    {
    }

    // A device or a FIFO under the chosen name would be replaced by a plain
    // file, or fed the list; a folder cannot be opened, as ever.
    bool refused() const { return exists && !S_ISREG(old.st_mode) && !S_ISDIR(old.st_mode); }
    bool plainFile() const { return exists && S_ISREG(old.st_mode); }
    // Every name of a file with several must go on showing the same list,
    // which a new file renamed over one of them would not.
    bool severalNames() const { return plainFile() && old.st_nlink > 1; }

    // The new file takes the old one's place: it gets the old owner, group
    // and mode where this process may (a user may pass a file only to a
    // group of their own; root may do anything).
    void passOn(int handle) const
    {
        if (!exists)
            return;
        [[maybe_unused]] const int owned = ::fchown(handle, old.st_uid, old.st_gid);
        [[maybe_unused]] const int moded = ::fchmod(handle, old.st_mode & 07777);
    }

private:
    struct stat old;
    bool exists;
};

#else

enum class ReadResult { Read, CannotOpen, TooLarge, CannotRead };

ReadResult readListFile(const QString &fileName, QByteArray &bytes)
{
    QFile file(fileName);
    if (!QFileInfo(fileName).isFile() || !file.open(QIODevice::ReadOnly))
        return ReadResult::CannotOpen;
    if (file.size() > maxListFileBytes)
        return ReadResult::TooLarge;
    bytes = file.read(maxListFileBytes + 1);
    if (file.error() != QFileDevice::NoError)
        return ReadResult::CannotRead;
    return bytes.size() > maxListFileBytes ? ReadResult::TooLarge : ReadResult::Read;
}

// Elsewhere a save always writes a new file in the old one's place.
class SaveTarget
{
public:
    explicit SaveTarget(const QString &) {}
    bool refused() const { return false; }
    bool plainFile() const { return false; }
    bool severalNames() const { return false; }
    void passOn(int) const {}
};

// No target asks for it there.
bool saveInPlace(const QString &, const QByteArray &)
{
    return false;
}

#endif

} // namespace

bool saveBindingList(const QString &fileName)
{
    const QByteArray bytes = encodeList(bindingList());
    const SaveTarget target(fileName);
    if (target.refused()) {
        fileRefused(notASaveTargetText(fileName));
        return false;
    }
    if (target.severalNames())
        return saveInPlace(fileName, bytes);
    // Written beside the old file and renamed over it on commit, so a full
    // disk or an I/O error never leaves a half-written list behind.
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly)) {
        const int error = errno;
        // Most likely a folder that takes no new file, with the list in it
        // writable.
        if (target.plainFile())
            return saveInPlace(fileName, bytes);
        fileFailed(cannotOpenText(), fileName, errorOf(file, error));
        return false;
    }
    target.passOn(file.handle());
    // The flush is checked on its own: commit() misses an error there.
    if (file.write(bytes) != bytes.size() || !file.flush() || !file.commit()) {
        fileFailed(cannotSaveText(), fileName, errorOf(file, errno));
        return false;
    }
    return true;
}

bool loadBindingList(const QString &fileName)
{
    QByteArray bytes;
    const ReadResult result = readListFile(fileName, bytes);
    const int error = errno;
    switch (result) {
    case ReadResult::Read:
        break;
    case ReadResult::CannotOpen:
        fileFailed(cannotOpenText(), fileName, error);
        return false;
#ifdef Q_OS_UNIX
    case ReadResult::NotAListFile:
        fileRefused(notAListFileText(fileName));
        return false;
#endif
    case ReadResult::TooLarge:
        fileRefused(tooLargeText(fileName));
        return false;
    case ReadResult::CannotRead:
        // A read that broke off would pass for a shorter list, which the
        // next Save would then write over the whole file: take over nothing.
        fileFailed(cannotReadText(), fileName, error);
        return false;
    }

    const QString text = decodeListFile(bytes);
    BindingList &list = bindingList();
    std::vector<KeyBinding> read;
    int lineNumber = 0;
    for (QStringRef line : text.splitRef(QLatin1Char('\n'))) {
        ++lineNumber;
        // Files written on Windows end each line in CR LF, and in CR CR LF
        // once converted twice: those CRs are the line end's.
        while (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        // Any other CR either ends a line or stands in one by mistake;
        // dropped, it would join two bindings into one, taken as a line end
        // it would split one. Neither may pass unseen into the next Save.
        if (line.contains(QLatin1Char('\r'))) {
            fileRefused(strayCarriageReturnText(fileName, lineNumber));
            return false;
        }
        // A blank line, typically one added by hand at the end, is no binding.
        if (line.isEmpty())
            continue;
        // A NUL makes a number read as 0 (a UTF-16 file without its byte
        // order mark has one in every number).
        const int keyTextEnd = line.indexOf(fieldSeparator);
        if (keyTextEnd >= 0 && line.indexOf(QChar(0), keyTextEnd) >= 0) {
            fileRefused(nulInNumberText(fileName, lineNumber));
            return false;
        }
        if (static_cast<int>(read.size()) == maxListFileBindings) {
            fileRefused(tooLargeText(fileName));
            return false;
        }
        read.push_back(list.bindingFromLine(line.toString()));
    }
    for (const KeyBinding &b : read)
        list.append(b);
    return true;
}
