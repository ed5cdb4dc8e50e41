#!/usr/bin/env bash
# The terminal display end to end: fwutil on the built-in profile (the
# simulated handheld) in a private tmux server at 80x25 with LANG=C.UTF-8,
# driven with keys and mouse clicks as a person would, the screen read back
# with capture-pane. Each case starts its own tool with its own window
# namespace, so cases run side by side.
#
#   tui_test.sh FWUTIL CASE
#
# Exit 0: passed; 1: failed (the screen is printed); 77: skipped (no tmux,
# no fwutil). Every wait is bounded.
set -u
unset TMUX

FWUTIL=${1:-}
CASE=${2:-}

skip()
{
    echo "SKIP: $*"
    exit 77
}

command -v tmux >/dev/null 2>&1 || skip "tmux is not installed"
if [ -z "$FWUTIL" ] || [ ! -x "$FWUTIL" ]; then skip "no fwutil executable (${FWUTIL:-not built})"; fi

WORK=$(mktemp -d)
chmod 700 "$WORK"
mkdir -m 700 "$WORK/run"
# A private server whose socket lives in the scratch directory, so nothing
# is left in the shared tmux directory.
TM=(tmux -S "$WORK/tmux.sock" -f /dev/null)

# shellcheck disable=SC2317 # run by the EXIT trap
cleanup()
{
    exec 3>&- 2>/dev/null
    "${TM[@]}" kill-server >/dev/null 2>&1
    rm -rf "$WORK"
}
trap cleanup EXIT

screen()
{
    "${TM[@]}" capture-pane -p -t ui 2>/dev/null
}

pane()
{
    "${TM[@]}" display -p -t ui "$1" 2>/dev/null
}

fail()
{
    echo "FAIL: $*"
    echo "--- screen ($(pane '#{pane_width}x#{pane_height}')):"
    screen
    echo "---"
    exit 1
}

# Starts the tool in a fresh 80x25 session; extra fwutil options follow.
# The exit status is read from a wrapper shell rather than from tmux's
# #{pane_dead_status}: tmux 3.3a with several servers starting at once now
# and then never reaps a pane's process (seen with a plain "sleep 0.5").
start()
{
    local inner="echo \$\$ >$WORK/pid; exec env LANG=C.UTF-8 FWU_RUNTIME_DIR=$WORK/run XDG_STATE_HOME=$WORK/state"
    inner="$inner $FWUTIL --display terminal $*"
    "${TM[@]}" new-session -d -s ui -x 80 -y 25 "sh -c '$inner'; echo \$? >$WORK/status.tmp; mv $WORK/status.tmp $WORK/status" \; \
        set-option -t ui remain-on-exit on || fail "tmux could not start a session"
}

# Another fwutil on the same device profile (same window namespace).
fwutil_again()
{
    env FWU_RUNTIME_DIR="$WORK/run" XDG_STATE_HOME="$WORK/state" "$FWUTIL" "$@"
}

# The built-in device's own log: its name ends in a hash of the profile and
# port ("fwutil-built-in-sim-HASH.log"), the one log of that device here.
device_log()
{
    local logs=("$WORK"/state/fwutil/fwutil-built-in-sim-*.log)
    echo "${logs[0]}"
}

# Waits until the screen shows TEXT, at most SECONDS.
wait_screen()
{
    local text=$1 deadline=$((SECONDS + $2))
    while :; do
        screen | grep -qF -- "$text" && return 0
        [ "$SECONDS" -ge "$deadline" ] && return 1
        sleep 0.1
    done
}

# Waits until the screen no longer shows TEXT, at most SECONDS.
wait_gone()
{
    local text=$1 deadline=$((SECONDS + $2))
    while :; do
        screen | grep -qF -- "$text" || return 0
        [ "$SECONDS" -ge "$deadline" ] && return 1
        sleep 0.1
    done
}

# Waits until the tool has ended (its status is known).
wait_dead()
{
    local deadline=$((SECONDS + $1))
    while :; do
        [ -s "$WORK/status" ] && return 0
        [ "$SECONDS" -ge "$deadline" ] && return 1
        sleep 0.1
    done
}

status()
{
    cat "$WORK/status" 2>/dev/null
}

keys()
{
    "${TM[@]}" send-keys -t ui "$@"
}

