#!/usr/bin/env bash
# Builds the guest that runs the updater through a real kernel USB stack:
#   scripts/vm/guest.sh UPDATER OUTDIR [SIMULATOR]
# OUTDIR/vmlinux      Debian's kernel (the package linux-image-amd64 depends on), unpacked,
#                     never installed, and the ELF image taken out of its vmlinuz so that
#                     QEMU boots it through PVH (about twice as fast under TCG).
# OUTDIR/initramfs    busybox, the kernel's USB host modules, systemd-udevd and udevadm,
#                     the updater with the shared libraries ldd lists, the udev rule from
#                     packaging/linux, the firmware folders of the cases and scripts/vm/init;
#                     with SIMULATOR also the simulator, scripts/vm/gadget.sh and the gadget
#                     modules (dummy_hcd, libcomposite, usb_f_fs) for the gadget cases.
# The kernel package is downloaded once and kept under OUTDIR/kernel.
set -euo pipefail
updater=$(realpath "$1")
out=$(realpath -m "$2")
simulator=${3:+$(realpath "$3")}
src=$(cd "$(dirname "$0")/../.." && pwd)
mkdir -p "$out/kernel"

# ---- The kernel ----
resolve() { apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}'; }
pkg=$(resolve)
if [[ -z "$pkg" && $(id -u) -eq 0 ]]; then  # a fresh machine without package lists
  apt-get update -qq >/dev/null 2>&1 || true
  pkg=$(resolve)
fi
[[ -n "$pkg" ]] || { echo "guest: cannot resolve linux-image-amd64 (apt-get update?)" >&2; exit 1; }
kroot="$out/kernel/$pkg"
if [[ ! -d "$kroot/boot" ]]; then
  rm -rf "$kroot" "$out/kernel/deb"
  mkdir -p "$out/kernel/deb"
  (cd "$out/kernel/deb" && apt-get download -q "$pkg" >/dev/null 2>&1) ||
    { echo "guest: apt-get download $pkg failed" >&2; exit 1; }
  dpkg-deb -x "$out/kernel/deb/"*.deb "$kroot.tmp"
  mv "$kroot.tmp" "$kroot"
  rm -rf "$out/kernel/deb"
fi
kver=$(basename "$(ls -d "$kroot"/lib/modules/*)")
if [[ ! -s "$out/vmlinux" || "$out/vmlinux" -ot "$kroot/boot/vmlinuz-$kver" ]]; then
  vmlinuz="$kroot/boot/vmlinuz-$kver"
  offset=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$vmlinuz" | head -1 | cut -d: -f1)
  [[ -n "$offset" ]] || { echo "guest: no xz stream in $vmlinuz" >&2; exit 1; }
  # xz stops at the end of its stream; tail may then die of SIGPIPE, which is expected.
  { tail -c +$((offset + 1)) "$vmlinuz" | xz -dc --single-stream > "$out/vmlinux.tmp"; } || true
  [[ $(head -c 4 "$out/vmlinux.tmp") == $'\x7fELF' ]] || { echo "guest: no ELF kernel in $vmlinuz" >&2; exit 1; }
  mv "$out/vmlinux.tmp" "$out/vmlinux"
fi

# ---- The initramfs ----
root="$out/root"
rm -rf "$root"
mkdir -p "$root"/{bin,sbin,usr/bin,etc,proc,sys,dev,run,tmp,lib/udev/rules.d,lib/systemd,var/lib}

ldd /bin/busybox >/dev/null 2>&1 && { echo "guest: /bin/busybox is not static: install busybox-static" >&2; exit 1; }
cp /bin/busybox "$root/bin/busybox"
cp "$src/scripts/vm/init" "$root/init"
cp "$src/scripts/vm/drive.sh" "$root/bin/drive.sh"
chmod 755 "$root/init" "$root/bin/drive.sh"

# A binary and every shared library ldd lists for it, at the same paths.
copy_with_libs() {
  local bin=$1 dest=$2
  mkdir -p "$root$(dirname "$dest")"
  cp -L "$bin" "$root$dest"
  ldd "$bin" | grep -oE '/[^ ]+' | while read -r lib; do
    [[ -e "$root$lib" ]] && continue
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
}
copy_with_libs "$updater" /usr/bin/vx_fw_load
if [[ -n "$simulator" ]]; then
  copy_with_libs "$simulator" /usr/bin/vx_locator_sim
  cp "$src/scripts/vm/gadget.sh" "$root/bin/gadget.sh"
  chmod 755 "$root/bin/gadget.sh"
fi
copy_with_libs "$(command -v udevadm)" /bin/udevadm
ln -s /bin/udevadm "$root/lib/systemd/systemd-udevd"

# The USB host modules with what they depend on, in load order (modules.dep lists a
# module's dependencies, nearest first).
moddir="$kroot/lib/modules/$kver"
# The package leaves modules.dep to its installation: busybox makes it.
[[ -s "$moddir/modules.dep" ]] || busybox depmod -b "$kroot" "$kver"
declare -A seen=()
order=()
add_module() {
  local rel=$1 dep
  [[ -n "${seen[$rel]:-}" ]] && return
  seen[$rel]=1
  for dep in $(awk -v m="$rel:" '$1 == m { $1 = ""; print }' "$moddir/modules.dep"); do
    add_module "$dep"
  done
  order+=("$rel")
}
# Writes the modules NAME... with what they need and no earlier list has into /etc/LIST.
module_list() {
  local list=$1 name rel
  shift
  order=()
  for name in "$@"; do
    rel=$(awk -F: -v n="/$name.ko" 'index($1, n) == length($1) - length(n) + 1 { print $1; exit }' "$moddir/modules.dep")
    [[ -n "$rel" ]] || { echo "guest: module $name not in $pkg" >&2; exit 1; }
    add_module "$rel"
  done
  mkdir -p "$root/lib/modules"
  : > "$root/etc/$list"
  for rel in "${order[@]}"; do
    cp "$moddir/$rel" "$root/lib/modules/"
    echo "$(basename "$rel")" >> "$root/etc/$list"
  done
}
module_list modules usbcore xhci-hcd xhci-pci
# The gadget cases: a device controller whose host side is in the same kernel, configfs
# gadgets and FunctionFS.
[[ -z "$simulator" ]] || module_list modules-gadget dummy_hcd libcomposite usb_f_fs

# Users: the updater runs as "vx", a member of plugdev, as an operator's account would.
cat > "$root/etc/passwd" <<'EOF'
root:x:0:0:root:/root:/bin/sh
vx:x:1000:1000:operator:/tmp:/bin/sh
EOF
cat > "$root/etc/group" <<'EOF'
root:x:0:
plugdev:x:46:vx
vx:x:1000:
EOF
cp /lib/udev/rules.d/50-udev-default.rules "$root/lib/udev/rules.d/"
cp "$src/packaging/linux/70-vx-locator.rules" "$root/lib/udev/rules.d/"

# The cases' firmware folders; init copies the one of its case into the fixed folder.
"$src/scripts/vm/cases.sh" folders "$root/cases"
# The gadget cases start the simulator in the guest, with these options.
for name in $("$src/scripts/vm/cases.sh" names); do
  if [[ $name == gadget-* ]]; then "$src/scripts/vm/cases.sh" get "$name" sim > "$root/cases/$name.sim-options"; fi
done

(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) > "$out/initramfs.tmp"
mv "$out/initramfs.tmp" "$out/initramfs"
echo "guest: kernel $kver, initramfs $(($(stat -c %s "$out/initramfs") / 1024)) KB"
