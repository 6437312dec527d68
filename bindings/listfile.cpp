#include "listfile.h"

#include <vector>

#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>
#include <QStringList>
#include <QTextStream>

#include "bindinglist.h"
#include "processobjects.h"

namespace {

constexpr QChar fieldSeparator = QLatin1Char('|');

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

bool saveBindingList(const QString &fileName)
{
    // Written beside the old file and renamed over it on commit, so a full
    // disk or an I/O error never leaves a half-written list behind. Only a
    // folder that takes no new file, with the list itself writable, makes
    // it write in place, as a plain file would.
    QSaveFile file(fileName);
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        lastFileError() = cannotOpenText();
        return false;
    }
    QTextStream out(&file);
    const BindingList &list = bindingList();
    for (int i = 0; i < list.size(); ++i)
        out << list.bindingToLine(i) << '\n';
    out.flush();
    if (out.status() != QTextStream::Ok || !file.commit()) {
        lastFileError() = cannotSaveText();
        return false;
    }
    return true;
}

bool loadBindingList(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        lastFileError() = cannotOpenText();
        return false;
    }
    BindingList &list = bindingList();
    std::vector<KeyBinding> read;
    QTextStream in(&file);
    QString line;
    while (in.readLineInto(&line)) {
        // Files written on Windows carry CR before each LF; a CR anywhere
        // else is dropped as well.
        line.remove(QLatin1Char('\r'));
        // A blank line, typically one added by hand at the end, is no binding.
        if (line.isEmpty())
            continue;
        read.push_back(list.bindingFromLine(line));
    }
    // A read that broke off would pass for a shorter list, which the next
    // Save would then write over the whole file: take over nothing.
    if (file.error() != QFileDevice::NoError) {
        lastFileError() = cannotReadText();
        return false;
    }
    for (const KeyBinding &b : read)
        list.append(b);
    return true;
}
