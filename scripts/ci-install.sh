#!/usr/bin/env bash
# Installs the tool the way a station gets it and checks what was installed:
#   1. cmake --install into a staging folder (DESTDIR): the installed fwutil,
#      in station mode with --port, flashes the installed fwsim's pty (pacing
#      off, the embedded stand-ins asked for by name and expected byte for
#      byte) and must exit 0 with a record whose fields and image digest are
#      right;
#   2. a delivered set (random bytes of the exact sizes), made and signed by
#      the installed fwutil-make-firmware-set with a key from the real
#      minisign, installed in the staging folder with its key trusted: the
#      installed fwutil accepts it by name and flashes it into fwsim, and the
#      record's SHA-256s are fwsim's; without --firmware the installed fwutil
#      refuses to send its stand-ins through the pty (13, fwsim got nothing);
#   3. cpack builds the .deb, lintian finds no error or warning in it (nor a
#      hardening gap), dpkg -i installs it (root only), and man -l renders the
#      installed manual pages (man-db and lintian are installed if missing);
#   4. fwutil --help, its manual page and the README agree on every option and
#      exit status; fwsim --help and its page on every option;
#   5. systemd-analyze verify finds nothing to say about the station's
#      template unit under an instance's name (systemd is installed if missing),
#      and scripts/check-station-unit.sh runs it under a real systemd manager:
#      it flashes the installed fwsim's pty and its outcome is in the journal
#      (skipped, saying why, where no manager can start).
# BUILD_DIR (default build-install) is configured and built here as the
# package is, without the tests. KEEP_PACKAGE=1 leaves the package installed.
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

