#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks the installed program as a user gets it, from a scratch folder:
#   tst_install.sh tree     cmake --install into a temporary prefix
#   tst_install.sh package  the .deb named in KAVRIK_DEB, unpacked (built
#                           from debian/ by scripts/check-debian-package,
#                           which runs this check; skipped without one)
# The installed kavrik must find its controller library (in a private
# folder) through its own rpath (no LD_LIBRARY_PATH, started from another
# folder), reach its event loop without a message box, and carry the
# application icon. The layout, the rpaths, the hardening, the desktop
# entries, the list files' MIME type, the AppStream data and the icons are
# checked as well.
# ctest passes the build's folders in KAVRIK_* variables.
set -euo pipefail

mode=${1:?tree or package}
: "${KAVRIK_CMAKE:?}" "${KAVRIK_SOURCE_DIR:?}" "${KAVRIK_BUILD_DIR:?}" "${KAVRIK_INSTALL_PROBE:?}"
: "${KAVRIK_BINDIR:?}" "${KAVRIK_LIBDIR:?}" "${KAVRIK_DATADIR:?}" "${KAVRIK_UDEV_RULES_DIR:?}"
bindir=$KAVRIK_BINDIR libdir=$KAVRIK_LIBDIR datadir=$KAVRIK_DATADIR

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kavrik-install.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

icon_sizes=(16 32 48 64 128 256)

expected_files() {
    echo "$bindir/kavrik"
    echo "$bindir/kavrik-simulator"
    echo "$bindir/kavrik-txprobe"
    echo "$libdir/kavrik/libftMscLib.so"
    echo "$libdir/kavrik/ftmsclib-guardian"
    echo "$KAVRIK_UDEV_RULES_DIR/70-kavrik-robotx.rules"
    echo "$datadir/applications/kavrik.desktop"
    echo "$datadir/applications/kavrik-simulator.desktop"
    echo "$datadir/mime/packages/kavrik.xml"
    echo "$datadir/metainfo/org.example.kavrik.metainfo.xml"
    echo "$datadir/man/man1/kavrik.1.gz"
    echo "$datadir/man/man1/kavrik-simulator.1.gz"
    echo "$datadir/man/man1/kavrik-txprobe.1.gz"
    echo "$datadir/doc/kavrik/copyright"
    echo "$datadir/doc/kavrik/changelog.gz"
    if [ "$mode" = package ]; then
        echo "$datadir/doc/kavrik/changelog.Debian.gz"
        echo "$datadir/lintian/overrides/kavrik"
    fi
    for s in "${icon_sizes[@]}"; do
        echo "$datadir/icons/hicolor/${s}x$s/apps/kavrik.png"
    done
    echo "$datadir/icons/hicolor/scalable/apps/kavrik.svg"
    for f in "$KAVRIK_SOURCE_DIR"/examples/*.kvr; do
        echo "$datadir/kavrik/examples/${f##*/}"
    done
}

# Nothing missing, nothing extra (a test library or a benchmark installed by
# mistake would sit in the user's library folder).
check_layout() {
    local prefix=$1
    diff -u <(expected_files | sort) <(cd "$prefix" && find . ! -type d | sed 's|^\./||' | sort) >&2 ||
        fail "installed files differ from the expected layout (- expected, + installed)"
}

# The value of an ELF file's RPATH or RUNPATH, empty when it has none.
search_path() {
    readelf -d "$1" | sed -n "s/.*(${2^^}) *Library $2: \[\(.*\)\]\$/\1/p"
}

# The library is loaded from inside Qt, which honours DT_RPATH only; any
# other entry must stay relative to the installed file.
check_rpaths() {
    local prefix=$1 elf kind entry rest rpath
    rpath=$(search_path "$prefix/$bindir/kavrik" rpath)
    if [ -n "$(search_path "$prefix/$bindir/kavrik" runpath)" ]; then
        fail "kavrik carries a RUNPATH, which Qt's library lookup ignores"
    fi
    if [ "$rpath" != "\$ORIGIN:\$ORIGIN/../$libdir/kavrik" ]; then
        fail "kavrik's RPATH is '$rpath', not '\$ORIGIN:\$ORIGIN/../$libdir/kavrik'"
    fi
    # An empty entry is the current folder; a build path leaks the build.
    for elf in "$bindir/kavrik" "$bindir/kavrik-simulator" "$libdir/kavrik/libftMscLib.so"; do
        [ -f "$prefix/$elf" ] || continue # reported with the layout
        for kind in rpath runpath; do
            rest=$(search_path "$prefix/$elf" $kind)
            [ -n "$rest" ] || continue
            rest+=:
            while [ -n "$rest" ]; do
                entry=${rest%%:*}
                rest=${rest#*:}
                case $entry in
                    '$ORIGIN' | '$ORIGIN/'*) ;;
                    *) fail "$elf searches '$entry' for libraries" ;;
                esac
            done
        done
    done
}

