#!/usr/bin/env bash
# Runs a command in an emulated x86 machine whose kernel runs 32-bit programs:
#   scripts/ia32-vm.sh COMMAND [ARG...]
# For machines whose own kernel refuses 32-bit code (scripts/ia32-probe.sh says so): there the
# shipped PE32 program can only run under 32-bit Wine inside such a machine.
#
# COMMAND runs (like `env`, no shell) as root in the repository root, which the guest sees at
# the same absolute path, with the tree as it is, its host-built build/ folders included. Its
# output streams here; this script exits with its exit status. Files that the command creates or
# changes under build/ are copied back into the tree afterwards (deletions are not). Everything
# else the guest writes is thrown away at power-off.
#
# The machine:
#   - its root file system is made on first use from Debian 12 packages only (mmdebstrap; the
#     list is scripts/ia32-vm-packages.txt) and cached in /var/cache/ketro-setup/ (or
#     KET_IA32_VM_CACHE) under the hash of that list and this recipe, so every clone on the
#     machine shares it; a Wine prefix (32-bit) is made once per image and copied per run
#     (KET_WINE_PREFIX_FROM, see scripts/with-wine.sh);
#   - the kernel boots directly from the image's own kernel and small initramfs, without
#     systemd: a short init mounts the disks, runs the job and powers off;
#   - the tree is an ext4 disk image made per run (programs mapped from a 9p share with
#     cache=none came in as zeros), the job's files and the results a second small one;
#   - KVM (-cpu host) where /dev/kvm is usable, else TCG with -cpu max,smap=off (QEMU 7.2's TCG
#     reads a far return's stack as supervisor, and with SMAP the guest kernel oopses on every
#     32-bit process). KET_IA32_VM_ACCEL=tcg|kvm forces one.
# The guest sees KET_IN_IA32_VM=1 and KET_IA32_VM_ACCEL, and the caller's KET_* variables.
# Limits: KET_IA32_VM_BUILD_LIMIT (image, default 3600 s), KET_IA32_VM_BOOT_LIMIT (kernel to
# init, 120 s with KVM, 600 s with TCG), KET_IA32_VM_LIMIT (the whole run, 14400 s). A guest
# that cannot be built or booted, or exceeds a limit, ends with a message and exit 125; no
# qemu process is left behind.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
say() { echo "ia32-vm: $*" >&2; }
die() { say "$*"; exit 125; }
[ $# -ge 1 ] || { echo "usage: ia32-vm.sh COMMAND [ARG...]" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || die "needs root (mmdebstrap's root mode, the guest's disks); run it as root"
for tool in qemu-system-x86_64 mmdebstrap mke2fs debugfs flock; do
  command -v "$tool" >/dev/null 2>&1 || die "$tool is missing; make deps installs it"
done

packages=$here/ia32-vm-packages.txt
# Bump when the recipe below changes in a way that makes a different image.
recipe=1
cache=${KET_IA32_VM_CACHE:-/var/cache/ketro-setup}
key=$({ echo "recipe $recipe"; grep -vE '^\s*(#|$)' "$packages"; } | sha256sum | cut -c1-16)
image=$cache/ia32-vm-$key
mkdir -p "$cache" || die "cannot make $cache"

# The accelerator: KVM only when it can actually make a machine (nested set-ups may have a
# /dev/kvm that cannot).
kvm_usable() {
  python3 - <<'PY' 2>/dev/null
import fcntl, os, sys
fd = os.open("/dev/kvm", os.O_RDWR)
if fcntl.ioctl(fd, 0xAE00) != 12:  # KVM_GET_API_VERSION
    sys.exit(1)
os.close(fcntl.ioctl(fd, 0xAE01, 0))  # KVM_CREATE_VM
PY
}
# A KVM that opened but could not boot the guest (seen under nested KVM: the kernel hangs before
# its first message) is remembered for this host kernel, so that later runs do not wait for it.
kvm_broken=$cache/kvm-broken-$(uname -r)
accel=${KET_IA32_VM_ACCEL:-}
if [ -z "$accel" ]; then
  if [ -e /dev/kvm ] && [ ! -e "$kvm_broken" ] && kvm_usable; then accel=kvm; else accel=tcg; fi
fi
case $accel in
  kvm | tcg) ;;
  *) die "KET_IA32_VM_ACCEL must be kvm or tcg, not $accel" ;;
