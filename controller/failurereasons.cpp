// SPDX-License-Identifier: GPL-3.0-or-later
#include "controller/failurereasons.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include "ftmsclib/ftmsclib.h"
#include "rendezvous/portfailure.h"

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("FailureReasons", text);
}

// "kavrik (pid 1234), ModemManager (pid 99)": the other programs the system
// shows holding the port; empty when it shows none.
QString otherHolders(const rendezvous::PortFailure &failure)
{
    QStringList holders;
    for (const rendezvous::PortHolder &holder : failure.holders) {
        if (!holder.thisProcess)
            holders.append(QStringLiteral("%1 (pid %2)").arg(QString::fromStdString(holder.program)).arg(holder.pid));
    }
    return holders.join(QStringLiteral(", "));
}

bool heldHere(const rendezvous::PortFailure &failure)
{
    for (const rendezvous::PortHolder &holder : failure.holders) {
        if (holder.thisProcess)
            return true;
    }
    return false;
}

} // namespace

QString openFailureReason(const QString &port, quint32 errorCode)
{
    using Kind = rendezvous::PortFailureKind;
    const QString canonical = QFileInfo(port).canonicalFilePath();
    const rendezvous::PortFailure failure = rendezvous::classifyPortFailure(
        errorCode, QFile::encodeName(port).toStdString(), QFile::encodeName(canonical).toStdString());
    switch (failure.kind) {
    case Kind::None:
        return QString();
    case Kind::InUse: {
        const QString holders = otherHolders(failure);
        if (!holders.isEmpty())
            return tr("Порт %1 занят другой программой: %2.").arg(port, holders);
        if (heldHere(failure))
            return tr("Порт %1 уже открыт в этой программе.").arg(port);
        return tr("Порт %1 занят другой программой.").arg(port);
    }
    case Kind::AccessDenied:
        return tr("Нет прав на порт %1. Добавьте пользователя в группу dialout "
                  "(sudo usermod -aG dialout $USER) и войдите в систему заново, или установите пакет Kavrik: "
                  "его правило udev даёт доступ к контроллеру на USB.")
            .arg(port);
    case Kind::NotFound:
        if (failure.bluetooth)
            return tr("Порт Bluetooth %1 не привязан к контроллеру: сопрягите контроллер и привяжите порт "
                      "командой %2.")
                .arg(port, QLatin1String(rendezvous::bluetoothBindCommand()));
        return tr("Порт %1 не найден или не открывается: контроллер отключён, или это не последовательный порт.")
            .arg(port);
    case Kind::NoAnswer: {
        // A program that opened the port before, without taking it for
        // itself, may be reading the controller's answers away.
        const QString holders = otherHolders(failure);
        if (!holders.isEmpty())
            return tr("Контроллер на порту %1 не ответил: порт открыт ещё и в другой программе, она может "
                      "забирать его ответы: %2. Закройте её и подключитесь снова.")
                .arg(port, holders);
        return tr("Контроллер на порту %1 не ответил. Включён ли он, и тот ли это порт?").arg(port);
    }
    case Kind::NotAController:
        return tr("На порту %1 отвечает не контроллер ROBO TX: пришли неожиданные данные.").arg(port);
    case Kind::Other:
        break;
    }
    return tr("Библиотека контроллера ответила кодом 0x%1.").arg(errorCode, 8, 16, QLatin1Char('0'));
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