# A left click at column X, row Y (from 0), as a terminal reports it (X10
# mouse encoding: press, then release).
click()
{
    local cx cy
    cx=$(printf '%x' $((33 + $1)))
    cy=$(printf '%x' $((33 + $2)))
    "${TM[@]}" send-keys -t ui -H 1b 5b 4d 20 "$cx" "$cy" 1b 5b 4d 23 "$cx" "$cy"
}

# Row N (from 1) of the screen.
row()
{
    screen | sed -n "$1p"
}

expect_exit()
{
    local want=$1 why=$2
    wait_dead 15 || fail "$why: the tool did not end"
    [ "$(status)" = "$want" ] || fail "$why: exit status '$(status)', expected $want"
    # The wrapper shell ends right after the tool; then the pane is dead.
    local deadline=$((SECONDS + 5))
    until [ "$(pane '#{pane_dead}')" = 1 ]; do
        [ "$SECONDS" -ge "$deadline" ] && fail "$why: the pane stayed alive"
        sleep 0.1
    done
    [ "$(pane '#{alternate_on}')" = 0 ] || fail "$why: the terminal was not restored (still on the alternate screen)"
}

# Waits until the pane's history (lines joined, as they wrap at 80 columns)
# shows TEXT once the tool has ended, at most 3 s: tmux may still be reading
# the tool's last output when it sees the exit.
expect_history()
{
    local deadline=$((SECONDS + 3))
    until "${TM[@]}" capture-pane -p -J -t "${2:-ui}" -S -200 | grep -qF -- "$1"; do
        [ "$SECONDS" -ge "$deadline" ] && fail "no line '$1' after the screen"
        sleep 0.1
    done
}

# The first screen: title bar with [OK], the banner, the menu bar.
expect_main_screen()
{
    wait_screen "<< Firmware Version: V.4.5.0 >>" 15 || fail "no banner"
    local title bottom
    title=$(row 1)
    [[ "$title" == *"Firmware Utility"*"[OK]"* ]] || fail "title bar is '$title'"
    [[ "$(row 2)" == "Morvane Tessel Firmware Utility"* ]] || fail "the banner is not the first text of the log pane"
    bottom=$(row "$(pane '#{pane_height}')")
    [[ "$bottom" == " System "* ]] || fail "menu bar is '$bottom'"
    [ "$(pane '#{alternate_on}')" = 1 ] || fail "the display is not on the terminal's screen"
}

# The built-in profile with the simulator paced at BAUD, so that a person has
# time to act while the image goes out.
paced_profile()
{
    local here
    here=$(cd "$(dirname "$0")" && pwd)
    { cat "$here/../../profiles/default.reg"; printf '"Baud"=dword:%08x\n' "$1"; } >"$WORK/paced.reg"
    echo "$WORK/paced.reg"
}

# Starts an update from the menu and waits for the status line's image phase.
update_until_image()
{
    keys F1
    wait_screen "Update firmware - Go" 5 || fail "F1 did not open the menu"
    keys Enter
    wait_screen "Image " 60 || fail "the status line shows no image phase"
}

# The status line's row, just above the menu bar.
status_row()
{
    row $(($(pane '#{pane_height}') - 1))
}

# The image's percent on the status row, or nothing.
status_percent()
{
    status_row | sed -n 's/.*Image \([0-9]*\)%.*/\1/p'
}

# The title bar still names the window whatever the status says.
expect_title()
{
    [[ "$(row 1)" == " Firmware Utility "*"[OK]"* ]] || fail "$1: the title bar is '$(row 1)'"
}

# Resizes the window to COLS x ROWS and waits until the menu bar sits on the
# last row and the title bar's [OK] five columns from the right edge.
resize_and_check()
{
    local cols=$1 rows=$2 deadline title prefix
    "${TM[@]}" resize-window -t ui -x "$cols" -y "$rows"
    deadline=$((SECONDS + 5))
    until [[ "$(row "$rows")" == " System "* ]]; do
        [ "$SECONDS" -ge "$deadline" ] && fail "the menu bar did not move to row $rows"
        sleep 0.1
    done
    title=$(row 1)
    prefix=${title%%"[OK]"*}
    [ "${#prefix}" = $((cols - 5)) ] || fail "the title bar's [OK] is at column ${#prefix}, expected $((cols - 5))"
}

