// SPDX-License-Identifier: GPL-3.0-or-later
// A virtual keyboard on a Wayland compositor, for the by-hand key tests: it
// uploads a standard keymap (evdev rules, pc105, the layout given, us by
// default; the program reads physical key codes, so a keymap of its own as
// wtype makes would not do) and then types what it reads on stdin, one
// command per line:
//   press CODE | release CODE   (Linux input event codes: W is 17)
// and answers "ok" after each, once the compositor has it.
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include "virtual-keyboard-unstable-v1-client-protocol.h"

static struct wl_seat *seat;
static struct zwp_virtual_keyboard_manager_v1 *manager;

static void global(void *data, struct wl_registry *registry, uint32_t name, const char *interface, uint32_t version)
{
    (void)data;
    (void)version;
    if (strcmp(interface, wl_seat_interface.name) == 0 && !seat)
        seat = wl_registry_bind(registry, name, &wl_seat_interface, 1);
    else if (strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0)
        manager = wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1);
}

static void globalRemove(void *data, struct wl_registry *registry, uint32_t name)
{
    (void)data;
    (void)registry;
    (void)name;
}

static const struct wl_registry_listener registryListener = {global, globalRemove};

static uint32_t nowMs(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint32_t)(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}

int main(int argc, char **argv)
{
    struct wl_display *display = wl_display_connect(NULL);
    if (!display) {
        fprintf(stderr, "vkbd: no Wayland display\n");
        return 1;
    }
    struct wl_registry *registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, NULL);
    wl_display_roundtrip(display);
    if (!seat || !manager) {
        fprintf(stderr, "vkbd: the compositor offers no virtual keyboards\n");
        return 1;
    }
    struct zwp_virtual_keyboard_v1 *keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(manager, seat);

    struct xkb_context *context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    const struct xkb_rule_names names = {"evdev", "pc105", argc > 1 ? argv[1] : "us", "", ""};
    struct xkb_keymap *keymap = xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    char *text = keymap ? xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1) : NULL;
    if (!text) {
        fprintf(stderr, "vkbd: no keymap\n");
        return 1;
    }
    const size_t size = strlen(text) + 1;
    const int fd = memfd_create("keymap", MFD_CLOEXEC);
    if (fd < 0 || write(fd, text, size) != (ssize_t)size) {
        fprintf(stderr, "vkbd: cannot pass the keymap\n");
        return 1;
    }
    zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, (uint32_t)size);
    wl_display_roundtrip(display);
    printf("ready\n");
    fflush(stdout);

    char line[64];
    while (fgets(line, sizeof line, stdin)) {
        unsigned code = 0;
        if (sscanf(line, "press %u", &code) == 1)
            zwp_virtual_keyboard_v1_key(keyboard, nowMs(), code, WL_KEYBOARD_KEY_STATE_PRESSED);
        else if (sscanf(line, "release %u", &code) == 1)
            zwp_virtual_keyboard_v1_key(keyboard, nowMs(), code, WL_KEYBOARD_KEY_STATE_RELEASED);
        else
            continue;
        wl_display_roundtrip(display);
        printf("ok\n");
        fflush(stdout);
    }
    zwp_virtual_keyboard_v1_destroy(keyboard);
    wl_display_roundtrip(display);
    wl_display_disconnect(display);
    return 0;
}