# As root (CI), what a check needs and this machine lacks; else a failure.
need_tool() { # need_tool COMMAND PACKAGE
    command -v "$1" >/dev/null 2>&1 && return 0
    if [ "$(id -u)" = 0 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$2" >/dev/null && return 0
    fi
    fail "$1 is missing and installing $2 needs root"
    return 1
}

# Serves a pty with the staged fwsim (extra arguments follow --pty --baud 0);
# sets sim_pid and pty, its report goes to $1.
start_fwsim() { # start_fwsim REPORT ARGS...
    local out=$1
    shift
    "$bin/fwsim" --pty --baud 0 "$@" >"$out" 2>"$out.err" &
    sim_pid=$!
    pty=""
    for _ in $(seq 100); do
        grep -q '^fwsim: serving ' "$out" && break
        sleep 0.05
    done
    pty=$(sed -n 's/^fwsim: serving //p' "$out")
    [ -n "$pty" ] || {
        cat "$out.err" >&2
        fail "fwsim did not announce its pty"
        exit 1
    }
    # The example profile, its module reset reaching the simulator as a signal.
    sed "s|^\"RIL1:\"=.*|\"RIL1:\"=\"cmd:kill -USR1 $sim_pid\"|" "$stage/usr/share/fwutil/profiles/pty.reg" \
        >"$work/station.reg"
}
# Stops fwsim (its report is then complete); sets sim_status.
stop_fwsim() {
    kill -INT "$sim_pid"
    sim_status=0
    wait "$sim_pid" || sim_status=$?
    sim_pid=""
}

# ---------------------------------------------------------------------------
say "building the package's programs in $build (no tests)"
BUILD_LOG="$build/build.log" BUILD_DIR="$build" "$root/scripts/build.sh" \
    -DCMAKE_INSTALL_PREFIX=/usr -DFWU_TESTS=OFF
check "the package build has no test programs" sh -c "! grep -q 'sim_test' '$build/build.ninja'"
images=$(sed -n 's/^FWU_IMAGES_DIR:PATH=//p' "$build/CMakeCache.txt")
[ -n "$images" ] || images="$build/resources/standin"
version=$("$build/fwutil" --version | head -n 1 | cut -d' ' -f2)

# ---------------------------------------------------------------------------
# 1. Staging install, and a station run with what it holds
# ---------------------------------------------------------------------------
stage=$work/stage
DESTDIR=$stage cmake --install "$build" >"$work/install.log"
bin=$stage/usr/bin
man1=usr/share/man/man1
for f in usr/bin/fwutil usr/bin/fwsim usr/bin/fwboard usr/bin/fwutil-make-firmware-set \
    $man1/fwutil.1.gz $man1/fwsim.1.gz $man1/fwboard.1.gz $man1/fwutil-make-firmware-set.1.gz \
    usr/share/bash-completion/completions/fwutil usr/share/bash-completion/completions/fwsim \
    usr/share/bash-completion/completions/fwboard \
    usr/share/fwutil/profiles/default.reg usr/share/fwutil/profiles/adapter.reg usr/share/fwutil/profiles/pty.reg \
    usr/share/fwutil/firmware/README etc/fwutil/keys usr/share/doc/fwutil/copyright usr/share/doc/fwutil/changelog.gz \
    lib/systemd/system/fwutil-station@.service usr/share/doc/fwutil/examples/70-fwutil-station.rules \
    usr/share/doc/fwutil/examples/fwutil-station.default; do
    check "staged $f" test -e "$stage/$f"
done

start_fwsim "$work/fwsim.out" --expect-images "$images"
record=$work/record.json
status=0
XDG_STATE_HOME=$work/state FWU_RUNTIME_DIR=$work/rt timeout 120 \
    "$bin/fwutil" --station --profile "$work/station.reg" --port "$pty" --report "$record" --firmware standin \
    >"$work/station.out" 2>"$work/station.err" || status=$?
stop_fwsim
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
# 2. A delivered set, signed, installed by name; and the stand-ins refused
# ---------------------------------------------------------------------------
# The staging folder stands for the system's: the set goes where the package
# looks (usr/share/fwutil/firmware/NAME), its key where trusted keys live
# (etc/fwutil/keys), and XDG_DATA_HOME and XDG_CONFIG_HOME point the installed
# tool there.
set_name=gsm-module
set_version=2.41
delivered=$work/delivered
mkdir -p "$delivered"
# file        bytes
while read -r file bytes; do
    head -c "$bytes" /dev/urandom >"$delivered/$file"
done <<EOF
boot1.bin 184
boot2.bin 7414
firmware.bin 2490264
EOF
printf '\x3f\xec\xe6' >"$delivered/filesize.bin"
minisign -G -W -p "$work/ci.pub" -s "$work/ci.key" >/dev/null
# The key id from the key itself (bytes 2-9, little-endian), as 16 hex digits:
# minisign's own comment drops leading zeros.
key_id=$(python3 -c 'import base64, sys
raw = base64.b64decode(open(sys.argv[1]).read().splitlines()[1])
print("%016X" % int.from_bytes(raw[2:10], "little"))' "$work/ci.pub")
check "fwutil-make-firmware-set signs the set" \
    sh -c "'$bin/fwutil-make-firmware-set' '$delivered' $set_name $set_version '$work/ci.key' >/dev/null"
installed_set=$stage/usr/share/fwutil/firmware/$set_name
cp -r "$delivered" "$installed_set"
install -m 644 "$work/ci.pub" "$stage/etc/fwutil/keys/ci.pub"
chmod -R go-w "$stage"
as_installed() {
    XDG_DATA_HOME=$stage/usr/share XDG_CONFIG_HOME=$stage/etc XDG_STATE_HOME=$work/state FWU_RUNTIME_DIR=$work/rt "$@"
}
status=0
as_installed "$bin/fwutil" --check-firmware $set_name >"$work/check.out" 2>&1 || status=$?
check "fwutil --check-firmware $set_name accepts it (status $status)" test "$status" = 0
check "--check-firmware names the trusted key $key_id" grep -q "signature: good, key $key_id" "$work/check.out"

start_fwsim "$work/fwsim-set.out" --expect-images "$installed_set"
record=$work/set-record.json
status=0
as_installed timeout 120 "$bin/fwutil" --station --profile "$work/station.reg" --port "$pty" --report "$record" \
    --firmware $set_name >"$work/set-station.out" 2>"$work/set-station.err" || status=$?
stop_fwsim
check "installed fwutil --station --firmware $set_name exits 0 (got $status: $(tail -1 "$work/set-station.err"))" \
    test "$status" = 0
check "fwsim got the set without a violation (status $sim_status)" test "$sim_status" = 0
# What fwsim received, what the record says was sent and what SHA256SUMS says
# the set holds: one SHA-256 each.
# fwsim's label  file
while read -r label file; do
    sum=$(sed -n "s/^\([0-9a-f]\{64\}\)  $file\$/\1/p" "$installed_set/SHA256SUMS")
    sim=$(sed -n "s|^  sha256 ${label/_/ } *\([0-9a-f]\{64\}\) .*, same as $installed_set/$file\$|\1|p" \
        "$work/fwsim-set.out")
    got=$(python3 -c 'import json, sys
f = json.load(open(sys.argv[1]))["firmware"]
print("".join(p["sha256"] for p in f["payloads"] if p["file"].split("/")[-1] == sys.argv[2]))' "$record" "$file" 2>&1)
    check "$file: the record's SHA-256 is fwsim's and SHA256SUMS' ($got)" \
        sh -c "test -n '$sum' && test '$got' = '$sum' && test '$sim' = '$sum'"
done <<EOF
stage_1 boot1.bin
stage_2 boot2.bin
image firmware.bin
EOF
if check "the set's record is JSON" sh -c "python3 -m json.tool '$record' >/dev/null"; then
    # field                   expected
    while read -r key expected; do
        got=$(field "$key")
        check "record$key = $expected (got $got)" test "$got" = "$expected"
    done <<EOF
["outcome"] flashed
["firmware"]["name"] $set_name
["firmware"]["version"] $set_version
["firmware"]["key_id"] $key_id
["image"]["sha256"] $(sha256sum "$delivered/firmware.bin" | cut -d' ' -f1)
EOF
fi

# Without --firmware the port is a tty: the stand-ins stay home.
start_fwsim "$work/fwsim-refused.out"
status=0
as_installed timeout 60 "$bin/fwutil" --station --profile "$work/station.reg" --port "$pty" \
    >/dev/null 2>"$work/refused.err" || status=$?
stop_fwsim
check "installed fwutil refuses the stand-ins through $pty (status $status, expected 13)" test "$status" = 13
check "fwsim received nothing" grep -q '^  bytes in/out     0 / 0$' "$work/fwsim-refused.out"

# ---------------------------------------------------------------------------
# 3. The Debian package
# ---------------------------------------------------------------------------
(cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1) ||
    fail "cpack: $(cat "$work/cpack.log")"
deb=$(find "$work/pkg" -maxdepth 1 -name "fwutil_*.deb" 2>/dev/null | head -1)
check "cpack made a .deb" test -n "$deb"
if [ -n "$deb" ]; then
    check "the package depends on libncursesw6, libsodium23, libsystemd0 and libc6" sh -c "dpkg-deb -f '$deb' Depends |
        grep -q libncursesw6 && dpkg-deb -f '$deb' Depends | grep -q libsodium23 &&
        dpkg-deb -f '$deb' Depends | grep -q libsystemd0 && dpkg-deb -f '$deb' Depends | grep -q libc6"
    dpkg-deb -c "$deb" >"$work/deb.list"
    for f in $man1/fwutil.1.gz $man1/fwsim.1.gz $man1/fwutil-make-firmware-set.1.gz usr/share/fwutil/firmware/README \
        etc/fwutil/keys/ usr/share/doc/fwutil/copyright usr/share/doc/fwutil/changelog.gz \
        lib/systemd/system/fwutil-station@.service usr/share/doc/fwutil/examples/70-fwutil-station.rules; do
        check "the package holds $f" grep -q " \./$f\$" "$work/deb.list"
    done
    # Debian's own checker: not one error or warning, and no hardening gap
    # (its hardening tags are informational, so they are asked for).
    if need_tool lintian lintian; then
        lintian_status=0
        lintian -I --fail-on error,warning "$deb" >"$work/lintian.out" 2>"$work/lintian.err" || lintian_status=$?
        check "lintian: no error or warning (status $lintian_status: $(grep -E '^[EW]: ' "$work/lintian.out" |
            tr '\n' ' '))" sh -c "test $lintian_status = 0 && ! grep -qE '^[EW]: ' '$work/lintian.out'"
        check "lintian: no hardening gap ($(grep -E 'hardening-' "$work/lintian.out" | tr '\n' ' '))" \
            sh -c "! grep -q 'hardening-' '$work/lintian.out'"
    fi
    # What lintian cannot see in a stripped program: the stack protector.
    dpkg-deb -x "$deb" "$work/unpacked"
    for program in fwutil fwsim; do
        check "$program calls the stack protector and the fortified functions" sh -c \
            "readelf --dyn-syms -W '$work/unpacked/usr/bin/$program' | grep -q ' __stack_chk_fail' &&
            readelf --dyn-syms -W '$work/unpacked/usr/bin/$program' | grep -q '__[a-z]*_chk@'"
    done
fi
man_dir=$stage/$man1
if [ "$(id -u)" != 0 ]; then
    say "skipped: dpkg -i needs root; the staged pages are rendered instead"
elif [ -n "$deb" ]; then
    dpkg -s fwutil >/dev/null 2>&1 || installed_here=1
    if dpkg -i "$deb" >"$work/dpkg.log" 2>&1; then
        say "ok: dpkg -i $(basename "$deb")"
        check "installed /usr/bin/fwutil runs" sh -c "/usr/bin/fwutil --version >/dev/null"
        check "installed /usr/share/fwutil/firmware and /etc/fwutil/keys are root's, not group- or world-writable" \
            sh -c "test -z \"\$(find /usr/share/fwutil/firmware /etc/fwutil/keys -maxdepth 0 \( ! -user root -o -perm /022 \))\""
        man_dir=/$man1
    else
        fail "dpkg -i: $(cat "$work/dpkg.log")"
    fi
fi
need_tool man man-db || true
render() { MANWIDTH=200 man -l -Tutf8 "$1" 2>"$work/man.err" | col -b; }
for page in fwutil fwsim fwboard fwutil-make-firmware-set; do
    render "$man_dir/$page.1.gz" >"$work/$page.man"
    check "man -l renders $page(1)" sh -c "test -s '$work/$page.man' && ! test -s '$work/man.err'"
done

# ---------------------------------------------------------------------------
# 4. --help, the manual page and the README agree
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
same "fwboard --help and fwboard(1) options" "$("$bin/fwboard" --help | help_options)" \
    "$(man_options <"$work/fwboard.man")"
same "fwboard --help and fwboard(1) exit statuses" "$("$bin/fwboard" --help | help_statuses)" \
    "$(man_statuses <"$work/fwboard.man")"
for page in fwutil fwsim fwboard; do
    check "$page(1) names version $version" grep -q "^\.TH .* \"$page $version\"" "$root/docs/$page.1"
done

# ---------------------------------------------------------------------------
# 5. The station's template unit
# ---------------------------------------------------------------------------
# systemd-analyze checks a template only under an instance's name; it names
# an ExecStart program that is not there, so the copy runs the staged fwutil.
# It reports unknown keys and bad values on stderr but still exits 0: any
# output is a failure.
if need_tool systemd-analyze systemd; then
    unit=$work/units/fwutil-station@ttyUSB0.service
    mkdir -p "$work/units"
    sed "s|/usr/bin/fwutil|$bin/fwutil|" "$stage/lib/systemd/system/fwutil-station@.service" >"$unit"
    verify_status=0
    systemd-analyze verify --man=no "$unit" >"$work/verify.out" 2>&1 || verify_status=$?
    check "systemd-analyze verify fwutil-station@ttyUSB0.service: nothing to say (status $verify_status: $(tr '\n' ' ' \
        <"$work/verify.out"))" sh -c "test $verify_status = 0 && ! test -s '$work/verify.out'"
    check "the unit starts fwutil --station on /dev/ttyUSB0" grep -q "^ExecStart=$bin/fwutil --station --port /dev/%I " \
        "$unit"
    unit_status=0
    "$root/scripts/check-station-unit.sh" "$bin/fwutil" "$bin/fwsim" "$stage/lib/systemd/system/fwutil-station@.service" \
        "$images" "$stage/usr/share/fwutil/profiles/pty.reg" >"$work/unit-run.out" 2>&1 || unit_status=$?
    case $unit_status in
    0) say "ok: fwutil-station@.service under systemd --user flashed fwsim, its outcome in the journal" ;;
    77) say "$(grep 'skipped:' "$work/unit-run.out" | tail -1)" ;;
    *)
        cat "$work/unit-run.out" >&2
        fail "fwutil-station@.service under a real manager (status $unit_status; its output above)"
        ;;
    esac
fi

if [ "$failures" -gt 0 ]; then
    say "$failures check(s) failed"
    exit 1
fi
say "all checks passed"