case "$CASE" in
quit_no)
    # Ctrl+Q during the image transfer asks first; Enter takes the default,
    # No, and the update goes on to its box.
    start --profile "$(paced_profile 460800)"
    expect_main_screen
    update_until_image
    keys C-q
    wait_screen "Update in progress" 5 || fail "Ctrl+Q during the image did not ask"
    screen | grep -qF "Quit anyway?" || fail "the question's text is cut"
    screen | grep -qF "without a working firmware" || fail "during the image the question does not say the firmware goes"
    { screen | grep -qF "[Yes]" && screen | grep -qF "[No]"; } || fail "the box has no Yes and No"
    row "$(pane '#{pane_height}')" | grep -qF "Left/Right Enter  Y/N" || fail "the menu bar does not say the box's keys"
    keys Enter
    wait_gone "Update in progress" 5 || fail "Enter did not answer the question"
    [ -s "$WORK/status" ] && fail "No ended the tool"
    wait_screen "Reboot device/Reset module !" 180 || fail "the update did not finish after No"
    keys Enter
    expect_exit 3 "device restart after No"
    ;;
quit_yes)
    # Ctrl+C acts as Ctrl+Q: it asks, Left and Enter answer Yes, the run is stopped and
    # the tool ends with the interrupted status and says what the module has.
    start --profile "$(paced_profile 460800)"
    expect_main_screen
    update_until_image
    keys C-c
    wait_screen "Update in progress" 5 || fail "Ctrl+C during the image did not ask"
    keys Left Enter # the focus moves from No to Yes; Enter takes it
    expect_exit 130 "Yes during the image"
    # The line may have scrolled into the history and wraps at 80 columns.
    deadline=$((SECONDS + 3))
    until "${TM[@]}" capture-pane -p -J -t ui -S -200 | grep -qF \
        "fwutil: interrupted during the image transfer: the module has no working firmware"; do
        [ "$SECONDS" -ge "$deadline" ] && fail "no line on what the module is left with"
        sleep 0.1
    done
    ;;
status_line)
    # The status row shows the image's percent rising and the time left.
    start --profile "$(paced_profile 460800)"
    expect_main_screen
    update_until_image
    first=$(status_percent)
    [ -n "$first" ] || fail "no percent on the status row"
    deadline=$((SECONDS + 30))
    until [ "$(status_percent)" -gt "$first" ] 2>/dev/null; do
        [ "$SECONDS" -ge "$deadline" ] && fail "the percent stayed at $first"
        sleep 0.2
    done
    status_row | grep -qE '[0-9.]+ [kM]?B/s  [0-9:]+ left' || fail "no rate and time left: '$(status_row)'"
    expect_title "during the image"
    keys C-q
    wait_screen "Update in progress" 5 || fail "Ctrl+Q did not ask"
    keys y
    expect_exit 130 "Yes during the image"
    ;;
bridge_status)
    # While the bridge runs the status row names both ends and the peer's
    # path (the path --post 153 prints), under the log and never over the
    # title; too narrow for all of it, it is cut with an ellipsis.
    start
    expect_main_screen
    said=$(fwutil_again --post 153) || fail "--post 153 was not delivered"
    [[ "$said" == "bridge peer: /dev/"* ]] || fail "--post 153 printed '$said', not the bridge's peer"
    peer=${said#bridge peer: }
    wait_screen "Bridge COM1:" 10 || fail "the status line does not show the bridge"
    log=$(device_log)
    grep -aqF ": is the pseudo-terminal $peer" "$log" || fail "the peer $peer printed is not the one announced in $log"
    status_row | grep -qF "COM3: $peer sent 0 B" || fail "the status row does not name the peer $peer: '$(status_row)'"
    expect_title "with the bridge running"
    exec 3<>"$peer" || fail "cannot open $peer"
    stty -F "$peer" raw -echo || fail "cannot set $peer raw"
    printf 'AT\r' >&3
    reply=$(timeout 10 grep -a -m1 -o OK <&3)
    [ "$reply" = OK ] || fail "no OK through the bridge"
    exec 3>&-
    wait_screen "COM3: $peer sent 3 B" 5 || fail "the peer's byte count did not rise: '$(status_row)'"
    resize_and_check 40 12
    [[ "$(status_row)" == *"Bridge COM1: "*"…"* ]] || fail "at 40 columns the status row is '$(status_row)'"
    expect_title "at 40 columns"
    keys C-q
    expect_exit 0 "Ctrl+Q with the bridge running"
    ;;
bridge_stop)
    # Command 155 stops the bridge: the status row says so instead of going blank.
    start
    expect_main_screen
    fwutil_again --post 153 >/dev/null || fail "--post 153 was not delivered"
    wait_screen "Bridge COM1:" 10 || fail "the status line does not show the bridge"
    fwutil_again --post 155 || fail "--post 155 was not delivered"
    wait_gone "Bridge COM1:" 10 || fail "the status line still shows the bridge after --post 155"
    wait_screen "Bridge stopped" 5 || fail "the status row does not say the bridge stopped: '$(status_row)'"
    keys C-q
    expect_exit 0 "Ctrl+Q after the bridge stopped"
    ;;
