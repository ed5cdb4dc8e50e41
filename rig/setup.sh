#!/usr/bin/env bash
# Prepares the QEMU rig: the host packages, a Debian guest kernel with the
# USB-serial modules, a delivered firmware set (random bytes of the exact
# sizes, signed with minisign), and an initramfs holding busybox, the fwutil
# binary under test, and the set installed by name with its key trusted.
# Everything is cached under $RIG_CACHE (default /var/cache/fwutil-rig); a
# second run only rebuilds what changed.
#
#   rig/setup.sh [FWUTIL]        FWUTIL: the fwutil binary (or env FWUTIL)
#
# Prints, as its last lines, KERNEL=..., INITRD=... and SET=... for rig.py.
set -euo pipefail

cache=${RIG_CACHE:-/var/cache/fwutil-rig}
fwutil=${1:-${FWUTIL:-}}
here=$(cd "$(dirname "$0")" && pwd)

# The libraries ldd names for a binary, and its loader: absolute paths, one a line.
ldd_paths() {
    ldd "$1" | awk '/=>/ && $3 ~ /^\// {print $3} !/=>/ && $1 ~ /^\// {print $1}'
}
say() { printf 'setup: %s\n' "$*" >&2; }
die() { printf 'setup: %s\n' "$*" >&2; exit 1; }

[[ -n $fwutil ]] || die "give the fwutil binary: rig/setup.sh PATH or FWUTIL=PATH"
[[ -x $fwutil ]] || die "$fwutil is not an executable"
fwutil=$(readlink -f "$fwutil")
mkdir -p "$cache"

# --- host packages -----------------------------------------------------------
need=()
for pkg in qemu-system-x86 busybox-static cpio kmod minisign; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || need+=("$pkg")
done
if ((${#need[@]})); then
    say "installing ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    if ! apt-get install -y --no-install-recommends "${need[@]}" >"$cache/apt.log" 2>&1; then
        apt-get update >>"$cache/apt.log" 2>&1
        apt-get install -y --no-install-recommends "${need[@]}" >>"$cache/apt.log" 2>&1 ||
            die "apt-get install failed (see $cache/apt.log)"
    fi
fi
busybox=/bin/busybox
[[ -x $busybox ]] || die "$busybox missing after installing busybox-static"

# --- guest kernel and modules ---------------------------------------------------
# The newest plain 6.1 amd64 image the archive offers; unpacked, never installed.
kdir=$cache/kernel
if [[ ! -f $kdir/vmlinuz || ! -f $kdir/version ]]; then
    pkg=$(apt-cache search --names-only '^linux-image-6\.1\.0-[0-9]+-amd64$' | awk '{print $1}' | sort -V | tail -n1)
    if [[ -z $pkg ]]; then
        apt-get update >/dev/null 2>&1 || true
        pkg=$(apt-cache search --names-only '^linux-image-6\.1\.0-[0-9]+-amd64$' | awk '{print $1}' | sort -V | tail -n1)
    fi
    [[ -n $pkg ]] || die "no linux-image-6.1.0-*-amd64 package in the archive"
    kver=${pkg#linux-image-}
    say "downloading $pkg"
    rm -rf "$cache/deb" "$kdir.tmp"
    mkdir -p "$cache/deb" "$kdir.tmp"
    (cd "$cache/deb" && apt-get download "$pkg" >/dev/null 2>&1) || die "apt-get download $pkg failed"
    deb=$(find "$cache/deb" -maxdepth 1 -name "*.deb" | head -n1)
    say "unpacking $(basename "$deb")"
    dpkg-deb -x "$deb" "$kdir.tmp/root"
    depmod -b "$kdir.tmp/root" "$kver"
    cp "$kdir.tmp/root/boot/vmlinuz-$kver" "$kdir.tmp/vmlinuz"
    # The modules the USB-serial path needs, in load order (a module after its
    # dependencies), taken from the dependency data depmod just wrote.
    mkdir -p "$kdir.tmp/modules"
    : >"$kdir.tmp/order"
    for top in xhci_pci ftdi_sio; do
        modprobe -d "$kdir.tmp/root" -S "$kver" --show-depends "$top" | awk '$1 == "insmod" {print $2}'
    done | awk '!seen[$0]++' | while read -r ko; do
        name=$(basename "$ko")
        case $name in
        *.ko.xz) xz -dc "$ko" >"$kdir.tmp/modules/${name%.xz}"; name=${name%.xz} ;;
        *.ko.zst) zstd -qdc "$ko" >"$kdir.tmp/modules/${name%.zst}"; name=${name%.zst} ;;
        *.ko.gz) gzip -dc "$ko" >"$kdir.tmp/modules/${name%.gz}"; name=${name%.gz} ;;
        *) cp "$ko" "$kdir.tmp/modules/$name" ;;
        esac
        modinfo -F name "$kdir.tmp/modules/$name" >/dev/null || die "modinfo cannot read $name"
        echo "$name" >>"$kdir.tmp/order"
    done
    for want in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
        grep -qx "${want}.ko" "$kdir.tmp/order" || grep -qx "${want//-/_}.ko" "$kdir.tmp/order" ||
            die "module $want not found in $pkg"
    done
    echo "$kver" >"$kdir.tmp/version"
    rm -rf "$kdir.tmp/root" "$kdir"
    mv "$kdir.tmp" "$kdir"
    rm -rf "$cache/deb"
