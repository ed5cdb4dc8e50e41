#!/usr/bin/env bash
# Makes a folder of delivered payload images into a firmware set that fwutil
# takes with --firmware: writes VERSION and SHA256SUMS and, given a minisign
# secret key, SHA256SUMS.minisig. Installed as fwutil-make-firmware-set.
set -euo pipefail
prog=$(basename "$0")

usage() {
    cat <<EOF
usage: $prog DIR NAME VERSION [SECRET_KEY]

Makes DIR, which holds the four delivered payload images, into a firmware set
for fwutil --firmware:
  boot1.bin     184 bytes      the stage-1 loader
  boot2.bin     7414 bytes     the stage-2 loader
  filesize.bin  3 bytes        3f ec e6
  firmware.bin  2490264 bytes  the module firmware
It checks each file's size (and filesize.bin's bytes), then writes
  VERSION             "NAME VERSION"
  SHA256SUMS          the four files' and VERSION's SHA-256 in sha256sum's
                      format: sha256sum -c SHA256SUMS checks it
  SHA256SUMS.minisig  with SECRET_KEY (a minisign secret key): the signature,
                      made by minisign -S, its trusted comment "NAME VERSION"
NAME and VERSION are words without blanks; NAME has no slash.

Then: fwutil --check-firmware DIR. Install the set as
/usr/share/fwutil/firmware/NAME (or \$XDG_DATA_HOME/fwutil/firmware/NAME), and
the public key beside the signing key in /etc/fwutil/keys/ (or
\$XDG_CONFIG_HOME/fwutil/keys/); then fwutil --firmware NAME.

Exit status: 0 done, 1 the set or a tool refused (nothing written), 2 usage.
EOF
}

die() {
    printf '%s: %s\n' "$prog" "$*" >&2
    exit 1
}

case "${1:-}" in
-h | --help)
    usage
    exit 0
    ;;
esac
if [ $# -lt 3 ] || [ $# -gt 4 ]; then
    printf '%s: expected DIR NAME VERSION [SECRET_KEY] (try --help)\n' "$prog" >&2
    exit 2
fi
dir=$1 name=$2 version=$3 key=${4:-}
word='^[A-Za-z0-9][A-Za-z0-9._+~-]*$'
if ! [[ $name =~ $word ]] || ! [[ $version =~ $word ]]; then
    printf '%s: NAME and VERSION must be words of letters, digits and ._+~- (got "%s" "%s")\n' \
        "$prog" "$name" "$version" >&2
    exit 2
fi
[ -d "$dir" ] || die "$dir: not a folder"

# file          bytes
sizes="boot1.bin 184
boot2.bin 7414
filesize.bin 3
firmware.bin 2490264"
while read -r file want; do
    path=$dir/$file
    [ -e "$path" ] || die "$path: missing"
    { [ -f "$path" ] && ! [ -L "$path" ]; } || die "$path: not a regular file"
    got=$(stat -c %s "$path")
    [ "$got" = "$want" ] || die "$path: $got bytes, expected $want"
done <<<"$sizes"
[ "$(od -An -tx1 "$dir/filesize.bin" | tr -d ' \n')" = 3fece6 ] ||
    die "$dir/filesize.bin: $(od -An -tx1 "$dir/filesize.bin" | xargs), expected 3f ec e6"
if [ -n "$key" ]; then
    [ -r "$key" ] || die "$key: cannot read the secret key"
    command -v minisign >/dev/null || die "minisign is not installed (apt install minisign)"
fi

# Written beside, then renamed: a set is never left half made. VERSION is
# listed too, so that a signature covers the set's name and version.
printf '%s %s\n' "$name" "$version" >"$dir/VERSION.new" || die "$dir: cannot write VERSION"
(cd "$dir" && sha256sum boot1.bin boot2.bin filesize.bin firmware.bin &&
    sha256sum <VERSION.new | sed 's/ -$/ VERSION/') >"$dir/SHA256SUMS.new" || die "$dir: cannot write SHA256SUMS"
rm -f "$dir/SHA256SUMS.minisig.new"
if [ -n "$key" ]; then
    if ! minisign -S -s "$key" -m "$dir/SHA256SUMS.new" -x "$dir/SHA256SUMS.minisig.new" \
        -t "$name $version"; then
        rm -f "$dir/SHA256SUMS.new" "$dir/VERSION.new" "$dir/SHA256SUMS.minisig.new"
        die "minisign could not sign $dir/SHA256SUMS with $key"
    fi
    mv "$dir/SHA256SUMS.minisig.new" "$dir/SHA256SUMS.minisig"
else
    # A signature over the sums this run replaced would no longer match.
    rm -f "$dir/SHA256SUMS.minisig"
fi
mv "$dir/SHA256SUMS.new" "$dir/SHA256SUMS"
mv "$dir/VERSION.new" "$dir/VERSION"
chmod 644 "$dir/SHA256SUMS" "$dir/VERSION" ${key:+"$dir/SHA256SUMS.minisig"}
how=unsigned
[ -z "$key" ] || how="signed with $key"
printf '%s: %s: %s %s, %s\n' "$prog" "$dir" "$name" "$version" "$how"