term_dumb)
    # A terminal that cannot place the cursor (TERM=dumb): the window is not
    # drawn blank; the tool says why and runs headless, its log pane's text
    # written as it grows. Asked for by name, the terminal display is refused.
    "${TM[@]}" new-session -d -s ui -x 80 -y 25 "env TERM=dumb LANG=C.UTF-8 FWU_RUNTIME_DIR=$WORK/run XDG_STATE_HOME=$WORK/state $FWUTIL; echo status=\$?; env TERM=dumb LANG=C.UTF-8 FWU_RUNTIME_DIR=$WORK/run XDG_STATE_HOME=$WORK/state $FWUTIL --display terminal; echo status=\$?; sleep 30" ||
        fail "tmux could not start a session"
    wait_screen "fwutil: terminal type 'dumb' cannot place the cursor" 10 || fail "no word on the dumb terminal"
    wait_screen "running headless" 5 || fail "the tool did not say it runs headless"
    wait_screen "Morvane Tessel Firmware Utility" 10 || fail "the log pane's text is not shown"
    fwutil_again --post 101 || fail "--post 101 was not delivered"
    wait_screen "status=0" 10 || fail "the headless tool did not end with 0"
    screen | grep -qF "the log is in" && fail "the end names a device log the headless run did not write to"
    wait_screen "fwutil: cannot use the terminal display: terminal type 'dumb'" 10 ||
        fail "--display terminal on a dumb terminal was not refused"
    wait_screen "status=2" 10 || fail "the refusal did not end with 2"
    ;;
slow_reset)
    # A module reset whose command takes its time (--post 154) holds up
    # neither the About box posted after it nor a --post 101.
    here=$(cd "$(dirname "$0")" && pwd)
    sed 's|^"RIL1:"=.*|"RIL1:"="cmd:sleep 8"|' "$here/../../profiles/default.reg" >"$WORK/slow.reg"
    start --profile "$WORK/slow.reg"
    expect_main_screen
    fwutil_again --profile "$WORK/slow.reg" --post 154 || fail "--post 154 was not delivered"
    fwutil_again --profile "$WORK/slow.reg" --post 120 || fail "--post 120 was not delivered"
    wait_screen "Tandrel - Written for Vela" 3 || fail "the About box waited for the reset"
    keys Escape
    wait_gone "Tandrel" 3 || fail "Esc did not end the About box"
    fwutil_again --profile "$WORK/slow.reg" --post 101 || fail "--post 101 was not delivered"
    wait_dead 3 || fail "--post 101 waited for the reset"
    expect_exit 0 "--post 101 during the reset"
    ;;
update)
    # Menu -> "Update firmware - Go"; the log reaches the end; the success
    # box; Enter; the simulated handheld restarts (status 3).
    start
    expect_main_screen
    keys F1
    wait_screen "Update firmware - Go" 5 || fail "F1 did not open the menu"
    screen | grep -qF "Exit" || fail "the menu has no Exit"
    keys Enter
    wait_gone "Update firmware - Go" 5 || fail "the menu stayed open after Enter"
    wait_screen "Firmware Updated....Done" 120 || fail "the update did not finish"
    wait_screen "Reboot device/Reset module !" 30 || fail "no success box"
    screen | grep -qF "Successful" || fail "the box has no caption"
    screen | grep -qF "[OK]" || fail "the box has no button"
    keys C-q # a box takes the keys: Ctrl+Q must not close the window under it
    sleep 0.5
    [ "$(pane '#{pane_dead}')" = 0 ] || fail "Ctrl+Q went past the box"
    keys Enter
    expect_exit 3 "device restart"
    expect_history "fwutil: the module was flashed and the device restarted; the log is in $WORK/state/fwutil/fwutil-built-in"
    ;;
