#!/usr/bin/env bash
# Runs the station's template unit under a real systemd manager and checks
# what a line would see: fwutil-station@pts-N.service, started for the pty
# that fwsim serves, flashes it (or fails, for a module that goes away), ends
# with the tool's exit status as the manager saw it, leaves its outcome in the
# journal as fields, in its record and in the ledger, and could write nowhere
# but its own folders.
#   scripts/check-station-unit.sh [FWUTIL [FWSIM [UNIT [IMAGES [PROFILE]]]]]
# Defaults: BUILD_DIR's fwutil and fwsim (BUILD_DIR defaults to build), the
# unit in packaging/systemd, the build's stand-in images, profiles/pty.reg.
# Exit status 0 when every check passed, 1 when one failed, 77 when the
# manager cannot run here (the reason is printed). Takes about 5 s.
#
# The manager is root's per-user manager (systemd --user: no system manager
# is needed, nor a D-Bus daemon: systemctl --user talks to its private
# socket), with a journald of its own, in a mount and PID namespace of this
# script: /run, /tmp, /var/tmp and /var/lib there are empty tmpfs, so nothing
# of the run is seen outside, and every process of it ends with the script.
# Its %t is /run and its %S /var/lib, as the system manager's, so the unit's
# RuntimeDirectory= and StateDirectory= are where its paths say. Its control
# groups are a subtree made here and removed at the end.
#
# The unit runs as shipped, every hardening option included, but for what
# this check or this machine asks to differ (the script prints the
# difference):
#   - ExecStart runs the fwutil under test (copied into the namespace's /run:
#     the unit's PrivateTmp and ProtectHome would hide it in /tmp or /root);
#     its arguments are unchanged;
#   - no BindsTo=/After= on dev-%i.device: a device unit exists only for a
#     device that udev announces with the "systemd" tag, and a pty is none
#     (nor is udev running here); the start would wait for that device until
#     its job timed out;
#   - EnvironmentFile= is this check's (the pty profile whose reset reaches
#     fwsim, the embedded stand-ins, the ledger);
#   - a drop-in adds an ExecStartPre= that, in the unit's sandbox, lists the
#     folders it can write to, and an ExecStopPost=+ that hands the manager's
#     SERVICE_RESULT, EXIT_CODE and EXIT_STATUS to this script through a FIFO:
#     the wait for the end of the run is a blocking read, bounded by a timeout.
# The namespace also gets /run/systemd/system, the mark that systemd runs,
# without which systemd --user refuses to start.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

say() { printf 'check-station-unit: %s\n' "$*"; }
skip() {
    say "skipped: $*"
    exit 77
}