# Read-only relocations bound at start, a position-independent program and
# the stack protector, as the distribution builds its own programs.
check_hardening() {
    local prefix=$1 elf
    for elf in "$bindir/kavrik" "$bindir/kavrik-simulator" "$bindir/kavrik-txprobe" "$libdir/kavrik/libftMscLib.so" \
        "$libdir/kavrik/ftmsclib-guardian"; do
        [ -f "$prefix/$elf" ] || continue # reported with the layout
        # Read whole: grep -q leaving early would fail the pipe.
        grep -q GNU_RELRO <<<"$(readelf -lW "$prefix/$elf")" || fail "$elf lacks RELRO"
        grep -qE 'BIND_NOW|FLAGS_1.* NOW' <<<"$(readelf -dW "$prefix/$elf")" || fail "$elf is not bound at start (BIND_NOW)"
        grep -q 'Type: *DYN' <<<"$(readelf -hW "$prefix/$elf")" || fail "$elf is not position-independent"
        grep -q __stack_chk_fail <<<"$(readelf -sW --dyn-syms "$prefix/$elf")" || fail "$elf lacks the stack protector"
    done
}

check_desktop_entry() {
    local prefix=$1 entry png s mime
    for entry in "$prefix/$datadir/applications/kavrik.desktop" "$prefix/$datadir/applications/kavrik-simulator.desktop"; do
        desktop-file-validate "$entry" >&2 || fail "desktop-file-validate rejects ${entry##*/}"
        [ -x "$prefix/$bindir/$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")" ] || fail "the Exec of ${entry##*/} is not an installed program"
        [ "$(sed -n 's/^Icon=//p' "$entry")" = kavrik ] || fail "the Icon of ${entry##*/} is not kavrik"
    done
    entry=$prefix/$datadir/applications/kavrik.desktop
    # A double click on a list hands its name to the program.
    grep -qx 'Exec=kavrik %f' "$entry" || fail "kavrik.desktop does not pass the file it opens"
    grep -qx 'MimeType=application/x-kavrik-list;' "$entry" || fail "kavrik.desktop does not declare the list files' type"
    mime=$scratch/mime
    rm -rf "$mime" && mkdir -p "$mime/packages"
    cp "$prefix/$datadir/mime/packages/kavrik.xml" "$mime/packages/"
    update-mime-database "$mime" >&2 || fail "update-mime-database rejects kavrik.xml"
    grep -q 'application/x-kavrik-list:\*\.kvr' "$mime/globs2" 2>/dev/null || fail "*.kvr is not the list files' type"
    appstreamcli validate --no-net --explain "$prefix/$datadir/metainfo/org.example.kavrik.metainfo.xml" >&2 ||
        fail "appstreamcli rejects the metainfo file"
    grep -q '<modalias>usb:v221Dp1000d\*</modalias>' "$prefix/$datadir/metainfo/org.example.kavrik.metainfo.xml" ||
        fail "the metainfo file does not name the controller's USB id"
    for s in "${icon_sizes[@]}"; do
        png=$prefix/$datadir/icons/hicolor/${s}x$s/apps/kavrik.png
        # Width and height are the big-endian words at bytes 16 and 20.
        [ "$(od -An -tx1 -j16 -N8 "$png" 2>/dev/null | tr -d ' \n')" = "$(printf '%08x%08x' "$s" "$s")" ] ||
            fail "${png#"$prefix"/} is not a ${s}x$s PNG"
    done
}

# Starts the installed program the way the menu does and reads what the probe
# saw when the program entered its event loop.
check_program_start() {
    local prefix=$1 out status=0 library
    mkdir -p "$scratch/elsewhere"
    out=$(cd "$scratch/elsewhere" &&
        env -u LD_LIBRARY_PATH LD_PRELOAD="$KAVRIK_INSTALL_PROBE" QT_QPA_PLATFORM=offscreen \
            timeout 30 "$prefix/$bindir/kavrik" 2>"$scratch/kavrik.stderr") || status=$?
    printf '%s\n' "$out" | sed 's/^/kavrik: /' >&2
    if [ "$status" -ne 0 ]; then
        cat "$scratch/kavrik.stderr" >&2
        fail "the installed kavrik did not reach its event loop cleanly (exit status $status; 3 is a message box, 124 a hang)"
        return
    fi
    library=$(grep '^library' <<<"$out" | cut -f2)
    if [ -z "$library" ] || [ "$(wc -l <<<"$library")" -ne 1 ]; then
        fail "expected libftMscLib.so loaded once, got: ${library:-nothing}"
    elif [ "$(realpath "$library")" != "$(realpath "$prefix/$libdir/kavrik/libftMscLib.so")" ]; then
        fail "libftMscLib.so was loaded from $library, not from the installed library folder"
    fi
    [ "$(grep -E '^(window|box)' <<<"$out")" = "$(printf 'window\tMainWindow\tKavrik')" ] ||
        fail "expected the main window alone on screen"
    [ "$(grep '^icon' <<<"$out" | cut -f2)" = "16x16 32x32 48x48 64x64 128x128 256x256" ] ||
        fail "the application icon is not set from all its sizes"
    [ -f "$prefix/$datadir/applications/$(grep '^desktopFile' <<<"$out" | cut -f2).desktop" ] ||
        fail "the program's desktop file name does not name the installed desktop entry"
}

check_simulator_start() {
    local prefix=$1 first
    # Its port announcement goes to this run's folder, not the user's.
    first=$(cd "$scratch/elsewhere" && env -u LD_LIBRARY_PATH KAVRIK_SIM_DIR="$scratch/sim" QT_QPA_PLATFORM=offscreen \
        timeout 10 "$prefix/$bindir/kavrik-simulator" --headless </dev/null | head -n1) || true
    grep -q '"event":"ready"' <<<"$first" || fail "the installed simulator did not announce its port: $first"
}

check_prefix() {
    check_layout "$1"
    check_rpaths "$1"
    check_hardening "$1"
    check_desktop_entry "$1"
    check_program_start "$1"
    check_simulator_start "$1"
}

case $mode in
tree)
    "$KAVRIK_CMAKE" --install "$KAVRIK_BUILD_DIR" --prefix "$scratch/prefix" >/dev/null
    check_prefix "$scratch/prefix"
    ;;
