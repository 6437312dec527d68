#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The Linux simulator for a Windows test under Wine, which starts Linux
# programs but hands them none of its pipes: commands come through a FIFO
# and events go to a file, both in DIR. Once the simulator is ready its
# pseudo-terminal is linked at LINK (where Wine's COM port leads; empty for
# none), then DIR/mapped appears; DIR/ended once it has ended, and DIR
# itself is removed a little later.
#   winesim.sh DIR LINK SIMULATOR ARGS...
set -u
dir=$1 link=$2 simulator=$3
shift 3
mkfifo "$dir/commands" || exit 1
KAVRIK_SIM_DIR=$dir "$simulator" "$@" > "$dir/events" 2> "$dir/errors" < "$dir/commands" &
echo $! > "$dir/pid"
if [ -n "$link" ]; then
    for _ in $(seq 200); do
        port=$(sed -n 's/^{"event":"ready","port":"\(\/dev\/[^"]*\)".*/\1/p' "$dir/events" 2>/dev/null)
        if [ -n "$port" ]; then
            ln -sfn "$port" "$link"
            break
        fi
        # A TXT's address needs no link: not waited for until the loop ends.
        grep -q '^{"event":"ready","port":"[^/]' "$dir/events" 2>/dev/null && break
        sleep 0.05
    done
fi
touch "$dir/mapped"
wait
touch "$dir/ended"
# Wine cannot remove a FIFO, nor a folder that held one: the folder goes
# here, once the test has seen the end.
(sleep 5; rm -rf "$dir") &