fi
say "kernel $(cat "$kdir/version"), modules: $(tr '\n' ' ' <"$kdir/order")"

# --- a delivered firmware set ---------------------------------------------------
# Made once: what a module maker would deliver, signed with a key of the rig's
# own. The guest has it as /usr/share/fwutil/firmware/rig-module, its public
# key in /etc/fwutil/keys; fwsim on the host expects its files.
set_dir=$cache/firmware-set/rig-module
if [[ ! -f $set_dir/SHA256SUMS.minisig ]]; then
    say "making the delivered firmware set"
    rm -rf "$cache/firmware-set"
    mkdir -p "$set_dir"
    head -c 184 /dev/urandom >"$set_dir/boot1.bin"
    head -c 7414 /dev/urandom >"$set_dir/boot2.bin"
    printf '\x3f\xec\xe6' >"$set_dir/filesize.bin"
    head -c 2490264 /dev/urandom >"$set_dir/firmware.bin"
    minisign -G -W -p "$cache/firmware-set/rig.pub" -s "$cache/firmware-set/rig.key" >/dev/null ||
        die "minisign -G failed"
    "$here/../scripts/make-firmware-set.sh" "$set_dir" rig-module 1.0 "$cache/firmware-set/rig.key" >&2 ||
        die "the firmware set could not be made"
fi

# --- initramfs -------------------------------------------------------------------
# Rebuilt when the tool, busybox, the kernel, the guest scripts or the set change.
# The board beside the tool goes in too, when it was built (FWBOARD overrides).
fwboard=${FWBOARD:-$(dirname "$fwutil")/fwboard}
[[ -x $fwboard ]] || fwboard=""
stamp=$( (sha256sum "$fwutil" ${fwboard:+"$fwboard"} "$busybox" "$kdir/vmlinuz" "$here/setup.sh" "$here"/guest/* \
              "$set_dir/SHA256SUMS.minisig" | awk '{print $1}'
          ldd_paths "$fwutil" | xargs -r sha256sum | awk '{print $1}'
          [[ -z $fwboard ]] || ldd_paths "$fwboard" | xargs -r sha256sum | awk '{print $1}') | sha256sum | cut -c1-16)
initrd=$cache/initramfs-$stamp.cpio.gz
if [[ ! -f $initrd ]]; then
    say "building the initramfs for $fwutil"
    root=$cache/initramfs.tmp
    rm -rf "$root"
    mkdir -p "$root"/{bin,sbin,etc,proc,sys,dev,tmp,root,run,lib/modules,usr/bin,usr/sbin}
    cp "$busybox" "$root/bin/busybox"
    # The rig's guest side: job control helpers, the module-reset hook, profiles.
    mkdir -p "$root/rig"
    cp "$here"/guest/* "$root/rig/"
    mkdir -p "$root/usr/share/fwutil/firmware" "$root/etc/fwutil/keys"
    cp -r "$set_dir" "$root/usr/share/fwutil/firmware/"
    cp "$cache/firmware-set/rig.pub" "$root/etc/fwutil/keys/"
    chmod -R go-w "$root/usr/share/fwutil" "$root/etc/fwutil"
    cp "$kdir"/modules/*.ko "$root/lib/modules/"
    cp "$kdir/order" "$root/lib/modules/order"
    # The tool without its debugging sections, plus every library ldd names and the loader.
    strip -o "$root/bin/fwutil" "$fwutil" 2>/dev/null || cp "$fwutil" "$root/bin/fwutil"
    chmod 755 "$root/bin/fwutil"
    ldd_paths "$fwutil" | while read -r lib; do
        mkdir -p "$root$(dirname "$lib")"
        cp -L "$lib" "$root$lib"
    done
    if [[ -n $fwboard ]]; then
        strip -o "$root/bin/fwboard" "$fwboard" 2>/dev/null || cp "$fwboard" "$root/bin/fwboard"
        chmod 755 "$root/bin/fwboard"
        ldd_paths "$fwboard" | while read -r lib; do
            mkdir -p "$root$(dirname "$lib")"
            cp -L "$lib" "$root$lib"
        done
    fi
    echo 'root:x:0:0:root:/root:/bin/sh' >"$root/etc/passwd"
    echo 'root:x:0:' >"$root/etc/group"
    cat >"$root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
dmesg -n 1
for m in $(cat /lib/modules/order); do
    insmod /lib/modules/$m || echo "rig-init: insmod $m failed"
done
export PATH=/bin:/sbin:/usr/bin:/usr/sbin HOME=/root LANG=C.UTF-8 TERM=dumb
export XDG_RUNTIME_DIR=/run
echo "rig-init: ready"
while true; do
    setsid cttyhack sh
done
EOF
    chmod 755 "$root/init"
    (cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1) >"$initrd.tmp"
    mv "$initrd.tmp" "$initrd"
    rm -rf "$root"
    # Keep only the newest initramfs.
    find "$cache" -maxdepth 1 -name 'initramfs-*.cpio.gz' ! -name "$(basename "$initrd")" -delete
fi
say "initramfs $(du -h "$initrd" | cut -f1)"
echo "KERNEL=$kdir/vmlinuz"
echo "INITRD=$initrd"
echo "SET=$set_dir"
