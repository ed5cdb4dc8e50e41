#!/bin/sh
# Delivered payload images (FWU_IMAGES_DIR): configuration refuses a missing
# image, an image of the wrong length and a wrong file-size image, naming the
# file, its length and the one expected; a correct set configures and embeds;
# an image whose length changes after configuration fails the build; the
# program records where its images came from (the folder, its VERSION).
#
# Usage: payload_images_check.sh <source dir> <scratch dir>
set -u
src=$1
scratch=$2
rm -rf "$scratch"
mkdir -p "$scratch"
images=$scratch/images
build=$scratch/build
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# bytes <file> <count>: <count> bytes of 0x55
bytes() {
    head -c "$2" /dev/zero | tr '\000' '\125' >"$1"
}

good_images() {
    rm -rf "$images"
    mkdir -p "$images"
    bytes "$images/boot1.bin" 184
    bytes "$images/boot2.bin" 7414
    printf '\077\354\346' >"$images/filesize.bin"
    bytes "$images/firmware.bin" 2490264
}

configure() {
    rm -rf "$build"
    cmake -S "$src" -B "$build" -G Ninja -DFWU_IMAGES_DIR="$images" >"$scratch/out.txt" 2>&1
}

# expect_refused <what> <text>...: configuration fails and its output holds every text
expect_refused() {
    what=$1
    shift
    if configure; then
        fail "$what: configuration succeeded"
        return
    fi
    # CMake wraps long messages: compare with the line breaks undone.
    tr -s ' \n' '  ' <"$scratch/out.txt" >"$scratch/flat.txt"
    for text in "$@"; do
        grep -qF -- "$text" "$scratch/flat.txt" || fail "$what: output lacks '$text'"
    done
}

good_images
bytes "$images/boot2.bin" 7413
expect_refused "short boot2" "$images/boot2.bin is 7413 bytes" "must be 7414 bytes"

good_images
bytes "$images/firmware.bin" 2490265
expect_refused "long firmware" "$images/firmware.bin is 2490265 bytes" "must be 2490264 bytes"

good_images
: >"$images/boot1.bin"
expect_refused "empty boot1" "$images/boot1.bin is 0 bytes" "must be 184 bytes"

good_images
rm "$images/firmware.bin"
expect_refused "missing firmware" "$images/firmware.bin is missing" "must be 2490264 bytes"

good_images
printf '\077\240\000' >"$images/filesize.bin"
expect_refused "wrong file-size bytes" "$images/filesize.bin holds the bytes 3fa000" "3f ec e6"

good_images
echo "gsm-module 2.41" >"$images/VERSION"
if configure; then
    prov=$build/resources/image_provenance.cpp
    for line in "g_nImagesStandin = 0;" "g_szImagesDir[] = \"$images\";" "g_szImagesName[] = \"gsm-module\";" \
        "g_szImagesVersion[] = \"2.41\";"; do
        grep -qF "$line" "$prov" || fail "correct set: $prov lacks '$line'"
    done
    asm=$build/resources/image_boot1.s
    grep -qF "$images/boot1.bin" "$asm" || fail "correct set: $asm does not embed the delivered boot1.bin"
    obj=$(ninja -C "$build" -t targets all | sed -n 's|^\(.*image_boot1\.s\.o\):.*|\1|p')
    if [ -z "$obj" ]; then
        fail "correct set: no object target for image_boot1.s"
    elif ! ninja -C "$build" "$obj" >"$scratch/out.txt" 2>&1; then
        fail "correct set: assembling boot1 failed: $(cat "$scratch/out.txt")"
    else
        # Replaced by an image of another length after configuration.
        bytes "$images/boot1.bin" 185
        if ninja -C "$build" "$obj" >"$scratch/out.txt" 2>&1; then
            fail "changed boot1: the build accepted a 185-byte image"
        else
            grep -qF "boot1.bin" "$scratch/out.txt" || fail "changed boot1: output does not name boot1.bin"
        fi
        # The assembler itself refuses it too, whatever runs it.
        if ${CC:-cc} -c "$asm" -o "$scratch/boot1.o" >"$scratch/out.txt" 2>&1; then
            fail "changed boot1: the assembler accepted a 185-byte image"
        else
            grep -qF "boot1.bin is not 184 bytes long" "$scratch/out.txt" ||
                fail "changed boot1: assembler output lacks the length message: $(cat "$scratch/out.txt")"
        fi
    fi
else
    fail "correct set refused: $(cat "$scratch/out.txt")"
fi

rm -rf "$scratch"
if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "delivered images: all checks passed"
