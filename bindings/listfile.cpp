// SPDX-License-Identifier: GPL-3.0-or-later
#include "bindings/listfile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

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
#include "bindings/listfilestorage.h"
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

QString badEndSwitchText(const QString &fileName, int lineNumber)
{
    return QCoreApplication::translate("ListFile",
                                       "Файл \"%1\" нельзя открыть как список клавиш: в строке %2 "
                                       "концевой выключатель (седьмое поле) не вход I1–I8: ожидается "
                                       "число от 1 до 8 или пустое поле.")
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
    if (listfilestorage::quotaExceeded(error))
        error = ENOSPC;
    switch (error) {
    case ENOENT:
        return QCoreApplication::translate("ListFile", "Такого файла или папки нет.");
    case ENOTDIR:
        return QCoreApplication::translate("ListFile", "Такой папки нет.");
    case EACCES:
    case EPERM:
        return QCoreApplication::translate("ListFile", "Нет прав на этот файл или папку.");
    case ENOSPC:
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

// The seventh field: absent or empty is none, a single digit 1-8 the input;
// anything else -1, which the reading refuses rather than drive a motor
// past a switch the file meant to name.
qint32 endSwitchField(const QStringList &fields)
{
    constexpr int index = 6;
    if (fields.size() <= index || fields.at(index).isEmpty())
        return 0;
    const QString &field = fields.at(index);
    const int digit = field.at(0).unicode() - '0';
    return field.size() == 1 && digit >= 1 && digit <= maxEndSwitch ? digit : -1;
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
    // Without a switch the line stays as six-field readers wrote it, so a
    // list without switches is saved byte for byte as before.
    if (b.endSwitch != 0) {
        line += fieldSeparator;
        line += QString::number(b.endSwitch);
    }
    return line;
}

KeyBinding BindingList::bindingFromLine(const QString &line) const
{
    // The file order is key text, code, controller, motor, speed, direction,
    // end switch; fields after the seventh are ignored, missing ones read as
    // empty. Six-field readers ignore the seventh, so such lists load there.
    const QStringList fields = line.split(fieldSeparator, Qt::KeepEmptyParts);
    KeyBinding b;
    b.keyText = fields.at(0);
    b.keyCode = numberField(fields, 1);
    b.controller = numberField(fields, 2);
    b.motor = numberField(fields, 3);
    b.speed = numberField(fields, 4);
    b.direction = fields.size() > 5 && fields.at(5) == QLatin1String("1");
    b.endSwitch = endSwitchField(fields);
    return b;
}

namespace {

// Bytes beyond ASCII that are all valid UTF-8: under an 8-bit locale such a
// file is taken for one written on a UTF-8 system.
bool readsAsUtf8(const QByteArray &bytes)
{
    const bool beyondAscii =
        std::any_of(bytes.cbegin(), bytes.cend(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    if (!beyondAscii)
        return false;
    QTextCodec::ConverterState state;
    QTextCodec::codecForMib(utf8Mib)->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
}

// The text of a whole list file. The locale's encoding, as the format has it
// (or the one a byte order mark names); a file that is no valid UTF-8 under
// a UTF-8 locale comes from a Russian Windows, whose lists are Windows-1251,
// and under an 8-bit locale (a Windows code page) a file whose letters
// beyond ASCII are all valid UTF-8 comes from a UTF-8 system such as Linux:
// such sequences are next to never Cyrillic text in Windows-1251.
QString decodeListFile(const QByteArray &bytes)
{
    QTextCodec *locale = QTextCodec::codecForLocale();
    QTextCodec *codec = QTextCodec::codecForUtfText(bytes, locale);
    QTextCodec::ConverterState state;
    const QString text = codec->toUnicode(bytes.constData(), bytes.size(), &state);
    if (codec != locale)
        return text;
    if (state.invalidChars > 0 && locale->mibEnum() == utf8Mib) {
        if (QTextCodec *windows = QTextCodec::codecForName("Windows-1251"))
            return windows->toUnicode(bytes);
    }
    if (locale->mibEnum() != utf8Mib && readsAsUtf8(bytes))
        return QTextCodec::codecForMib(utf8Mib)->toUnicode(bytes);
    return text;
}

QByteArray encodeList(const BindingList &list, QTextCodec *codec, bool byteOrderMark)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    // Text mode: line ends as the platform writes them (CR LF on Windows).
    buffer.open(QIODevice::WriteOnly | QIODevice::Text);
    QTextStream out(&buffer);
    out.setCodec(codec);
    out.setGenerateByteOrderMark(byteOrderMark);
    for (int i = 0; i < list.size(); ++i)
        out << list.bindingToLine(i) << '\n';
    out.flush();
    return bytes;
}

// The bytes of the whole list as they go into the file: the locale's
// encoding. Where those would read back as UTF-8 (see decodeListFile), the
// list goes as UTF-8 behind a byte order mark, which the reading honours
// first: a list must open as it was saved.
QByteArray encodeList(const BindingList &list)
{
    QTextCodec *locale = QTextCodec::codecForLocale();
    const QByteArray bytes = encodeList(list, locale, false);
    if (locale->mibEnum() != utf8Mib && readsAsUtf8(bytes))
        return encodeList(list, QTextCodec::codecForMib(utf8Mib), true);
    return bytes;
}

using listfilestorage::ReadResult;

// Overwrites the list file itself, saying why where it cannot.
bool saveInPlace(const QString &fileName, const QByteArray &bytes)
{
    switch (listfilestorage::saveInPlace(fileName, bytes)) {
    case listfilestorage::InPlace::Saved:
        return true;
    case listfilestorage::InPlace::CannotOpen:
        fileFailed(cannotOpenText(), fileName, errno);
        return false;
    case listfilestorage::InPlace::NotAFile:
        fileRefused(notASaveTargetText(fileName));
        return false;
    case listfilestorage::InPlace::CannotSave:
        break;
    }
    fileFailed(cannotSaveText(), fileName, errno);
    return false;
}

} // namespace

bool saveBindingList(const QString &fileName)
{
    const QByteArray bytes = encodeList(bindingList());
    const listfilestorage::SaveTarget target(fileName);
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
        const int error = listfilestorage::lastSystemError();
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
        fileFailed(cannotSaveText(), fileName, errorOf(file, listfilestorage::lastSystemError()));
        return false;
    }
    return true;
}

bool loadBindingList(const QString &fileName)
{
    QByteArray bytes;
    const ReadResult result = listfilestorage::readListFile(fileName, maxListFileBytes, bytes);
    const int error = errno;
    switch (result) {
    case ReadResult::Read:
        break;
    case ReadResult::CannotOpen:
        fileFailed(cannotOpenText(), fileName, error);
        return false;
    case ReadResult::NotAListFile:
        fileRefused(notAListFileText(fileName));
        return false;
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
        const KeyBinding b = list.bindingFromLine(line.toString());
        if (b.endSwitch < 0) {
            fileRefused(badEndSwitchText(fileName, lineNumber));
            return false;
        }
        read.push_back(b);
    }
    for (const KeyBinding &b : read)
        list.append(b);
    return true;
}
