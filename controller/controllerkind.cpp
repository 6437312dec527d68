// SPDX-License-Identifier: GPL-3.0-or-later
#include "controller/controllerkind.h"

#include <algorithm>

#include "common/processobjects.h"
#include "controller/ftlib.h"
#include "rendezvous/txtaddress.h"

ControllerKind ControllerKind::of(FtHandle handle, const QByteArray &portName)
{
    const auto ask = ftLib().ftxGetDeviceKind;
    uint32_t kind = 0;
    uint32_t most = 0;
    uint32_t features = 0;
    if (ask && ask(handle, &kind, &most, &features) == FTLIB_ERR_SUCCESS
        && (kind == FT_DEVICE_ROBO_TX || kind == FT_DEVICE_ROBOTICS_TXT)) {
        ControllerKind answer;
        answer.model = kind == FT_DEVICE_ROBOTICS_TXT ? Model::Txt : Model::RoboTx;
        // A binding names Extensions 1 to 8 at most, whatever a library claims.
        answer.maxExtensions = static_cast<int>(std::min<uint32_t>(most, ::maxExtensions));
        answer.extensionsOnlyWhileRunning = (features & FT_FEATURE_EXTENSIONS_WHILE_RUNNING) != 0;
        return answer;
    }
    // A library that cannot say (the vendor's has no such entry point): the
    // Linux library opens a TXT wherever the name is an address.
    return rendezvous::isTxtAddress(portName.toStdString()) ? txt() : roboTx();
}

quint32 ControllerKind::extensionsBeyond() const
{
    const quint32 all = (1u << ::maxExtensions) - 1;
    const quint32 within = (1u << std::clamp(maxExtensions, 0, int(::maxExtensions))) - 1;
    return all & ~within;
}