ctrl_q)
    # Ctrl+Q is the program's accelerator. The debug output goes to the same
    # terminal here: it must not show while the screen is drawn, and comes
    # out once the terminal is restored.
    start --debug stderr
    expect_main_screen
    sleep 0.5
    screen | grep -qF "get current dir" && fail "debug output scribbled on the screen"
    keys C-q
    expect_exit 0 "Ctrl+Q"
    # They may have scrolled into the history; tmux may also still be reading
    # the tool's last output when it sees the exit.
    deadline=$((SECONDS + 3))
    until "${TM[@]}" capture-pane -p -t ui -S -200 | grep -qF "get current dir"; do
        [ "$SECONDS" -ge "$deadline" ] && fail "the debug lines held back were not written out at the end"
        sleep 0.1
    done
    ;;
ok_click)
    # Mouse: a click on "System" opens the drop-down, a click elsewhere closes
    # it without a command, a click on the title bar's [OK] quits.
    start
    expect_main_screen
    click 2 24
    wait_screen "Update firmware - Go" 5 || fail "a click on System did not open the menu"
    click 60 10
    wait_gone "Update firmware - Go" 5 || fail "a click outside did not close the menu"
    [ -s "$WORK/status" ] && fail "a click outside the menu ended the tool"
    title=$(row 1)
    prefix=${title%%"[OK]"*}
    click $((${#prefix} + 1)) 0
    expect_exit 0 "click on [OK]"
    ;;
exit_menu)
    # Keyboard only: F1, Down (over the separator) to "Exit", Enter.
    start
    expect_main_screen
    keys F1
    wait_screen "Update firmware - Go" 5 || fail "F1 did not open the menu"
    keys Down Enter
    expect_exit 0 "menu Exit"
    expect_history "fwutil: the window was closed; the log is in $WORK/state/fwutil/fwutil-built-in"
    ;;
second_start)
    # A second start on the same device in a terminal of its own: its line
    # comes after its screen is restored, where a person reads it.
    start
    expect_main_screen
    first=$(cat "$WORK/pid")
    "${TM[@]}" new-session -d -s two -x 80 -y 25 "env LANG=C.UTF-8 FWU_RUNTIME_DIR=$WORK/run XDG_STATE_HOME=$WORK/state $FWUTIL --display terminal; echo status=\$?; sleep 30" ||
        fail "tmux could not start a second session"
    expect_history "status=255" two
    expect_history "fwutil: a tool already runs for this device (pid $first); it was brought to the front" two
    keys C-q
    expect_exit 0 "Ctrl+Q after the second start"
    ;;
about)
    # The About box (command 120, posted from outside) as an overlay; Esc
    # ends it; then F10, the title bar's OK.
    start
    expect_main_screen
    fwutil_again --post 120 || fail "--post 120 was not delivered"
    wait_screen "Tandrel - Written for Vela" 10 || fail "the About box did not show"
    screen | grep -qF "About" || fail "the About box has no caption"
    screen | grep -qF "FFUART" || fail "the About text is cut"
    screen | grep -qF "$("$FWUTIL" --version | head -n 1), firmware " || fail "the About box does not show the version and the firmware"
    keys F1
    sleep 0.3
    screen | grep -qF "Update firmware - Go" && fail "the menu opened over the modal About box"
    keys Escape
    wait_gone "Tandrel" 5 || fail "Esc did not end the About box"
    keys F10
    expect_exit 0 "F10"
    ;;
bridge)
    # Command 153 starts the bridge; a terminal on the announced peer port
    # talks to the simulated module's firmware through it.
    start
    expect_main_screen
    fwutil_again --post 153 >/dev/null || fail "--post 153 was not delivered"
    log=$(device_log) # the device's own log
    peer=""
    deadline=$((SECONDS + 10))
    while [ -z "$peer" ] && [ "$SECONDS" -lt "$deadline" ]; do
        peer=$(grep -a ': is the pseudo-terminal /dev/' "$log" 2>/dev/null | tail -1 | sed 's/.*pseudo-terminal //' | tr -d '\r\n')
        [ -z "$peer" ] && sleep 0.1
    done
    [ -n "$peer" ] || fail "no peer port announced in $log"
    [ -c "$peer" ] || fail "the announced peer $peer is not a terminal device"
    exec 3<>"$peer" || fail "cannot open $peer"
    stty -F "$peer" raw -echo || fail "cannot set $peer raw"
    for i in $(seq 1 15); do
        printf 'AT\r' >&3
        reply=$(timeout 10 grep -a -m1 -o OK <&3)
        [ "$reply" = OK ] || fail "no OK for AT number $i through the bridge on $peer"
    done
    exec 3>&-
    wait_screen "bytes" 5 || fail "the log pane shows no bridge traffic"
    # Thirty traffic lines fill the pane; it follows the end. PgUp goes back
    # (the bar says so), End follows again.
    wait_gone "Morvane Tessel" 5 || fail "the pane did not follow the end of the log"
    keys PPage PPage
    wait_screen "End: follow" 5 || fail "PgUp did not scroll back"
    [[ "$(row 2)" == "Morvane Tessel Firmware Utility"* ]] || fail "two pages up is not the top of the log"
    keys End
    wait_gone "End: follow" 5 || fail "End did not follow the end again"
    screen | grep -qF "Morvane Tessel" && fail "End did not show the end of the log"
    keys C-q
    expect_exit 0 "Ctrl+Q with the bridge running"
    ;;
