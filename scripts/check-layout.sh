#!/usr/bin/env bash
# The system code reaches the operating system only through platform/:
# POSIX and ncurses headers may appear only under platform/ and sim/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
hits=$(grep -rn -E '#include *<(termios|pthread|poll|unistd|fcntl|signal|dirent|curses|ncurses|sys/)' \
    download devctl bridge shell resources 2>/dev/null || true)
if [ -n "$hits" ]; then
    echo "POSIX or ncurses headers outside platform/ and sim/:"
    echo "$hits"
    exit 1
fi
echo "layout check: system code includes no POSIX or ncurses header"
