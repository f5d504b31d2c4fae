#!/busybox sh
# shellcheck shell=bash
# The guest side of tests/uinput_vm.py. As PID 1 of the initramfs (busybox sh) it
# mounts the host's root read-only and the writable share, then runs itself again
# under the host's bash inside that root. There it records, in /run/out, three runs
# of jiggle (NAME.out, NAME.err, NAME.rc), sway's input list (inputs.json), a log of
# the runs' and swayidle's events (log), the kernel's (dmesg), and the last run's
# pointer's input events (events, after the time it was opened in made), for the
# host to check. Every step is bounded by a timeout.
if [ $$ = 1 ]; then
    /busybox mkdir -p /bin /dev /r && /busybox --install -s /bin
    mount -t devtmpfs d /dev && exec </dev/console >/dev/console 2>&1
    # shellcheck disable=SC2013  # one name a word
    for m in $(cat /modules); do insmod "/$m.ko" || echo "guest: insmod $m failed"; done
    mount -t 9p -o trans=virtio,version=9p2000.L,ro hostroot /r && cd /r || exit
    mount -t proc p proc && mount -t sysfs s sys && mount -t devtmpfs d dev && mkdir dev/shm
    for d in tmp run var/tmp root dev/shm; do mount -t tmpfs t $d; done
    mkdir run/out && mount -t 9p -o trans=virtio,version=9p2000.L out run/out
    cp /init /uinput.ko run/  # uinput is loaded after the first run
    timeout 200 chroot /r /bin/bash /run/init
    poweroff -f
fi

export PATH=/usr/sbin:/usr/bin:/sbin:/bin XDG_RUNTIME_DIR=/run/user/65534 O=/run/out
log() { date "+$1 %s.%N" >> $O/log; }
wait_for() { timeout "$1" sh -c "until $2; do sleep 0.1; done" || echo "guest: gave up waiting for $2"; }
run() {  # NAME SECONDS [VARIABLE=VALUE...]: jiggle with only these session variables, Enter after SECONDS
    log "$1-start"
    (sleep "$2"; log "$1-enter"; echo) | timeout 40 env -u WAYLAND_DISPLAY -u DISPLAY "${@:3}" $O/jiggle \
        > "$O/$1.out" 2> "$O/$1.err"
    echo $? > "$O/$1.rc"
}

# udev, seatd and a headless sway (as nobody: it refuses root) start during the first run.
/lib/systemd/systemd-udevd --daemon
timeout 150 seatd -u nobody -g nogroup > $O/seatd.log 2>&1 &
wait_for 10 "[ -S /run/seatd.sock ]"
install -d -m 700 -o nobody -g nogroup $XDG_RUNTIME_DIR && echo "xwayland disable" > /run/sway.conf
WLR_BACKENDS=headless,libinput WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 WLR_HEADLESS_OUTPUTS=1 \
    LIBSEAT_BACKEND=seatd timeout 150 setpriv --reuid=65534 --regid=65534 --clear-groups \
    sway -c /run/sway.conf > $O/sway.log 2>&1 &

run refused 7 WAYLAND_DISPLAY=wayland-0 DISPLAY=:99
busybox insmod /run/uinput.ko
wait_for 30 "ls $XDG_RUNTIME_DIR/sway-ipc.*.sock > /dev/null"
# wayland-1: sway's, the first free name. jiggle itself is never told.
WAYLAND_DISPLAY=wayland-1 timeout 90 swayidle -w timeout 3 "date '+idle %s.%N' >> $O/log" \
    resume "date '+resume %s.%N' >> $O/log" &
wait_for 30 "grep -q idle $O/log"  # swayidle starts slowly under emulation
run fallback 7 DISPLAY=:99
wait_for 10 "[ \$(grep -c idle $O/log) = 2 ]"
(sleep 5; timeout 10 swaymsg -s $XDG_RUNTIME_DIR/sway-ipc.*.sock -r -t get_inputs > $O/inputs.json) &
# The console run's pointer is opened the moment it appears, as the desktop opens a new
# device (no fork in the loop: under emulation that would take longer than the
# desktop), and what it sends copied to events until it goes.
timeout 30 bash -c 'while [ -z "$d" ]; do for e in /sys/class/input/event*; do read -r n < $e/device/name
    [ "$n" = "jiggle virtual pointer" ] && exec 3< /dev/input/${e##*/} && d=1; done; done 2> /dev/null
    echo $EPOCHREALTIME > $0/made; cat <&3 > $0/events 2> /dev/null' $O &
run console 12
wait_for 10 "[ \$(grep -c idle $O/log) = 3 ]"
dmesg > $O/dmesg
