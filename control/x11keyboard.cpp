// SPDX-License-Identifier: GPL-3.0-or-later
#include "control/x11keyboard.h"

#include <cstdlib>
#include <utility>

#include <dlfcn.h>

#include <xcb/xcb.h>
#include <xcb/xinput.h>
// The XKB header names a field after a C++ keyword.
#define explicit xkb_explicit
#include <xcb/xkb.h>
#undef explicit

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QObject>
#include <QWindow>
#include <QX11Info>

namespace x11keyboard {

namespace {

xcb_connection_t *x11Connection()
{
    return QX11Info::isPlatformX11() ? QX11Info::connection() : nullptr;
}

// XInput 2's requests, from the library the toolkit's X11 plugin loads
// itself: elsewhere (Wayland, offscreen) the program does not load it.
struct XInput {
    xcb_extension_t *id = nullptr;
    decltype(&xcb_input_xi_query_version) queryVersion = nullptr;
    decltype(&xcb_input_xi_query_version_reply) queryVersionReply = nullptr;
    decltype(&xcb_input_xi_select_events_checked) selectEventsChecked = nullptr;
};

const XInput *xinput()
{
    static const XInput loaded = [] {
        XInput x;
        // Kept loaded for the rest of the run.
        if (void *library = ::dlopen("libxcb-xinput.so.0", RTLD_LAZY | RTLD_LOCAL)) {
            x.id = static_cast<xcb_extension_t *>(::dlsym(library, "xcb_input_id"));
            x.queryVersion = reinterpret_cast<decltype(x.queryVersion)>(::dlsym(library, "xcb_input_xi_query_version"));
            x.queryVersionReply =
                reinterpret_cast<decltype(x.queryVersionReply)>(::dlsym(library, "xcb_input_xi_query_version_reply"));
            x.selectEventsChecked = reinterpret_cast<decltype(x.selectEventsChecked)>(
                ::dlsym(library, "xcb_input_xi_select_events_checked"));
        }
        return x;
    }();
    return loaded.id && loaded.queryVersion && loaded.queryVersionReply && loaded.selectEventsChecked ? &loaded
                                                                                                        : nullptr;
}

// Reads the server's events on the toolkit's connection before the toolkit
// handles them; it lets every event through.
class EventWatch : public QObject, public QAbstractNativeEventFilter
{
public:
    EventWatch(QObject *owner, Watch watch)
        : QObject(owner)
        , watch(std::move(watch))
    {
        const xcb_query_extension_reply_t *xkb = xcb_get_extension_data(x11Connection(), &xcb_xkb_id);
        if (xkb && xkb->present)
            xkbFirstEvent = xkb->first_event;
        const xcb_query_extension_reply_t *input =
            xinput() ? xcb_get_extension_data(x11Connection(), xinput()->id) : nullptr;
        if (input && input->present)
            inputOpcode = input->major_opcode;
        QCoreApplication::instance()->installNativeEventFilter(this);
    }

    ~EventWatch() override
    {
        if (QCoreApplication::instance())
            QCoreApplication::instance()->removeNativeEventFilter(this);
    }

    bool nativeEventFilter(const QByteArray &eventType, void *message, long *) override
    {
        if (eventType != "xcb_generic_event_t")
            return false;
        const auto *event = static_cast<const xcb_generic_event_t *>(message);
        const int kind = event->response_type & 0x7f;
        if (kind == XCB_FOCUS_OUT) {
            const auto *focusOut = reinterpret_cast<const xcb_focus_out_event_t *>(event);
            if (watch.keyboardLost && keyboardLeft(focusOut))
                watch.keyboardLost(focusOut->event);
        } else if (kind == XCB_KEYMAP_NOTIFY) {
            if (watch.keysAtFocus)
                watch.keysAtFocus(keysIn(reinterpret_cast<const xcb_keymap_notify_event_t *>(event)));
        } else if (kind == XCB_MAPPING_NOTIFY) {
            if (watch.keyboardChanged)
                watch.keyboardChanged();
        } else if (kind == XCB_GE_GENERIC) {
            const auto *generic = reinterpret_cast<const xcb_ge_generic_event_t *>(event);
            if (generic->extension == inputOpcode && watch.rawKey
                && (generic->event_type == XCB_INPUT_RAW_KEY_PRESS
                    || generic->event_type == XCB_INPUT_RAW_KEY_RELEASE)) {
                const auto *raw = reinterpret_cast<const xcb_input_raw_key_press_event_t *>(event);
                watch.rawKey(raw->detail, raw->time, generic->event_type == XCB_INPUT_RAW_KEY_PRESS);
            }
        } else if (kind == xkbFirstEvent) {
            // All XKB events share one code; the second byte says which.
            const auto *xkbEvent = reinterpret_cast<const xcb_xkb_new_keyboard_notify_event_t *>(event);
            if ((xkbEvent->xkbType == XCB_XKB_NEW_KEYBOARD_NOTIFY || xkbEvent->xkbType == XCB_XKB_MAP_NOTIFY)
                && watch.keyboardChanged)
                watch.keyboardChanged();
        }
        return false;
    }

private:
    // Focus changes between a window and its parts, and those that only
    // follow the pointer, leave the keyboard where it was. Of the others,
    // the toolkit itself makes some that the focus comes back from at once
    // (a window shown again, say): those are over by the time the server
    // is asked where the focus is. A grab by another client takes the
    // keyboard although the focus stays.
    static bool keyboardLeft(const xcb_focus_out_event_t *event)
    {
        if (event->detail == XCB_NOTIFY_DETAIL_POINTER || event->detail == XCB_NOTIFY_DETAIL_INFERIOR
            || event->mode == XCB_NOTIFY_MODE_UNGRAB)
            return false;
        if (event->mode == XCB_NOTIFY_MODE_GRAB)
            return true;
        xcb_connection_t *connection = x11Connection();
        xcb_get_input_focus_reply_t *focus =
            xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr);
        const bool left = !focus || focus->focus != event->event;
        std::free(focus);
        return left;
    }

