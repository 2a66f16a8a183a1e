#!/bin/bash
# The serial side on real Linux drivers: Debian's own kernel booted under QEMU with a small
# busybox initramfs, the host's root filesystem mounted over 9p and chrooted into, so the test
# program built here runs in the guest with the host's libraries. The guest gets a USB serial
# adapter (ftdi_sio behind an emulated xHCI controller) and a second 16550 UART (ttyS1); on
# the host side of each line a kadrel-sim answers as four clocks.
#
#   tests/vm/vm-stage.sh BUILD_DIR
#
# KADREL_VM_TIMEOUT: seconds one boot may take (default 150); KADREL_VM_KERNEL: another
# Debian kernel package than the one linux-image-amd64 names.
#
# Needs root to install qemu-system-x86 when it is missing; fetches the kernel and
# busybox-static with apt-get download and caches the extracted vmlinux and the initramfs in
# BUILD_DIR/vm-cache/KERNEL-PACKAGE (a cache for another kernel version is rebuilt). Skipped,
# with the reason, only where QEMU cannot run. A hung guest is ended by `timeout` and fails the
# stage. Emulated lines have no baud pacing and timers jitter under TCG: the cases check bytes,
# order and behaviour, never timing.
set -u
BUILD=$(cd "${1:?usage: vm-stage.sh BUILD_DIR}" && pwd)
SRC=$(cd "$(dirname "$0")/../.." && pwd)
GUEST_LIMIT=${KADREL_VM_TIMEOUT:-150}   # seconds for one boot, run and power-off
START=$(date +%s.%N)
TIMES=()

say() { echo "vm-stage: $*"; }
fail() { say "FAILED: $*"; exit 1; }
skip() { say "SKIPPED: $*"; exit 0; }
elapsed() { echo "$(date +%s.%N) $1" | awk '{printf "%.1f", $1 - $2}'; }

# ---- QEMU -------------------------------------------------------------------------------------
if ! command -v qemu-system-x86_64 >/dev/null; then
    [ "$(id -u)" = 0 ] || skip "qemu-system-x86_64 is missing and only root can install it (apt-get install qemu-system-x86)"
    say "installing qemu-system-x86 from Debian"
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends qemu-system-x86 >"$BUILD/vm-apt.log" 2>&1 \
        || fail "could not install qemu-system-x86 with apt-get (see $BUILD/vm-apt.log: no network or no Debian sources?)"
fi
# QMP is spoken through socat.
if ! command -v socat >/dev/null; then
    [ "$(id -u)" = 0 ] || skip "socat is missing and only root can install it (apt-get install socat)"
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends socat >"$BUILD/vm-apt.log" 2>&1 \
        || fail "could not install socat with apt-get (see $BUILD/vm-apt.log: no network or no Debian sources?)"
fi
ACCEL="-accel tcg"
if grep -qwE 'vmx|svm' /proc/cpuinfo && [ -w /dev/kvm ]; then ACCEL="-enable-kvm"; fi