# ---------------------------------------------------------------------------
# Inside the namespaces: the script runs itself again there, as PID 1
# ---------------------------------------------------------------------------
inside() { # inside FWUTIL FWSIM UNIT IMAGES PROFILE
    trap 'exit 130' INT TERM
    local work=/run/fwutil-check
    local state=/var/lib
    # Where the station may write: its state and runtime folders, and its
    # private /tmp and /var/tmp; nowhere else of these.
    local probed="/ /etc /usr /var /var/lib /var/lib/fwutil-station /run /run/fwutil-station /run/systemd /tmp /var/tmp /root"
    local writable="/var/lib/fwutil-station /run/fwutil-station /tmp /var/tmp"
    failures=0
    fail() {
        printf 'check-station-unit: FAIL: %s\n' "$*" >&2
        failures=$((failures + 1))
    }
    check() { # check DESCRIPTION COMMAND...
        local what=$1
        shift
        if "$@"; then say "ok: $what"; else fail "$what"; fi
    }

    # The entry's fields (NAME) and the record's (record.NAME), a line each.
    fields() { # fields ENTRY RECORD
        python3 - "$1" "$2" <<'PY'
import json, sys
entry = json.loads(open(sys.argv[1]).readline() or "{}")
try:
    record = json.load(open(sys.argv[2]))
except (OSError, ValueError):
    record = {}
for key, value in entry.items():
    if isinstance(value, str):
        print(key, value.replace("\n", " "))
for key in ("outcome", "status", "port", "duration_ms", "reason"):
    print("record." + key, "" if record.get(key) is None else record[key])
print("record.image.sha256", (record.get("image") or {}).get("sha256") or "")
PY
    }
    local -A got=()
    local key value

    # What the run needs, copied before /tmp and /var/tmp are hidden.
    mount -t tmpfs -o mode=755 tmpfs /run
    mkdir -p "$work/bin" "$work/images" "$work/units/fwutil-station@.service.d" /run/systemd/system \
        /run/systemd/journald.conf.d
    cp "$1" "$2" "$work/bin/"
    cp "$4"/*.bin "$work/images/"
    local shipped=$work/fwutil-station@.service.shipped
    cp "$3" "$shipped"
    cp "$5" "$work/pty.reg"
    mount -t tmpfs -o mode=1777 tmpfs /tmp
    mount -t tmpfs -o mode=1777 tmpfs /var/tmp
    mount -t tmpfs -o mode=755 tmpfs /var/lib

    # journald: the namespace's own, kept in /run, forwarding nowhere.
    printf '[Journal]\nStorage=volatile\nRuntimeMaxUse=16M\nReadKMsg=no\nForwardToSyslog=no\nForwardToKMsg=no\nForwardToConsole=no\nForwardToWall=no\n' \
        >/run/systemd/journald.conf.d/check.conf
    /lib/systemd/systemd-journald >"$work/journald.log" 2>&1 &
    for _ in $(seq 100); do
        [ -S /run/systemd/journal/socket ] && break
        sleep 0.05
    done
    [ -S /run/systemd/journal/socket ] || skip "systemd-journald did not start: $(cat "$work/journald.log")"

    # The unit, as the manager gets it.
    local unit=$work/units/fwutil-station@.service
    sed -e "s|^ExecStart=/usr/bin/fwutil |ExecStart=$work/bin/fwutil |" \
        -e '/^BindsTo=dev-%i\.device$/d' -e '/^After=dev-%i\.device$/d' \
        -e "s|^EnvironmentFile=-/etc/default/fwutil-station\$|EnvironmentFile=$work/station.default|" \
        "$shipped" >"$unit"
    say "the unit as run, against the shipped one:"
    diff -u "$shipped" "$unit" | sed -n '3,$s/^[-+]/    &/p' | grep '^    ' || true
    # Each change above must have found its line; else the shipped unit
    # changed and so must this check.
    check "the unit copy runs the fwutil under test with the shipped arguments" grep -q \
        "^ExecStart=$work/bin/fwutil --station --port /dev/%I --wait-device 10 --report /var/lib/fwutil-station/%I.json \$FWU_STATION_OPTIONS\$" \
        "$unit"
    check "the unit copy has no device dependency left and takes this check's options" sh -c \
        "! grep -q 'dev-%i.device' '$unit' && grep -q '^EnvironmentFile=$work/station.default\$' '$unit'"
    # The drop-in: in the unit's own sandbox, before the station, a probe
    # of where it can write ("$$" is a "$" in a unit file); after it, with
    # full privileges (+), the manager's result into the FIFO.
    mkfifo "$work/done"
    cat >"$work/units/fwutil-station@.service.d/check.conf" <<EOF
[Service]
ExecStartPre=/bin/sh -c 'w=""; for d in $probed; do touch "\$\$d/.probe" 2>/dev/null && rm -f "\$\$d/.probe" && w="\$\$w \$\$d"; done; echo "sandbox writable:\$\$w"'
ExecStopPost=+/bin/sh -c 'echo "\$\$SERVICE_RESULT \$\$EXIT_CODE \$\$EXIT_STATUS" >$work/done'
EOF
    for target in default basic exit shutdown; do
        printf '[Unit]\nDescription=%s\n' "$target" >"$work/units/$target.target"
    done
    printf 'FWU_STATION_OPTIONS="--profile %s --firmware standin --ledger %s"\n' "$work/station.reg" \
        "$state/fwutil-station/ledger.jsonl" >"$work/station.default"

    # The manager: root's per-user one, its units from $work/units only, in
    # its own control group. Its %t (XDG_RUNTIME_DIR) is /run and its %S
    # (XDG_CONFIG_HOME) /var/lib, as the system manager's: RuntimeDirectory=
    # and StateDirectory= are where the unit's paths say, and the manager
    # itself makes /run/systemd/inaccessible.
    export XDG_RUNTIME_DIR=/run XDG_CONFIG_HOME=$state SYSTEMD_UNIT_PATH=$work/units
    sh -c 'for cg in $FWU_CHECK_CGROUPS; do echo $$ >"$cg/user@0.service/cgroup.procs"; done
        exec /lib/systemd/systemd --user --log-target=journal --log-level=info' >"$work/manager.log" 2>&1 &
    local manager=$!
    for _ in $(seq 200); do
        [ -S /run/systemd/private ] && break
        kill -0 "$manager" 2>/dev/null || break
        sleep 0.05
    done
    [ -S /run/systemd/private ] || skip "systemd --user did not start: $(cat "$work/manager.log") \
$(journalctl --no-pager -o cat _PID="$manager" | tail -5)"
    local running
    running=$(timeout 20 systemctl --user is-system-running --wait 2>&1) || true
    [ "$running" = running ] || skip "systemd --user is not running: $running"
    say "systemd --user ($(systemctl --user --version | head -1)) is running, pid $manager"

    local sha
    sha=$(sha256sum "$work/images/firmware.bin" | cut -d' ' -f1)
    # A record of pts/N goes to pts/N.json: %I of pts-N is pts/N.
    mkdir -p "$state/fwutil-station/pts"
    # fwsim's fault       manager's result  status  outcome    priority
    while read -r fault result status outcome priority; do
        local out=$work/fwsim-$status.out
        local args=(--pty --baud 0 --expect-images "$work/images")
        [ "$fault" = - ] || args+=(--fault "$fault")
        "$work/bin/fwsim" "${args[@]}" >"$out" 2>"$out.err" &
        local sim=$!
        for _ in $(seq 100); do
            grep -q '^fwsim: serving ' "$out" && break
            sleep 0.05
        done
        local pty
        pty=$(sed -n 's/^fwsim: serving //p' "$out")
        [ -n "$pty" ] || {
            fail "fwsim did not announce its pty: $(cat "$out.err")"
            continue
        }
        sed "s|^\"RIL1:\"=.*|\"RIL1:\"=\"cmd:kill -USR1 $sim\"|" "$work/pty.reg" >"$work/station.reg"
        local name
        name=fwutil-station@$(systemd-escape --path "$pty" | sed 's/^dev-//').service
        local label="$name (fwsim with no fault)"
        [ "$fault" = - ] || label="$name (fwsim --fault $fault)"

        local cursor
        cursor=$(journalctl -n 1 -o export | sed -n 's/^__CURSOR=//p')
        timeout 60 cat "$work/done" >"$work/result" &
        local reader=$!
        # Queued only: the FIFO's read is the one wait, and its bound.
        systemctl --user start --no-block "$name" 2>"$work/start.err" ||
            say "systemctl --user start $name: $(cat "$work/start.err")"
        wait "$reader" || true
        local got_result got_code got_status
        read -r got_result got_code got_status <"$work/result" || true
        check "$label: the manager saw '$result exited $status' (got '$got_result $got_code $got_status')" \
            test "$got_result $got_code $got_status" = "$result exited $status"
        kill -INT "$sim" 2>/dev/null || true
        local sim_status=0
        wait "$sim" || sim_status=$?
        if [ "$fault" = - ]; then
            check "$label: fwsim got the images without a violation (status $sim_status)" \
                sh -c "test $sim_status = 0 && grep -q '^  flashed          yes' '$out' &&
                    test \$(grep -c '^  sha256 .*, same as ' '$out') = 3"
        fi

        # The station's entry in the journal (the one after the journal's end
        # before the start: a pty's number, and so the unit's name, comes
        # back), the probe's line, and the record.
        timeout 10 journalctl --sync || true
        journalctl --no-pager -o json --after-cursor="$cursor" |
            grep -F '"MESSAGE_ID":"bd94a7997f714205bb765e1efee02ddb"' >"$work/entry.json" || true
        check "$label: one journal entry of the result" test "$(wc -l <"$work/entry.json")" = 1
        local sandbox
        sandbox=$(journalctl -o cat --after-cursor="$cursor" | sed -n 's/^sandbox writable: //p')
        check "$label: the unit's sandbox lets it write only to $writable (got '$sandbox')" \
            test "$sandbox" = "$writable"
        local record=$state/fwutil-station/${pty#/dev/}.json
        check "$label: the record is JSON" python3 -m json.tool "$record" /dev/null
        got=()
        while read -r key value; do got[$key]=$value; done < <(fields "$work/entry.json" "$record")
        # field                   expected
        while read -r key expected; do
            check "$label: $key = $expected (got '${got[$key]:-}')" test "${got[$key]:-}" = "$expected"
        done <<EOF
_SYSTEMD_USER_UNIT        $name
PORT                      $pty
OUTCOME                   $outcome
STATUS                    $status
PRIORITY                  $priority
SYSLOG_IDENTIFIER         fwutil
IMAGE_SHA256              $sha
DURATION_MS               ${got[record.duration_ms]:-}
REASON                    ${got[record.reason]:-}
record.outcome            $outcome
record.status             $status
record.port               $pty
record.image.sha256       $sha
EOF
        check "$label: REASON there exactly when the run failed ('${got[REASON]:-}')" \
            test "$([ -n "${got[REASON]:-}" ] && echo 1)" = "$([ "$status" != 0 ] && echo 1)"
        say "$label: the journal holds"
        for key in _SYSTEMD_USER_UNIT MESSAGE PRIORITY PORT OUTCOME REASON DURATION_MS IMAGE_SHA256 STATUS; do
            [ -z "${got[$key]:-}" ] || printf '    %s=%s\n' "$key" "${got[$key]}"
        done
    done <<EOF
-                   success           0       flashed    6
image-block:unplug  exit-code         6       link-lost  3
EOF

    local ledger=$state/fwutil-station/ledger.jsonl
    check "the ledger has one complete JSON line per run, flashed then link-lost" python3 - "$ledger" <<'PY'
import json, sys
lines = open(sys.argv[1]).read().splitlines()
sys.exit(0 if [json.loads(l)["outcome"] for l in lines] == ["flashed", "link-lost"] else 1)
PY
    if [ "$failures" -gt 0 ]; then
        say "the manager's and the station's journal:"
        journalctl --no-pager -o short-precise | tail -40
        say "$failures check(s) failed"
        exit 1
    fi
    say "all checks passed"
}

# Outside, at the end: the control groups made for the manager, once their
# processes are gone.
cgroups=()
# shellcheck disable=SC2317 # run by the EXIT trap
remove_groups() {
    local cg
    for cg in "${cgroups[@]}"; do
        [ -d "$cg" ] || continue
        for _ in $(seq 20); do
            find "$cg" -depth -type d -exec rmdir {} + 2>/dev/null && break
            sleep 0.1
        done
        [ -d "$cg" ] && say "warning: could not remove the control group $cg"
    done
    return 0
}
trap remove_groups EXIT

if [ "${1:-}" = --inside ]; then
    shift
    inside "$@"
    exit
fi

# ---------------------------------------------------------------------------
# Outside: the control-group subtree and the namespaces
# ---------------------------------------------------------------------------
fwutil=${1:-$build/fwutil}
fwsim=${2:-$build/fwsim}
unit=${3:-$root/packaging/systemd/fwutil-station@.service}
images=${4:-$build/resources/standin}
profile=${5:-$root/profiles/pty.reg}
for f in "$fwutil" "$fwsim" "$unit" "$images/firmware.bin" "$profile"; do
    [ -e "$f" ] || {
        say "FAIL: $f is missing"
        exit 1
    }
done
[ "$(id -u)" = 0 ] || skip "needs root (a mount and PID namespace, a control-group subtree)"
for tool in /lib/systemd/systemd /lib/systemd/systemd-journald systemctl journalctl systemd-escape unshare python3; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is missing"
done
unshare_error=$(unshare -m -p -f --mount-proc true 2>&1) ||
    skip "no mount and PID namespace here (unshare -m -p -f --mount-proc: $unshare_error)"

# Every hierarchy this process is in (cpuset aside: systemd leaves it alone,
# and its groups need CPUs before they take a process), as FOLDER/PATH.
hierarchies() {
    local ctrls path _ mnt type opts
    while IFS=: read -r _ ctrls path; do
        [[ ",$ctrls," == *,cpuset,* ]] && continue
        while read -r _ mnt type opts _; do
            case $type in
            cgroup2) [ -z "$ctrls" ] || continue ;;
            cgroup) [[ -n "$ctrls" && ",$opts," == *",${ctrls%%,*},"* ]] || continue ;;
            *) continue ;;
            esac
            echo "$mnt${path%/}"
        done </proc/self/mounts
    done </proc/self/cgroup
}
group=fwutil-station-check.$$
while read -r h; do cgroups+=("$h/$group"); done < <(hierarchies)
[ ${#cgroups[@]} -gt 0 ] || skip "no control-group hierarchy is mounted"
for cg in "${cgroups[@]}"; do
    mkdir_error=$(mkdir -p "$cg/user@0.service" 2>&1) ||
        skip "cannot make a control group for the manager ($mkdir_error)"
done
# This script's helpers in GROUP, the manager in GROUP/user@0.service, where
# a per-user manager lives (so journald, whose root is the group of PID 1,
# tells its units' entries by _SYSTEMD_USER_UNIT).
status=0
(
    for cg in "${cgroups[@]}"; do echo "$BASHPID" >"$cg/cgroup.procs"; done
    FWU_CHECK_CGROUPS="${cgroups[*]}" exec unshare -m -p -f --mount-proc --propagation private --kill-child \
        bash "$0" --inside "$(realpath "$fwutil")" "$(realpath "$fwsim")" "$(realpath "$unit")" \
        "$(realpath "$images")" "$(realpath "$profile")"
) || status=$?
exit "$status"
