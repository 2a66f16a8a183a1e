#!/bin/busybox sh
# The guest's first process: modules from the initramfs, the host's root over 9p, then the
# command named by kadrel.run= on the kernel command line, run chrooted into the host's root.
# Its exit status is printed for the host, and the machine powers off.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
while read -r m; do insmod "/mods/$m" || echo "kadrel-vm: insmod $m failed"; done </mods/order
RUN=$(sed -n 's/.*kadrel\.run=\([^ ]*\).*/\1/p' /proc/cmdline)
rc=99
if mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=none hostroot /host; then
    mount -t proc proc /host/proc
    mount -t sysfs sys /host/sys
    mount -t devtmpfs dev /host/dev
    mkdir -p /host/dev/pts
    mount -t devpts devpts /host/dev/pts
    # The guest's scratch files stay in the guest; the host folders the run needs (the build
    # and the sources, which may well live under /tmp) stay visible through it.
    KEEP=$(sed -n 's/.*kadrel\.keep=\([^ ]*\).*/\1/p' /proc/cmdline | tr ',' ' ')
    n=0
    for k in $KEEP; do
        mkdir -p "/keep$n" && mount -o bind "/host$k" "/keep$n"
        n=$((n + 1))
    done
    mount -t tmpfs tmp /host/tmp
    mount -t tmpfs run /host/run
    n=0
    for k in $KEEP; do
        if [ ! -d "/host$k" ] || [ -z "$(ls -A "/host$k" 2>/dev/null)" ]; then
            mkdir -p "/host$k" && mount -o bind "/keep$n" "/host$k"
        fi
        n=$((n + 1))
    done
    # USB enumeration takes a moment after the modules load.
    for _ in $(seq 100); do [ -e /dev/ttyUSB0 ] && break; sleep 0.1; done
    chroot /host /bin/sh -c "$RUN"
    rc=$?
else
    echo "kadrel-vm: the host root did not mount over 9p"
fi
echo "KADREL-VM-EXIT $rc"
sync
poweroff -f
