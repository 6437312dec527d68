// SPDX-License-Identifier: GPL-3.0-or-later
// A whole list file, opened and saved the way the program's Open and Save do,
// in the two encodings list files come in: UTF-8 (a Linux locale) and
// Windows-1251 (the files of a Russian Windows).
//
// Open must take any readable file or refuse it naming a line (a CR that is
// no line end, a NUL in a number), appending nothing then; and a list must
// survive Save and Open unchanged. Two things it cannot keep, by the nature of text files:
// characters the encoding lacks (the first Save replaces them, so from then
// on the file is stable), and a file that starts with the bytes of a
// byte-order mark, which Open takes as the mark of the file's encoding.
#include <cstddef>
#include <cstdint>
#include <memory>

#include <QFile>
#include <QList>
#include <QTemporaryDir>
#include <QTextCodec>

#include "bindings/bindinglist.h"
#include "bindings/listfile.h"
#include "common/processobjects.h"
#include "fuzz/fuzzinput.h"

namespace {

// Made once, removed when the fuzzer exits. Memory-backed where possible:
// Save syncs every file it writes.
QTemporaryDir &scratchDir()
{
    static const std::unique_ptr<QTemporaryDir> dir = [] {
        auto made = std::make_unique<QTemporaryDir>(QStringLiteral("/dev/shm/kavrik-fuzz-XXXXXX"));
        if (!made->isValid())
            made = std::make_unique<QTemporaryDir>();
        return made;
    }();
    return *dir;
}

QList<KeyBinding> listed()
{
    QList<KeyBinding> all;
    for (int i = 0; i < bindingList().size(); ++i)
        all.append(bindingList().at(i));
    return all;
}

QByteArray fileBytes(const QString &name)
{
    QFile file(name);
    require(file.open(QIODevice::ReadOnly), "a saved file can be read");
    return file.readAll();
}

bool encodable(const QList<KeyBinding> &list, const QTextCodec *codec)
{
    for (const KeyBinding &b : list) {
        // Stricter than canEncode(), which passes a lone surrogate.
        if (codec->toUnicode(codec->fromUnicode(b.keyText)) != b.keyText)
            return false;
    }
    return true;
}

bool startsWithByteOrderMark(const QByteArray &bytes)
{
    return bytes.startsWith("\xEF\xBB\xBF") || bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF")
        || bytes.startsWith(QByteArray("\x00\x00\xFE\xFF", 4));
}

// Opens the input as a list file, saves it, opens the saved file and saves
// it again, comparing each step.
void roundTrip(const QString &input, int lineCount, QTextCodec *codec)
{
    QTextCodec::setCodecForLocale(codec);
    const QString saved = scratchDir().filePath(QStringLiteral("saved.kvr"));
    bindingList().clear();
    lastFileError().clear();
    if (!loadBindingList(input)) {
        require(lastFileError().contains(QStringLiteral(": в строке ")), "a readable file opens or a line is named");
        require(bindingList().size() == 0, "a refused file appends nothing");
        return;
    }
    require(lastFileError().isEmpty(), "no error after a successful open");
    const QList<KeyBinding> opened = listed();
    require(opened.size() <= lineCount, "at most one binding per line");

    require(saveBindingList(saved), "the list saves");
    const QByteArray first = fileBytes(saved);
    if (startsWithByteOrderMark(first))
        return;
    bindingList().clear();
    require(loadBindingList(saved), "the saved file opens");
    const QList<KeyBinding> reopened = listed();
    require(reopened.size() == opened.size(), "as many bindings after Save and Open");
    if (encodable(opened, codec))
        require(reopened == opened, "the list survives Save and Open");

    require(saveBindingList(saved), "the list saves again");
    require(fileBytes(saved) == first, "a saved file stays the same through Open and Save");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    require(scratchDir().isValid(), "a scratch folder");
    const QString input = scratchDir().filePath(QStringLiteral("input.kvr"));
    {
        QFile file(input);
        require(file.open(QIODevice::WriteOnly | QIODevice::Truncate), "the input file can be written");
        require(file.write(reinterpret_cast<const char *>(data), static_cast<qint64>(size)) == static_cast<qint64>(size),
                "the input file is written whole");
    }
    const int lineCount = static_cast<int>(QByteArray::fromRawData(reinterpret_cast<const char *>(data),
                                                                    static_cast<int>(size)).count('\n')) + 1;
    roundTrip(input, lineCount, QTextCodec::codecForName("UTF-8"));
    roundTrip(input, lineCount, QTextCodec::codecForName("Windows-1251"));
    bindingList().clear();
    return 0;
}
