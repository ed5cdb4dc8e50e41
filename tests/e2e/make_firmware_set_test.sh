#!/usr/bin/env bash
# scripts/make-firmware-set.sh as a user runs it: a signed set that sha256sum
# and minisign verify, an unsigned rerun that drops the stale signature, and
# each refusal (exit 1, nothing written) or usage error (exit 2).
# Usage: make_firmware_set_test.sh REPO_ROOT
set -uo pipefail
tool=$1/scripts/make-firmware-set.sh
command -v minisign >/dev/null || {
    echo "SKIP: minisign is not installed (scripts/deps.sh installs it)"
    exit 77
}
work=$(mktemp -d /tmp/make-set-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# A set of random bytes of the exact sizes.
fresh() {
    rm -rf "$work/set"
    mkdir "$work/set"
    head -c 184 /dev/urandom >"$work/set/boot1.bin"
    head -c 7414 /dev/urandom >"$work/set/boot2.bin"
    printf '\x3f\xec\xe6' >"$work/set/filesize.bin"
    head -c 2490264 /dev/urandom >"$work/set/firmware.bin"
}

minisign -G -W -p "$work/k.pub" -s "$work/k.key" >/dev/null || fail "minisign -G"
fresh
"$tool" "$work/set" gsm-module 2.41 "$work/k.key" >/dev/null || fail "signing a good set"
[ "$(cat "$work/set/VERSION")" = "gsm-module 2.41" ] || fail "VERSION: $(cat "$work/set/VERSION")"
(cd "$work/set" && sha256sum --quiet --strict -c SHA256SUMS) || fail "sha256sum -c SHA256SUMS"
[ "$(cut -d' ' -f3 "$work/set/SHA256SUMS" | tr '\n' ' ')" = "boot1.bin boot2.bin filesize.bin firmware.bin VERSION " ] ||
    fail "SHA256SUMS lists $(cut -d' ' -f3 "$work/set/SHA256SUMS" | tr '\n' ' ')"
minisign -V -q -p "$work/k.pub" -m "$work/set/SHA256SUMS" || fail "minisign -V"
grep -qx 'trusted comment: gsm-module 2.41' "$work/set/SHA256SUMS.minisig" || fail "trusted comment"
"$tool" "$work/set" gsm-module 2.42 >/dev/null || fail "an unsigned rerun"
[ ! -e "$work/set/SHA256SUMS.minisig" ] || fail "the stale signature stayed"

# what is wrong                 the change                                           status
while IFS='|' read -r what change want; do
    fresh
    eval "$change"
    "$tool" "$work/set" gsm-module 2.41 "$work/k.key" >"$work/out" 2>&1
    got=$?
    [ "$got" = "$want" ] || fail "$what: status $got, expected $want: $(cat "$work/out")"
    [ ! -e "$work/set/SHA256SUMS" ] || fail "$what: SHA256SUMS was written"
done <<EOF
firmware.bin a byte short     |truncate -s 2490263 "\$work/set/firmware.bin"                          |1
boot2.bin missing             |rm "\$work/set/boot2.bin"                                              |1
filesize.bin other bytes      |printf '\\x3f\\xec\\xe7' >"\$work/set/filesize.bin"                   |1
boot1.bin a symbolic link     |mv "\$work/set/boot1.bin" "\$work/b1" && ln -s "\$work/b1" "\$work/set/boot1.bin"|1
no such secret key           |mv "\$work/k.key" "\$work/k.away"                                    |1
EOF
mv "$work/k.away" "$work/k.key"
"$tool" "$work/set" "gsm module" 2.41 >/dev/null 2>&1
[ $? = 2 ] || fail "a name with a blank: not a usage error"
"$tool" "$work/set" >/dev/null 2>&1
[ $? = 2 ] || fail "too few arguments: not a usage error"

[ "$failures" = 0 ] || exit 1
echo "ok"
