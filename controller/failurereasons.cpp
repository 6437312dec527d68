// SPDX-License-Identifier: GPL-3.0-or-later
#include "controller/failurereasons.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include "ftmsclib/ftmsclib.h"
#ifdef Q_OS_LINUX
#include <unistd.h>

#include "rendezvous/openfiles.h"
#endif

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("FailureReasons", text);
}

// "kavrik (pid 1234), ModemManager (pid 99)": the programs the system shows
// holding the port; empty when it shows none.
QString portHolders(const QString &port, bool &thisProgram)
{
    thisProgram = false;
    QStringList holders;
#ifdef Q_OS_LINUX
    const QString canonical = QFileInfo(port).canonicalFilePath();
    for (const long pid : rendezvous::processesHolding(QFile::encodeName(canonical.isEmpty() ? port : canonical).toStdString(), 4)) {
        const QString name = QString::fromStdString(rendezvous::processName(pid));
        if (pid == static_cast<long>(::getpid())) {
            thisProgram = true;
            continue;
        }
        // A program's guardian holds its port beside it (ftmsclib-guardian,
        // the name cut to 15 characters): the program is the one to name.
        if (name.startsWith(QLatin1String("ftmsclib-guard")))
            continue;
        holders.append(QStringLiteral("%1 (pid %2)").arg(name).arg(pid));
    }
#else
    Q_UNUSED(port)
#endif
    return holders.join(QStringLiteral(", "));
}

bool bluetoothPort(const QString &port)
{
    return QFileInfo(port).fileName().startsWith(QLatin1String("rfcomm"));
}

} // namespace

QString openFailureReason(const QString &port, quint32 errorCode)
{
    switch (errorCode) {
    case FTLIB_ERR_SUCCESS:
        return QString();
    case FTLIB_ERR_DEVICE_IS_OPEN: {
        bool thisProgram = false;
        const QString holders = portHolders(port, thisProgram);
        if (!holders.isEmpty())
            return tr("Порт %1 занят другой программой: %2.").arg(port, holders);
        if (thisProgram)
            return tr("Порт %1 уже открыт в этой программе.").arg(port);
        return tr("Порт %1 занят другой программой.").arg(port);
    }
    case FTLIB_ERR_ACCESS_DENIED:
        return tr("Нет прав на порт %1. Добавьте пользователя в группу dialout "
                  "(sudo usermod -aG dialout $USER) и войдите в систему заново, или установите пакет Kavrik: "
                  "его правило udev даёт доступ к контроллеру на USB.")
            .arg(port);
    case FTLIB_ERR_OPEN_COM:
        if (bluetoothPort(port))
            return tr("Порт Bluetooth %1 не привязан к контроллеру: сопрягите контроллер и привяжите порт "
                      "командой rfcomm bind.")
                .arg(port);
        return tr("Порт %1 не найден или не открывается: контроллер отключён, или это не последовательный порт.")
            .arg(port);
    case FTLIB_ERR_INIT_COM_TIMEOUT: {
        // A program that opened the port before, without taking it for
        // itself, may be reading the controller's answers away.
        bool thisProgram = false;
        const QString holders = portHolders(port, thisProgram);
        if (!holders.isEmpty())
            return tr("Контроллер на порту %1 не ответил: порт открыт ещё и в другой программе, она может "
                      "забирать его ответы: %2. Закройте её и подключитесь снова.")
                .arg(port, holders);
        return tr("Контроллер на порту %1 не ответил. Включён ли он, и тот ли это порт?").arg(port);
    }
    case FTLIB_ERR_INIT_COM:
        return tr("На порту %1 отвечает не контроллер ROBO TX: пришли неожиданные данные.").arg(port);
    default:
        return tr("Библиотека контроллера ответила кодом 0x%1.").arg(errorCode, 8, 16, QLatin1Char('0'));
    }
}

QString linkLossReason(quint32 status)
{
    switch (status) {
    case FTLIB_ERR_SUCCESS:
        return QString();
    case FTLIB_ERR_OPEN_COM:
        return tr("Порт пропал: кабель отключён, или контроллер выключен.");
    case FTLIB_ERR_TIMEOUT_TA:
        return tr("Контроллер перестал отвечать: на линии тишина.");
    default:
        return tr("Библиотека контроллера ответила кодом 0x%1.").arg(status, 8, 16, QLatin1Char('0'));
    }
}
