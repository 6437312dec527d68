// SPDX-License-Identifier: GPL-3.0-or-later
#include "controller/failurereasons.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include "ftmsclib/ftmsclib.h"
#include "rendezvous/portfailure.h"
#include "rendezvous/txtaddress.h"

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

QString codeReason(quint32 status)
{
    return tr("Библиотека контроллера ответила кодом 0x%1.").arg(status, 8, 16, QLatin1Char('0'));
}

// A TXT is reached over the network: the reasons are the network's, and the
// network tells which link to the TXT is down.
QString txtOpenFailureReason(const QString &port, const rendezvous::TxtAddress &address, quint32 errorCode)
{
    const QString host = QString::fromStdString(address.host);
    switch (errorCode) {
    case FTLIB_ERR_HOST_UNKNOWN:
        return tr("Имя %1 не найдено в сети: проверьте, как написан адрес контроллера TXT.").arg(host);
    case FTLIB_ERR_CONNECTION_REFUSED:
        return tr("По адресу %1 никто не принимает соединений на порту %2: контроллер TXT выключен или занят "
                  "другой программой, а на TXT 4.0 не запущен ftrobopy_server.")
            .arg(host)
            .arg(address.port);
    case FTLIB_ERR_HOST_UNREACHABLE:
        switch (rendezvous::txtLink(address.host)) {
        case rendezvous::TxtLink::Usb:
            return tr("Сеть USB контроллера TXT недоступна (%1): TXT не подключён кабелем USB, или компьютер ещё "
                      "не получил в этой сети адрес 192.168.7.1.")
                .arg(host);
        case rendezvous::TxtLink::Wlan:
            return tr("Сеть WLAN контроллера TXT недоступна (%1): компьютер не подключён к точке доступа TXT.")
                .arg(host);
        case rendezvous::TxtLink::Bluetooth:
            return tr("Сеть Bluetooth контроллера TXT недоступна (%1): соединение Bluetooth (PAN) с TXT не "
                      "установлено.")
                .arg(host);
        case rendezvous::TxtLink::Loopback:
        case rendezvous::TxtLink::Other:
            break;
        }
        return tr("Пути в сеть адреса %1 нет: компьютер не подключён к сети, в которой находится контроллер TXT.")
            .arg(host);
    case FTLIB_ERR_INIT_COM_TIMEOUT:
        return tr("Контроллер TXT по адресу %1 не ответил за 2 с. Включён ли он, и тот ли это адрес?").arg(port);
    case FTLIB_ERR_INIT_COM:
        return tr("По адресу %1 отвечает не контроллер TXT в режиме онлайн: пришли неожиданные данные.").arg(port);
    default:
        return codeReason(errorCode);
    }
}

} // namespace

QString openFailureReason(const QString &port, quint32 errorCode)
{
    rendezvous::TxtAddress address;
    if (errorCode != FTLIB_ERR_SUCCESS && rendezvous::parseTxtAddress(port.toStdString(), address))
        return txtOpenFailureReason(port, address, errorCode);
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
    return codeReason(errorCode);
}

QString linkLossReason(const ControllerKind &kind, quint32 status)
{
    if (status == FTLIB_ERR_SUCCESS)
        return QString();
    if (kind.isTxt()) {
        switch (status) {
        case FTLIB_ERR_TIMEOUT_TA:
            return tr("Контроллер TXT перестал отвечать: ответы не приходят.");
        case FTLIB_ERR_OPEN_COM:
            return tr("Соединение с контроллером TXT закрыто или сброшено: TXT выключен или перезапущен, или "
                      "пропала его сеть (USB, WLAN, Bluetooth).");
        case FTLIB_ERR_INIT_COM:
            return tr("Контроллер TXT отвечает невпопад: его ответы не подходят к запросам.");
        default:
            return codeReason(status);
        }
    }
    switch (status) {
    case FTLIB_ERR_OPEN_COM:
        return tr("Порт пропал: кабель отключён, или контроллер выключен.");
    case FTLIB_ERR_TIMEOUT_TA:
        return tr("Контроллер перестал отвечать: на линии тишина.");
    default:
        return codeReason(status);
    }
}
