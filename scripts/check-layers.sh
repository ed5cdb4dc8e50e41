#!/usr/bin/env bash
# Proves that the layers, and the rooms inside the platform, are enforced by
# the build: a scratch file in each layer's or room's folder, compiled with
# that folder's own flags (compile_commands.json), must fail on a wrong-way
# include and compile on a right-way one. Also keeps POSIX and ncurses headers
# out of the system code, and "../" out of includes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${BUILD_DIR:-$root/build}}
cd "$root"

hits=$(grep -rn -E '#include *<(termios|pthread|poll|unistd|fcntl|signal|dirent|curses|ncurses|sys/)' \
    download devctl bridge shell resources 2>/dev/null || true)
hits+=$(grep -rn -E '#include *"\.\./' app platform sim download devctl bridge shell resources 2>/dev/null || true)
if [ -n "$hits" ]; then
    echo "layer check: headers the layer may not include:"
    echo "$hits"
    exit 1
fi

python3 - "$root" "$build" <<'PY'
import json, os, shlex, subprocess, sys
root, build = sys.argv[1], sys.argv[2]
commands = json.load(open(os.path.join(build, "compile_commands.json")))

def flags_of(source):
    for entry in commands:
        if entry["file"] == os.path.join(root, source):
            args = shlex.split(entry["command"])
            out = []
            skip = False
            for a in args:
                if skip:
                    skip = False
                    continue
                if a in ("-o", "-c", "-MF", "-MT"):
                    skip = True
                    continue
                if a == "-MD":
                    continue
                out.append(a)
            return out, entry["directory"]
    sys.exit(f"layer check: {source} not in {build}/compile_commands.json")

# layer's folder, a source of that layer, includes that must resolve, includes that must not
cases = [
    ("download", "download/run.cpp", ["platform/win32.h", "shell/log.h", "resources/resource_table.h"],
     ["platform/kernel/core.h", "platform/serial/serial.h", "sim/sim.h"]),
    ("shell", "shell/log.cpp", ["platform/win32.h", "download/run.h"],
     ["platform/windowing/window.h", "platform/profile/profile.h"]),
    # The platform's rooms, bottom to top: each sees the rooms below it, never one above.
    ("platform/kernel", "platform/kernel/text.cpp", ["platform/win32.h", "platform/kernel/core.h", "sim/sim.h"],
     ["platform/profile/profile.h", "download/run.h", "shell/log.h", "resources/resource_table.h", "app/main.cpp"]),
    ("platform/profile", "platform/profile/profile.cpp", ["platform/kernel/text.h"], ["platform/serial/serial.h"]),
    ("platform/serial", "platform/serial/serial.cpp", ["platform/profile/profile.h"],
     ["platform/windowing/status_line.h"]),
    ("platform/windowing", "platform/windowing/window.cpp", ["platform/serial/serial_status.h"],
     ["platform/shellapi/shell_ui.h"]),
    ("platform/shellapi", "platform/shellapi/shell_calls.cpp", ["platform/windowing/window.h"],
     ["platform/displays/terminal.h"]),
    ("platform/displays", "platform/displays/headless.cpp", ["platform/shellapi/shell_ui.h"], ["download/run.h"]),
    ("sim", "sim/sim.cpp", ["sim/sim.h"], ["platform/win32.h", "download/run.h"]),
]
failed = 0
for folder, source, good, bad in cases:
    flags, cwd = flags_of(source)
    probe = os.path.join(root, folder, ".layer_probe.cpp")
    for header, want_ok in [(h, True) for h in good] + [(h, False) for h in bad]:
        with open(probe, "w") as f:
            f.write(f'#include "{header}"\n')
        try:
            r = subprocess.run(flags + ["-fsyntax-only", probe], cwd=cwd, capture_output=True, text=True)
        finally:
            os.unlink(probe)
        ok = r.returncode == 0
        if ok != want_ok:
            failed += 1
            what = "compiles" if ok else "fails"
            print(f"layer check: {folder}/ including \"{header}\" {what}, expected the opposite")
            if not ok:
                print(r.stderr[:400])
if failed:
    sys.exit(1)
print(f"layer check: {sum(len(c[2]) + len(c[3]) for c in cases)} probes, every wrong-way include between layers and rooms fails the build")
PY