resize)
    # The window follows the terminal's size; the log is kept.
    start
    expect_main_screen
    fwutil_again --post 153 >/dev/null || fail "--post 153 was not delivered"
    wait_screen "COM1: opened" 10 || fail "no bridge lines in the log"
    before=$(screen | sed -n '2,8p')
    resize_and_check 100 30
    [ "$(screen | sed -n '2,8p')" = "$before" ] || fail "the log changed across the resize"
    resize_and_check 50 15
    screen | grep -qF "Morvane Tessel Firmware Utility" || fail "the banner was lost in the resize"
    screen | grep -qF "COM1: opened" || fail "the bridge lines were lost in the resize"
    keys C-q
    expect_exit 0 "Ctrl+Q after resizing"
    ;;
signal)
    # SIGTERM: the terminal is restored and the signal ends the process.
    start
    expect_main_screen
    pid=$(cat "$WORK/pid")
    [ "$(tr '\0' ' ' <"/proc/$pid/cmdline")" = "$FWUTIL --display terminal " ] || fail "pid $pid is not the tool"
    kill -TERM "$pid"
    expect_exit 143 "SIGTERM" # 128 + 15: the signal itself ended it
    ;;
signal_update_term | signal_update_hup)
    # A stopping signal during the image: the same stop as headless. The run
    # is stopped, one line after the restored screen says what the module is
    # left with, the log ends with the port's closing and the outcome line, and the namespace's
    # socket and lock are gone.
    sig=${CASE#signal_update_}
    sig=${sig^^}
    start --profile "$(paced_profile 460800)"
    expect_main_screen
    update_until_image
    pid=$(cat "$WORK/pid")
    kill -"$sig" "$pid"
    expect_exit $((128 + $(kill -l "$sig"))) "SIG$sig during the image"
    deadline=$((SECONDS + 3))
    until "${TM[@]}" capture-pane -p -J -t ui -S -200 | grep -qF \
        "fwutil: interrupted during the image transfer: the module has no working firmware"; do
        [ "$SECONDS" -ge "$deadline" ] && fail "SIG$sig: no line on what the module is left with"
        sleep 0.1
    done
    logs=("$WORK"/state/fwutil/fwutil-paced*.log)
    log=${logs[0]}
    [ -f "$log" ] || fail "SIG$sig: no per-device log"
    tail -2 "$log" | head -1 | grep -qF "COM1: closed:" || fail "SIG$sig: the port's closing is not before the outcome line"
    tail -1 "$log" | grep -qE "==== ended [0-9T:.-]+Z: interrupted during the image transfer.*, exit status $((128 + $(kill -l "$sig"))) ====\$" ||
        fail "SIG$sig: the log ends with '$(tail -1 "$log")'"
    left=$(find "$WORK/run" -mindepth 1 -printf '%f ')
    [ -z "$left" ] || fail "SIG$sig: the namespace's files stayed behind: $left"
    ;;
open_fail)
    # A port that is not there: the log pane keeps its line, the status row
    # names the path and the reason (wide enough to show all of it).
    start --port "$WORK/no-such-tty" --firmware standin
    expect_main_screen
    "${TM[@]}" resize-window -t ui -x 160 -y 25
    keys F1
    wait_screen "Update firmware - Go" 5 || fail "F1 did not open the menu"
    keys Enter
    wait_screen "Open Comport fail!!" 30 || fail "the log pane does not say the open failed"
    wait_screen "Update failed: cannot open COM1: $WORK/no-such-tty: No such file or directory: is the adapter plugged in?" 10 ||
        fail "the status row does not name the path and the reason: '$(status_row)'"
    keys C-q
    expect_exit 0 "Ctrl+Q after the failed open"
    ;;
*)
    echo "unknown case '$CASE'"
    exit 2
    ;;
esac
echo "PASS: $CASE"
exit 0
