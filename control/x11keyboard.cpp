// SPDX-License-Identifier: GPL-3.0-or-later
#include "control/x11keyboard.h"

#include <cstdlib>

#include <xcb/xcb.h>
// The XKB header names a field after a C++ keyword.
#define explicit xkb_explicit
#include <xcb/xkb.h>
#undef explicit

#include <QX11Info>

namespace x11keyboard {

bool enableDetectableAutoRepeat()
{
    if (!QX11Info::isPlatformX11())
        return false;
    xcb_connection_t *connection = QX11Info::connection();
    if (!connection)
        return false;
    // The flag belongs to the client, so it must be set on the toolkit's own
    // connection, which has already agreed on XKB with the server.
    constexpr uint32_t flag = XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT;
    const xcb_xkb_per_client_flags_cookie_t cookie =
        xcb_xkb_per_client_flags(connection, XCB_XKB_ID_USE_CORE_KBD, flag, flag, 0, 0, 0);
    xcb_xkb_per_client_flags_reply_t *reply = xcb_xkb_per_client_flags_reply(connection, cookie, nullptr);
    const bool enabled = reply && (reply->supported & flag) && (reply->value & flag);
    std::free(reply);
    return enabled;
}

bool keysDown(QSet<quint32> &keycodes)
{
    keycodes.clear();
    if (!QX11Info::isPlatformX11())
        return false;
    xcb_connection_t *connection = QX11Info::connection();
    if (!connection)
        return false;
    xcb_query_keymap_reply_t *reply = xcb_query_keymap_reply(connection, xcb_query_keymap(connection), nullptr);
    if (!reply)
        return false;
    for (quint32 code = 0; code < 256; ++code) {
        if (reply->keys[code / 8] & (1u << (code % 8)))
            keycodes.insert(code);
    }
    std::free(reply);
    return true;
}

} // namespace x11keyboard