    // The event leaves out the first byte of the key map (keycodes 0-7,
    // which no key has).
    static QSet<quint32> keysIn(const xcb_keymap_notify_event_t *event)
    {
        QSet<quint32> keycodes;
        for (quint32 code = 8; code < 256; ++code) {
            if (event->keys[code / 8 - 1] & (1u << (code % 8)))
                keycodes.insert(code);
        }
        return keycodes;
    }

    Watch watch;
    int xkbFirstEvent = -1;
    int inputOpcode = -1;
};

} // namespace

bool enableDetectableAutoRepeat()
{
    xcb_connection_t *connection = x11Connection();
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
    xcb_connection_t *connection = x11Connection();
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

bool reportRawKeys()
{
    xcb_connection_t *connection = x11Connection();
    const XInput *xi = connection ? xinput() : nullptr;
    if (!xi)
        return false;
    const xcb_query_extension_reply_t *input = xcb_get_extension_data(connection, xi->id);
    if (!input || !input->present)
        return false;
    // The version the toolkit asks for itself: a client may not ask for a
    // lower one later. From 2.1 on, raw events come also while another
    // client grabs the keyboard.
    xcb_input_xi_query_version_reply_t *version =
        xi->queryVersionReply(connection, xi->queryVersion(connection, 2, 2), nullptr);
    const bool recent = version && (version->major_version > 2
                                    || (version->major_version == 2 && version->minor_version >= 1));
    std::free(version);
    if (!recent)
        return false;
    // On the root window for the master keyboards, one event per key; the
    // toolkit's own choice of events there is for all devices, which this
    // leaves as it is.
    struct {
        xcb_input_event_mask_t head;
        uint32_t bits;
    } mask;
    mask.head.deviceid = XCB_INPUT_DEVICE_ALL_MASTER;
    mask.head.mask_len = 1;
    mask.bits = XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_KEY_RELEASE;
    const auto root = static_cast<xcb_window_t>(QX11Info::appRootWindow());
    xcb_generic_error_t *error =
        xcb_request_check(connection, xi->selectEventsChecked(connection, root, 1, &mask.head));
    const bool selected = !error;
    std::free(error);
    return selected;
}

void reportKeysAtFocus(QWindow *window)
{
    xcb_connection_t *connection = x11Connection();
    if (!connection || !window || !window->handle())
        return;
    const auto id = static_cast<xcb_window_t>(window->winId());
    xcb_get_window_attributes_reply_t *attributes =
        xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, id), nullptr);
    if (!attributes)
        return;
    // The mask is replaced as a whole, so the toolkit's own events stay in it.
    if (!(attributes->your_event_mask & XCB_EVENT_MASK_KEYMAP_STATE)) {
        const uint32_t mask = attributes->your_event_mask | XCB_EVENT_MASK_KEYMAP_STATE;
        xcb_change_window_attributes(connection, id, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(connection);
    }
    std::free(attributes);
}

bool startWatch(QObject *owner, Watch watch)
{
    if (!x11Connection())
        return false;
    new EventWatch(owner, std::move(watch));
    return true;
}

} // namespace x11keyboard