package)
    deb=${KAVRIK_DEB:-}
    if [ -z "$deb" ]; then
        echo "SKIP: no .deb named in KAVRIK_DEB (scripts/check-debian-package builds one and runs this check)"
        exit 77
    fi
    [ -f "$deb" ] || { echo "FAIL: no such package: $deb" >&2; exit 1; }
    echo "package: ${deb##*/}" >&2
    depends=$(dpkg-deb -f "$deb" Depends)
    echo "Depends: $depends" >&2
    # Debian's package names, as dpkg-shlibdeps found them, and the data the
    # libraries do not name.
    names=$(tr ',|' '\n\n' <<<"$depends" | sed 's/^ *//; s/[ (].*//')
    for p in libc6 libstdc++6 libqt5core5a libqt5gui5 libqt5widgets5 qttranslations5-l10n; do
        grep -qxF "$p" <<<"$names" || fail "Depends lacks $p"
    done
    [ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] || fail "wrong Architecture"
    # Everything under /usr; unpacked, the tree is the installation.
    outside=$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -v -e '^\./usr/' -e '^\./$' || true)
    if [ -n "$outside" ]; then
        fail "the package installs outside /usr: $outside"
    fi
    # The package's library folder is Debian's, whatever this build's prefix.
    libdir=lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
    dpkg-deb -x "$deb" "$scratch/root"
    check_prefix "$scratch/root/usr"
    ;;
*)
    echo "usage: $0 tree|package" >&2
    exit 2
    ;;
esac

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "all checks passed" >&2
