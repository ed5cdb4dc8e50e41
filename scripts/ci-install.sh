#!/usr/bin/env bash
# Installs the tool the way a station gets it and checks what was installed:
#   1. cmake --install into a staging folder (DESTDIR): the installed fwutil,
#      in station mode with --port, flashes the installed fwsim's pty (pacing
#      off, the embedded images expected byte for byte) and must exit 0 with a
#      record whose fields and image digest are right;
#   2. cpack builds the .deb, dpkg -i installs it (root only), and man -l
#      renders both installed manual pages (man-db is installed if missing);
#   3. fwutil --help, its manual page and the README agree on every option and
#      exit status; fwsim --help and its page on every option.
# BUILD_DIR (default build-install) is configured and built here, fwutil and
# fwsim only. KEEP_PACKAGE=1 leaves the package installed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-install}
work=$(mktemp -d /tmp/fwutil-ci-install.XXXXXX)
sim_pid=""
installed_here=0
failures=0

cleanup() {
    if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
    if [ "$installed_here" = 1 ] && [ "${KEEP_PACKAGE:-0}" != 1 ]; then
        dpkg -r fwutil >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

say() { printf 'ci-install: %s\n' "$*"; }
fail() {
    printf 'ci-install: FAIL: %s\n' "$*" >&2
    failures=$((failures + 1))
}
check() { # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then say "ok: $what"; else fail "$what"; fi
}

# ---------------------------------------------------------------------------
say "building fwutil and fwsim in $build"
TARGETS="fwutil fwsim" BUILD_LOG="$build/build.log" BUILD_DIR="$build" "$root/scripts/build.sh" \
    -DCMAKE_INSTALL_PREFIX=/usr
images=$(sed -n 's/^FWU_IMAGES_DIR:PATH=//p' "$build/CMakeCache.txt")
[ -n "$images" ] || images="$build/resources/standin"
version=$("$build/fwutil" --version | cut -d' ' -f2)

# ---------------------------------------------------------------------------
# 1. Staging install, and a station run with what it holds
# ---------------------------------------------------------------------------
stage=$work/stage
DESTDIR=$stage cmake --install "$build" >"$work/install.log"
bin=$stage/usr/bin
for f in usr/bin/fwutil usr/bin/fwsim usr/share/man/man1/fwutil.1 usr/share/man/man1/fwsim.1 \
    usr/share/bash-completion/completions/fwutil usr/share/bash-completion/completions/fwsim \
    usr/share/fwutil/profiles/default.reg usr/share/fwutil/profiles/adapter.reg usr/share/fwutil/profiles/pty.reg; do
    check "staged $f" test -e "$stage/$f"
done

"$bin/fwsim" --pty --baud 0 --expect-images "$images" >"$work/fwsim.out" 2>"$work/fwsim.err" &
sim_pid=$!
for _ in $(seq 100); do
    grep -q '^fwsim: serving ' "$work/fwsim.out" && break
    sleep 0.05
done
pty=$(sed -n 's/^fwsim: serving //p' "$work/fwsim.out")
[ -n "$pty" ] || {
    cat "$work/fwsim.err" >&2
    fail "fwsim did not announce its pty"
    exit 1
}
# The example profile, its module reset reaching the simulator as a signal.
sed "s|^\"RIL1:\"=.*|\"RIL1:\"=\"cmd:kill -USR1 $sim_pid\"|" "$stage/usr/share/fwutil/profiles/pty.reg" >"$work/station.reg"
record=$work/record.json
status=0
XDG_STATE_HOME=$work/state FWU_RUNTIME_DIR=$work/rt timeout 120 \
    "$bin/fwutil" --station --profile "$work/station.reg" --port "$pty" --report "$record" \
    >"$work/station.out" 2>"$work/station.err" || status=$?
kill -INT "$sim_pid"
sim_status=0
wait "$sim_pid" || sim_status=$?
sim_pid=""
check "installed fwutil --station --port $pty exits 0 (got $status)" test "$status" = 0
check "fwsim saw no protocol violation and the expected images (status $sim_status)" test "$sim_status" = 0
check "fwsim reports the image flashed" grep -q 'flashed          yes' "$work/fwsim.out"
check "one result line: flashed on $pty" grep -qE "^fwutil: result: flashed, port $pty, [0-9]+\.[0-9] s$" \
    "$work/station.err"

field() { python3 -c 'import json,sys; v=json.load(open(sys.argv[1])); print(eval("v"+sys.argv[2]))' "$record" "$1"; }
if check "the record is JSON" sh -c "python3 -m json.tool '$record' >/dev/null"; then
    sha=$(sha256sum "$images/firmware.bin" | cut -d' ' -f1)
    # field               expected
    while read -r key expected; do
        got=$(field "$key")
        check "record$key = $expected (got $got)" test "$got" = "$expected"
    done <<EOF
["tool"] fwutil
["version"] $version
["outcome"] flashed
["status"] 0
["port"] $pty
["reason"] None
["attempts"] 1
["image"]["sha256"] $sha
["image"]["bytes"] $(stat -c %s "$images/firmware.bin")
["profile"] $(realpath "$work/station.reg")
EOF
    check "record start/end are UTC ISO 8601" python3 - "$record" <<'PY'
import json, re, sys
r = json.load(open(sys.argv[1]))
iso = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z"
ok = re.fullmatch(iso, r["start"]) and re.fullmatch(iso, r["end"]) and r["start"] <= r["end"]
phases = sum(p["ms"] for p in r["phases"])
ok = ok and abs(phases - r["duration_ms"]) <= 50 and r["phases"][-1]["name"] == "restart"
sys.exit(0 if ok else 1)
PY
fi
check "the device's log has the run's header" grep -q "==== fwutil $version" \
    "$work/state/fwutil/fwutil-station-$(echo "${pty#/dev/}" | tr / -)-$(printf 'station\n%s' "$pty" | sha256sum | cut -c1-8).log"

# ---------------------------------------------------------------------------
# 2. The Debian package
# ---------------------------------------------------------------------------
(cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1) ||
    fail "cpack: $(cat "$work/cpack.log")"
deb=$(find "$work/pkg" -maxdepth 1 -name "fwutil_*.deb" 2>/dev/null | head -1)
check "cpack made a .deb" test -n "$deb"
if [ -n "$deb" ]; then
    check "the package depends on libncursesw6 and libc6" \
        sh -c "dpkg-deb -f '$deb' Depends | grep -q libncursesw6 && dpkg-deb -f '$deb' Depends | grep -q libc6"
    dpkg-deb -c "$deb" >"$work/deb.list"
    check "the package holds both manual pages" sh -c "grep -q 'man1/fwutil.1' '$work/deb.list' &&
        grep -q 'man1/fwsim.1' '$work/deb.list'"
fi
man_dir=$stage/usr/share/man/man1
if [ "$(id -u)" != 0 ]; then
    say "skipped: dpkg -i needs root; the staged pages are rendered instead"
elif [ -n "$deb" ]; then
    dpkg -s fwutil >/dev/null 2>&1 || installed_here=1
    if dpkg -i "$deb" >"$work/dpkg.log" 2>&1; then
        say "ok: dpkg -i $(basename "$deb")"
        check "installed /usr/bin/fwutil runs" sh -c "/usr/bin/fwutil --version >/dev/null"
        man_dir=/usr/share/man/man1
    else
        fail "dpkg -i: $(cat "$work/dpkg.log")"
    fi
fi
if ! command -v man >/dev/null 2>&1; then
    if [ "$(id -u)" = 0 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq man-db >/dev/null
    else
        fail "man is missing and installing man-db needs root"
    fi
fi
render() { MANWIDTH=200 man -l -Tutf8 "$1" 2>"$work/man.err" | col -b; }
for page in fwutil fwsim; do
    render "$man_dir/$page.1" >"$work/$page.man"
    check "man -l renders $page(1)" sh -c "test -s '$work/$page.man' && ! test -s '$work/man.err'"
done

# ---------------------------------------------------------------------------
# 3. --help, the manual page and the README agree
# ---------------------------------------------------------------------------
# Options: "-x" and "--name" at the start of an option's line.
help_options() { sed -nE 's/^  (-[A-Za-z]), (--[a-z-]+).*/\1\n\2/p; s/^      (--[a-z-]+).*/\1/p'; }
man_options() { sed -n '/^OPTIONS/,/^[A-Z]/p' | sed -nE 's/^ {7}(-[A-Za-z]), (--[a-z-]+).*/\1\n\2/p; s/^ {7}(--[a-z-]+).*/\1/p'; }
# Exit statuses: "N" or "128+N" at the start of a status line.
help_statuses() { sed -n '/^Exit status:/,$p' | sed -nE 's/^  ([0-9]+(\+N)?) .*/\1/p'; }
man_statuses() { sed -n '/^EXIT STATUS/,/^[A-Z]/p' | sed -nE 's/^ {7}([0-9]+(\+N)?)( .*)?$/\1/p'; }
readme_statuses() { sed -nE 's/^\| ([0-9]+(\+N)?) \|.*/\1/p'; }
same() { # same WHAT LIST-A LIST-B
    local what=$1 a b
    a=$(sort -u <<<"$2")
    b=$(sort -u <<<"$3")
    if [ "$a" = "$b" ] && [ -n "$a" ]; then
        say "ok: $what agree ($(wc -l <<<"$a"))"
    else
        fail "$what differ: $(diff <(echo "$a") <(echo "$b") | grep '^[<>]' | tr '\n' ' ')"
    fi
}
help=$("$bin/fwutil" --help)
same "fwutil --help and fwutil(1) options" "$(help_options <<<"$help")" "$(man_options <"$work/fwutil.man")"
same "fwutil --help and fwutil(1) exit statuses" "$(help_statuses <<<"$help")" \
    "$(man_statuses <"$work/fwutil.man")"
same "fwutil --help and README exit statuses" "$(help_statuses <<<"$help")" "$(readme_statuses <"$root/README.md")"
same "fwsim --help and fwsim(1) options" "$("$bin/fwsim" --help | help_options)" \
    "$(man_options <"$work/fwsim.man")"
for page in fwutil fwsim; do
    check "$page(1) names version $version" grep -q "^\.TH .* \"$page $version\"" "$root/docs/$page.1"
done

if [ "$failures" -gt 0 ]; then
    say "$failures check(s) failed"
    exit 1
fi
say "all checks passed"