esac
use_accel() {
  accel=$1
  case $accel in
    # Without the ARCH_CAPABILITIES MSR: under nested KVM QEMU 7.2 cannot set it and aborts.
    kvm) qemu_cpu=(-accel kvm -cpu host,-arch-capabilities) boot_limit=${KET_IA32_VM_BOOT_LIMIT:-60} ;;
    tcg) qemu_cpu=(-accel tcg,thread=multi,tb-size=1024 -cpu max,smap=off)
      boot_limit=${KET_IA32_VM_BOOT_LIMIT:-600} ;;
  esac
}
use_accel "$accel"
mem=${KET_IA32_VM_MEM:-4096}
cpus=$(nproc)
[ "$cpus" -le 4 ] || cpus=4

work=$(mktemp -d /tmp/ket-ia32-vm.XXXXXX)
qemu_pid=""
stop_qemu() {
  if [ -n "$qemu_pid" ] && kill -0 "$qemu_pid" 2>/dev/null; then
    kill "$qemu_pid" 2>/dev/null
    for _ in $(seq 20); do kill -0 "$qemu_pid" 2>/dev/null || break; sleep 0.5; done
    kill -9 "$qemu_pid" 2>/dev/null
  fi
  [ -z "$qemu_pid" ] || wait "$qemu_pid" 2>/dev/null
  qemu_pid=""
}
cleanup() {
  stop_qemu
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# boot DIR JOB_IMG TREE_IMG|"" SNAPSHOT LIMIT: boots the image in DIR on the job's disk (and the
# tree's); streams the console; returns 0 when the guest powered off by itself, else says why.
boot() {
  local dir=$1 job=$2 tree=$3 snapshot=$4 limit=$5 mark=$work/boot.mark start
  local disks=(-drive "file=$dir/root.img,if=virtio,format=raw,cache=unsafe,snapshot=$snapshot"
    -drive "file=$job,if=virtio,format=raw,cache=unsafe")
  [ -z "$tree" ] || disks+=(-drive "file=$tree,if=virtio,format=raw,cache=unsafe")
  : >"$mark"
  : >"$work/console.log"
  qemu-system-x86_64 -machine q35 "${qemu_cpu[@]}" -smp "$cpus" -m "$mem" \
    -kernel "$dir/vmlinuz" -initrd "$dir/initrd.img" \
    -append "root=/dev/vda rw init=/sbin/ket-init console=ttyS0 quiet loglevel=3 panic=-1 ket.accel=$accel" \
    "${disks[@]}" -nic none -display none -vga none -monitor none -no-reboot \
    -serial "file:$work/console.log" -chardev stdio,id=out,signal=off -serial chardev:out \
    -serial "file:$mark" \
    </dev/null &
  qemu_pid=$!
  start=$SECONDS
  while kill -0 "$qemu_pid" 2>/dev/null; do
    if ! grep -q up "$mark" && ((SECONDS - start > boot_limit)); then
      say "the guest did not reach its init within ${boot_limit}s ($accel); stopped it"
      stop_qemu
      break
    fi
    if ((SECONDS - start > limit)); then
      say "the guest ran longer than ${limit}s; stopped it"
      stop_qemu
      return 1
    fi
    sleep 1
  done
  local rc=0
  if [ -n "$qemu_pid" ]; then wait "$qemu_pid"; rc=$?; qemu_pid=""; fi
  if ! grep -q up "$mark"; then
    say "the guest never reached its init (qemu exit $rc, $accel); the end of its console:"
    tail -n 15 "$work/console.log" >&2
    # A /dev/kvm that opens may still fail to run a machine (nested set-ups): then emulate.
    if [ "$accel" = kvm ] && [ -z "${KET_IA32_VM_ACCEL:-}" ]; then
      say "trying again without KVM (remembered in $kvm_broken)"
      : >"$kvm_broken"
      use_accel tcg
      boot "$@"
      return
    fi
    return 1
  fi
  boot_seconds=$(sed -n 's/^up //p' "$mark" | head -n 1)
  return 0
}

# job_disk DIR IMG: the job's files (DIR) as a disk with room for the results.
job_disk() {
  rm -f "$2" && truncate -s 8G "$2" && mke2fs -q -t ext4 -O ^has_journal -L ketjob -d "$1" "$2" ||
    die "mke2fs of the job disk failed"
}
# job_file IMG PATH OUT: a file from the job's disk after the run.
job_file() { debugfs -R "dump /$2 $3" "$1" >/dev/null 2>&1 && [ -f "$3" ]; }

# The guest's PID 1: mounts, tells the host it is up (third serial port), runs /job/job.sh
# from the job's disk with the second serial port as its output, and powers off. The kernel's
# own console (the first port) goes to a log that is shown only when the guest fails.
init_script() {
  cat <<'EOF'
#!/bin/sh
PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export PATH
mount -t proc proc /proc 2>/dev/null
mount -t sysfs sys /sys 2>/dev/null
mount -t devtmpfs dev /dev 2>/dev/null
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs shm /dev/shm
mount -t tmpfs run /run
stty -F /dev/ttyS1 -onlcr 2>/dev/null
echo "up $(cut -d' ' -f1 /proc/uptime)" >/dev/ttyS2
mkdir -p /job && mount /dev/vdb /job
/bin/bash /job/job.sh </dev/null >/dev/ttyS1 2>&1
sync
umount /job
mount -o remount,ro / 2>/dev/null
echo o >/proc/sysrq-trigger
sleep 60
EOF
}

# The prefix job, run once per image with the root file system writable: a 32-bit Wine prefix
# made as scripts/with-wine.sh makes one, kept in /opt/ket/prefix with its HOME's path beside it.
prefix_job() {
  cat <<'EOF'
export WINEPREFIX=/opt/ket/prefix WINEARCH=win32 HOME=/opt/ket/home WINEDEBUG=err+all
export WINELOADER=/usr/lib/wine/wine WINESERVER=/usr/lib/wine/wineserver32
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
[ -x "$WINESERVER" ] || WINESERVER=/usr/lib/wine/wineserver
mkdir -p "$HOME/Desktop"
for try in 1 2; do
  rm -rf "$WINEPREFIX"
  start=$(cut -d' ' -f1 /proc/uptime)
  if timeout 1200 "$WINELOADER" wineboot -i >/opt/ket/wineboot.log 2>&1 &&
    timeout 300 "$WINESERVER" -w; then
    echo "wineboot -i: $(awk -v a="$start" '{ printf "%d", $1 - a }' /proc/uptime) s (try $try)"
    echo "$HOME" >/opt/ket/prefix.home
    exit 0
  fi
  "$WINESERVER" -k 2>/dev/null
  echo "wineboot -i failed (try $try of 2):"
  tail -n 20 /opt/ket/wineboot.log
done
exit 1
EOF
}

# run_job DIR(image) SNAPSHOT TREE_IMG|"" LIMIT CWD ARGV...: runs ARGV in the guest; sets
# job_status (the command's exit status) or returns 1 when the guest failed.
run_job() {
  local dir=$1 snapshot=$2 tree=$3 limit=$4 cwd=$5
  shift 5
  local jd=$work/job
  rm -rf "$jd" && mkdir -p "$jd"
  printf '%s\0' "$@" >"$jd/argv"
  printf '%s' "$cwd" >"$jd/cwd"
  [ -z "$tree" ] || printf '%s' "$root" >"$jd/tree"
  # The caller's KET_* settings, and what the guest is.
  { env -0 | grep -zE '^(KET_[A-Z0-9_]*|PAYLOAD|LANG)=' | grep -zvE '^KET_IA32_VM_(CACHE|LIMIT|BOOT_LIMIT|BUILD_LIMIT|MEM)='
    printf '%s\0' KET_IN_IA32_VM=1
    [ ! -d "$dir/prefix-ok" ] || printf '%s\0' KET_WINE_PREFIX_FROM=/opt/ket/prefix; } >"$jd/env"
  cat >"$jd/job.sh" <<'EOF'
# Runs in the guest as PID 1's child: the command with its environment, then the results.
set -u
mapfile -d '' argv </job/argv
mapfile -d '' vars </job/env
tree=$(cat /job/tree 2>/dev/null)
if [ -n "$tree" ]; then
  mkdir -p "$tree" && mount /dev/vdc "$tree" || { echo "ia32-vm guest: cannot mount the tree"; exit 1; }
fi
export HOME=/root LANG=C.UTF-8 TERM=dumb TMPDIR=/tmp
for v in "${vars[@]}"; do export "$v"; done
KET_IA32_VM_ACCEL=$(sed -n 's/.*ket\.accel=\([a-z]*\).*/\1/p' /proc/cmdline)
export KET_IA32_VM_ACCEL
ln -sf /usr/share/zoneinfo/Etc/UTC /etc/localtime
touch /run/ket-start
sleep 1
cd "$(cat /job/cwd)" || exit 1
"${argv[@]}"
status=$?
echo "$status" >/job/status
if [ -n "$tree" ] && [ -d "$tree/build" ]; then
  cd "$tree" && find build -newer /run/ket-start \( -type f -o -type l \) -print0 |
    tar --null -cf /job/back.tar -T - 2>/job/back.err
  cd /
  umount "$tree"
fi
EOF
  job_disk "$jd" "$work/job.img"
  boot "$dir" "$work/job.img" "$tree" "$snapshot" "$limit" || return 1
  job_file "$work/job.img" status "$work/status" || {
    say "the guest powered off without recording the command's exit status; the end of its console:"
    tail -n 15 "$work/console.log" >&2
    return 1
  }
  job_status=$(cat "$work/status")
  return 0
}

# The image: built once per package list, under a lock so that concurrent runs wait for one
# build instead of making two.
build_image() {
  # The stages of an interrupted build are kept, each made whole before the next begins.
  local tmp=$cache/build-$key list start
  mkdir -p "$tmp" || die "cannot make $tmp"
  if [ ! -f "$tmp/root.img" ]; then
    build_root_image "$tmp"
    rm -rf "$tmp/root"
  fi
  # The Wine prefix, once per image, in the image itself.
  start=$SECONDS
  job_status=""
  run_job "$tmp" off "" "${KET_IA32_VM_BUILD_LIMIT:-3600}" / /bin/bash -c "$(prefix_job)"
  [ "$job_status" = 0 ] || die "the guest could not make its Wine prefix (see above)"
  mkdir -p "$tmp/prefix-ok"
  say "Wine prefix made in the guest in $((SECONDS - start)) s, boot included"
  mv "$tmp" "$image" || die "cannot move the image into $image"
}

build_root_image() {
  local tmp=$1 list start
  rm -rf "$tmp/root" && mkdir -p "$tmp/root" || die "cannot make $tmp/root"
  mapfile -t list < <(grep -vE '^\s*(#|$)' "$packages")
  say "building the guest image once (Debian 12 packages, ${#list[@]} listed) into $image"
  start=$SECONDS
  local modules='mkdir -p "$1/etc/initramfs-tools/conf.d" &&
    echo MODULES=list >"$1/etc/initramfs-tools/conf.d/ket-modules" &&
    printf "%s\n" virtio_pci virtio_blk ext4 >"$1/etc/initramfs-tools/modules"'
  local customize
  customize="mkdir -p \"\$1/opt/ket\" && cat >\"\$1/sbin/ket-init\" <<'INIT'
$(init_script)
INIT
chmod 755 \"\$1/sbin/ket-init\""
  if ! timeout "${KET_IA32_VM_BUILD_LIMIT:-3600}" mmdebstrap --mode=root --variant=apt \
    --architectures=amd64,i386 --include="$(IFS=,; echo "${list[*]}")" \
    --aptopt='Acquire::Retries "3"' \
    --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*' \
    --dpkgopt='path-exclude=/usr/share/info/*' \
    --setup-hook="$modules" --customize-hook="$customize" \
    bookworm "$tmp/root" \
    "deb http://deb.debian.org/debian bookworm main" \
    "deb http://deb.debian.org/debian bookworm-updates main" >"$tmp/mmdebstrap.log" 2>&1; then
    tail -n 30 "$tmp/mmdebstrap.log" >&2
    rm -rf "$tmp"
    die "mmdebstrap could not make the guest's root file system (log above)"
  fi
  say "packages installed in $((SECONDS - start)) s"
  cp "$(ls "$tmp"/root/boot/vmlinuz-* | sort -V | tail -n 1)" "$tmp/vmlinuz" &&
    cp "$(ls "$tmp"/root/boot/initrd.img-* | sort -V | tail -n 1)" "$tmp/initrd.img" ||
    { rm -rf "$tmp"; die "the guest has no kernel or initramfs in /boot"; }
  local mb
  mb=$(du -sm "$tmp/root" | cut -f1)
  start=$SECONDS
  truncate -s "$((mb + 3072))M" "$tmp/root.img.part" &&
    mke2fs -q -t ext4 -O ^has_journal -L ketroot -d "$tmp/root" "$tmp/root.img.part" &&
    mv "$tmp/root.img.part" "$tmp/root.img" ||
    { rm -rf "$tmp"; die "mke2fs of the guest's root file system failed"; }
  say "root file system image made in $((SECONDS - start)) s ($mb MB of files)"
}

exec 9>"$cache/.lock"
if [ ! -d "$image" ]; then
  flock 9
  [ -d "$image" ] || build_image
fi
flock -u 9
exec 9>&-

# The tree as a disk of its own, at the same path in the guest.
start=$SECONDS
mb=$(du -sm "$root" | cut -f1)
truncate -s "$((mb * 5 / 4 + 4096))M" "$work/tree.img" &&
  mke2fs -q -t ext4 -O ^has_journal -L kettree -d "$root" "$work/tree.img" ||
  die "mke2fs of the tree failed"
say "tree disk made in $((SECONDS - start)) s ($mb MB); booting ($accel)"
cwd=$root
run_job "$image" on "$work/tree.img" "${KET_IA32_VM_LIMIT:-14400}" "$cwd" "$@" || exit 125
say "the guest reached its init after ${boot_seconds:-?} s; the command exited with $job_status"
if job_file "$work/job.img" back.tar "$work/back.tar"; then
  tar -xf "$work/back.tar" -C "$root" || say "could not copy the guest's build/ results back"
fi
exit "$job_status"