# ---- kernel and initramfs, cached per kernel version -------------------------------------------
# The kernel Debian installs today, or another one named in KADREL_VM_KERNEL.
KPKG=${KADREL_VM_KERNEL:-$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')}
[ -n "$KPKG" ] || fail "apt-cache cannot say which kernel linux-image-amd64 is (apt-get update needed?)"
KVER=${KPKG#linux-image-}
CACHE=$BUILD/vm-cache
# The init script goes into the initramfs: a changed one makes a new cache entry too.
KDIR=$CACHE/$KPKG-$(sha1sum "$SRC/tests/vm/guest-init.sh" | cut -c1-8)
if [ ! -s "$KDIR/vmlinux" ] || [ ! -s "$KDIR/initramfs.cpio.gz" ]; then
    T=$(date +%s.%N)
    mkdir -p "$KDIR"
    WORK=$(mktemp -d)
    trap 'rm -rf "$WORK"' EXIT
    say "fetching $KPKG and busybox-static"
    # apt's own user cannot write into a private temporary folder: make it readable to all.
    chmod 755 "$WORK"
    (cd "$WORK" && apt-get download "$KPKG" busybox-static) >"$WORK/download.log" 2>&1 \
        || { cat "$WORK/download.log"; fail "apt-get download $KPKG busybox-static failed (no network or no Debian sources?)"; }
    dpkg-deb -x "$WORK"/linux-image-*.deb "$WORK/k" && dpkg-deb -x "$WORK"/busybox-static*.deb "$WORK/b" \
        || fail "could not unpack the downloaded packages"
    # The bzImage carries the kernel xz-compressed; the kernel boots as PVH from the bare ELF.
    IMG=$(ls "$WORK"/k/boot/vmlinuz-*)
    OFF=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$IMG" | head -1 | cut -d: -f1)
    [ -n "$OFF" ] || fail "no xz stream in $IMG"
    tail -c +$((OFF + 1)) "$IMG" | xz -dc --single-stream >"$KDIR/vmlinux.new" 2>/dev/null
    [ "$(head -c 4 "$KDIR/vmlinux.new" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] || fail "the kernel did not unpack to an ELF file"

    R=$WORK/root
    mkdir -p "$R"/{bin,proc,sys,dev,host,mods}
    cp "$WORK/b/bin/busybox" "$R/bin/busybox"
    MODS=$WORK/k/lib/modules/$KVER
    # The modules the guest needs, after their dependencies (named in each module's modinfo).
    declare -A DONE=() FILE=()
    ORDER=()
    while read -r f; do b=$(basename "$f" .ko); FILE[${b//-/_}]=$f; done < <(find "$MODS/kernel" -name '*.ko')
    need() {
        local name=${1//-/_} file deps d
        [ -n "${DONE[$name]:-}" ] && return
        DONE[$name]=1
        file=${FILE[$name]:-}
        [ -n "$file" ] || return   # built in
        deps=$(grep -a -o 'depends=[^[:cntrl:]]*' "$file" | head -1 | cut -d= -f2)
        for d in ${deps//,/ }; do need "$d"; done
        ORDER+=("$file")
    }
    for m in virtio_pci 9pnet_virtio 9p xhci_pci usbserial ftdi_sio; do need "$m"; done
    : >"$R/mods/order"
    for f in "${ORDER[@]}"; do cp "$f" "$R/mods/"; echo "$(basename "$f")" >>"$R/mods/order"; done
    cp "$SRC/tests/vm/guest-init.sh" "$R/init"
    chmod 755 "$R/init" "$R/bin/busybox"
    (cd "$R" && find . | "$R/bin/busybox" cpio -o -H newc 2>/dev/null | gzip -1) >"$KDIR/initramfs.cpio.gz.new" \
        || fail "could not pack the initramfs"
    mv "$KDIR/vmlinux.new" "$KDIR/vmlinux"
    mv "$KDIR/initramfs.cpio.gz.new" "$KDIR/initramfs.cpio.gz"
    # What an older kernel (or an older init script) left goes, once this one is ready.
    find "$CACHE" -mindepth 1 -maxdepth 1 ! -path "$KDIR" -exec rm -rf {} +
    TIMES+=("kernel and initramfs prepared: $(elapsed "$T") s")
else
    TIMES+=("kernel and initramfs: cached ($KPKG)")
fi
GUEST_TESTS=$BUILD/vm-guest-tests
SIM=$BUILD/kadrel-sim
[ -x "$GUEST_TESTS" ] || fail "$GUEST_TESTS is not built (cmake --build build --target vm-guest-tests)"
[ -x "$SIM" ] || fail "$SIM is not built"

# ---- one boot ---------------------------------------------------------------------------------
# Not under /tmp: the guest mounts a tmpfs of its own there.
RUN=$(mktemp -d "$BUILD/vm-run.XXXXXX")
QEMU_PID=
cleanup() {
    [ -n "$QEMU_PID" ] && kill "$QEMU_PID" 2>/dev/null
    # The simulators are started inside $(…), so their ids come back through files: nothing of
    # the stage may outlive it.
    local f p
    for f in "$RUN"/sim-*.pid; do
        [ -f "$f" ] || continue
        p=$(cat "$f")
        kill "$p" 2>/dev/null
        for _ in $(seq 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$p" 2>/dev/null
    done
    wait 2>/dev/null
    rm -rf "$RUN" "${WORK:-}"
}
trap cleanup EXIT

# A simulator on the host side of a line: its published pty, which QEMU opens as a tty.
startSim() {
    local name=$1; shift
    mkdir -p "$RUN/xdg"
    XDG_RUNTIME_DIR=$RUN/xdg "$SIM" --name "$name" --no-noise --quiet "$@" </dev/null >"$RUN/sim-$name.log" 2>&1 &
    echo $! >"$RUN/sim-$name.pid"
    for _ in $(seq 100); do
        [ -L "$RUN/xdg/kadrel/ports/$name" ] && { readlink -f "$RUN/xdg/kadrel/ports/$name"; return; }
        sleep 0.05
    done
    cat "$RUN/sim-$name.log"
    fail "kadrel-sim $name did not publish its port"
}

# One QMP command after the greeting's capabilities step.
qmp() {
    { echo '{"execute":"qmp_capabilities"}'; echo "$2"; sleep 0.3; } | socat -t 1 - UNIX-CONNECT:"$1" >>"$RUN/qmp.log" 2>&1
}
# An adapter behind a null line is plugged only while told to stay so.
usbSerial() {   # ID CHARDEV SERIAL PORT [EXTRA-JSON]
    echo "{\"execute\":\"device_add\",\"arguments\":{\"driver\":\"usb-serial\",\"id\":\"$1\",\"chardev\":\"$2\",\"bus\":\"xhci.0\",\"serial\":\"$3\",\"port\":\"$4\"${5:-}}}"
}
# Acts on the guest's requests, lines "KADREL-VM-REQUEST ACTION" on its console, in order,
# while the guest runs.
serveRequests() {
    local log=$1 sock=$2 served=0 action actions
    while kill -0 "$QEMU_PID" 2>/dev/null; do
        mapfile -t actions < <(grep -a -o 'KADREL-VM-REQUEST [a-z-]*' "$log" 2>/dev/null | cut -d' ' -f2)
        while [ "$served" -lt "${#actions[@]}" ]; do
            action=${actions[$served]}
            served=$((served + 1))
            case $action in
            unplug) qmp "$sock" '{"execute":"device_del","arguments":{"id":"usb0"}}' ;;
            plug-same) qmp "$sock" "$(usbSerial usb0 c0 KADREL0001 1)" ;;
            plug-other-port) qmp "$sock" "$(usbSerial usb0 c0 KADREL0001 3)" ;;
            plug-second) qmp "$sock" "$(usbSerial usb1 c1 OTHER0002 2 ',"always-plugged":true')" ;;
            unplug-second) qmp "$sock" '{"execute":"device_del","arguments":{"id":"usb1"}}' ;;
            *) say "unknown request from the guest: $action" ;;
            esac
        done
        sleep 0.1
    done
}

# boot NAME SCRIPT: boots the guest and runs the shell lines of SCRIPT in it (chrooted into
# the host's root); $CASES in them is the guest test program.
boot() {
    local name=$1 script=$2 T log rc
    T=$(date +%s.%N)
    log=$RUN/console-$name.log
    local usbPts uartPts
    usbPts=$(startSim "USB-$name")
    uartPts=$(startSim "UART-$name")
    # Another speed than the clocks': the one read back after the run is the guest driver's.
    stty -F "$usbPts" 9600 && stty -F "$uartPts" 9600 || fail "cannot set the simulators' lines to 9600"
    cat >"$RUN/run-$name.sh" <<GUEST
#!/bin/sh
export HOME=/tmp/home XDG_CONFIG_HOME=/tmp/home/.config XDG_RUNTIME_DIR=/tmp/run QT_QPA_PLATFORM=offscreen
mkdir -p /tmp/home /tmp/run
CASES="$GUEST_TESTS --gtest_color=no"
$script
GUEST
    chmod 755 "$RUN/run-$name.sh"
    timeout --kill-after=5 "$GUEST_LIMIT" qemu-system-x86_64 $ACCEL -M pc -cpu max -m 512 -smp 1 \
        -nodefaults -display none -no-reboot \
        -kernel "$KDIR/vmlinux" -initrd "$KDIR/initramfs.cpio.gz" \
        -append "console=ttyS0 panic=-1 quiet kadrel.run=$RUN/run-$name.sh kadrel.keep=$SRC,$BUILD" \
        -chardev file,id=con,path="$log" -device isa-serial,chardev=con,index=0 \
        -chardev serial,id=s1,path="$uartPts" -device isa-serial,chardev=s1,index=1 \
        -device qemu-xhci,id=xhci \
        -chardev serial,id=c0,path="$usbPts" -device usb-serial,id=usb0,chardev=c0,bus=xhci.0,port=1,serial=KADREL0001 \
        -chardev null,id=c1 \
        -device virtio-rng-pci \
        -virtfs local,path=/,mount_tag=hostroot,security_model=none,multidevs=remap \
        -qmp unix:"$RUN/qmp-$name",server=on,wait=off \
        >"$RUN/qemu-$name.log" 2>&1 &
    QEMU_PID=$!
    serveRequests "$log" "$RUN/qmp-$name"
    wait "$QEMU_PID"
    rc=$?
    QEMU_PID=
    sed -e 's/\r$//' "$log" | grep -v -E '^\s*$' | sed 's/^/  guest| /'
    if [ "$rc" = 124 ] || [ "$rc" = 137 ]; then
        cat "$RUN/qemu-$name.log"
        fail "boot '$name': the guest hung and was stopped after $GUEST_LIMIT s (last console lines above)"
    fi
    if [ "$rc" != 0 ]; then
        cat "$RUN/qemu-$name.log"
        fail "boot '$name': qemu ended with $rc"
    fi
    local exitLine
    exitLine=$(grep -a -o 'KADREL-VM-EXIT [0-9]*' "$log" | tail -1)
    [ -n "$exitLine" ] || fail "boot '$name': the guest ended without running the cases (console above)"
    # The drivers passed the line settings down to the emulated hardware, which set the host's
    # side of each line to match.
    local pts
    for pts in "$usbPts" "$uartPts"; do
        stty -F "$pts" -a 2>&1 | tr -s ' ;\n' ' ' | grep -q 'speed 19200 baud.* -parenb .*cs8 .* -cstopb ' \
            || fail "boot '$name': the host side of $pts is not at 19200 8N1: $(stty -F "$pts" 2>&1 | head -2)"
    done
    TIMES+=("boot '$name': $(elapsed "$T") s")
    while read -r t; do TIMES+=("  $t"); done < <(sed -n 's/\r$//; s/.*\[ *OK *\] \([^ ]*\) (\([0-9]*\) ms)$/\1: \2 ms/p' "$log")
    if [ "${exitLine#KADREL-VM-EXIT }" != 0 ]; then
        [ -s "$RUN/qmp.log" ] && sed 's/^/  qmp| /' "$RUN/qmp.log"
        fail "boot '$name': guest cases failed (output above)"
    fi
}

boot lines '
$CASES --gtest_filter="VmLines.*:VmListing.*:VmIdentity.*:VmUnplug.*" || exit 1
# udev'"'"'s stable names: udevd from the host'"'"'s root, told it may run in a chroot.
export SYSTEMD_IGNORE_CHROOT=1
/lib/systemd/systemd-udevd --daemon || exit 1
udevadm trigger --subsystem-match=tty --action=add && udevadm settle --timeout=30
KADREL_VM_UDEV=1 $CASES --gtest_filter="VmIdentity.*"
'

say "passed"
for t in "${TIMES[@]}"; do say "  $t"; done
say "  total: $(elapsed "$START") s"
