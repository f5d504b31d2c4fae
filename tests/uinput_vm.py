#!/usr/bin/python3
"""jiggle's uinput back end on a real kernel, keeping a libinput compositor awake.

Boots Debian's kernel under qemu (software emulation). The initramfs (busybox, the
9p modules and tests/uinput_guest.sh) mounts the host's own root read-only over
virtio-9p and goes on inside it, so the guest runs the host's udevd, seatd, sway and
swayidle. A second, writable share holds a copy of jiggle and what the guest
records; the checks are made here. A headless sway reads the kernel's devices
through libinput; swayidle (idle after 3 s) watches it. One boot, three runs:

  refused   no uinput module, WAYLAND_DISPLAY naming no compositor, a dead DISPLAY:
            each cycle reports uinput's code 2 (ENOENT); stderr explains it once
  fallback  uinput loaded, only a dead DISPLAY: XTEST refuses, uinput takes the
            motions, nothing is reported
  console   neither variable, as on a text console: uinput is the only way

In the last two, sway has gone idle before jiggle starts, resumes at its first
motion, stays awake while it runs and goes idle again after Enter; sway lists the
virtual pointer, and each run makes one. In the last, the guest opens the pointer as
it appears, as a desktop does, and reads every motion from the first.

The kernel package is the one linux-image-amd64 depends on, fetched with apt-get
download (never installed); vmlinuz and the modules are cached under
~/.cache/jiggle-kernel. Usage: uinput_vm.py JIGGLE. Closes with "N passed, M failed"
and exits 1 on any failure; a missing tool or package, or a failed fetch, ends it
with a traceback.
"""
import json, re, shutil, struct, subprocess, sys, tempfile
from pathlib import Path

import conftest

BANNER, FAREWELL, REPORT = (t.decode() for t in (conftest.BANNER, conftest.FAREWELL, conftest.report(2)))
NAME = "jiggle virtual pointer"
# Loaded in this order at boot; uinput comes later.
MODULES = ("virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci netfs fscache 9pnet "
           "9pnet_virtio 9p evdev").split()
GUEST = Path(__file__).with_name("uinput_guest.sh")
VM_TIMEOUT_S = 240
out = Path((work := tempfile.TemporaryDirectory(prefix="jiggle-vm-")).name)  # the guest's /run/out
results = []


def check(name, ok, detail=""):
    results.append(bool(ok))
    print(f"{'PASS' if ok else 'FAIL'} {name}{': ' + detail if detail and not ok else ''}", flush=True)


def read(name):
    return (out / name).read_text() if (out / name).exists() else ""


def kernel():
    """The cache directory with vmlinuz, the modules and their load order, filled on first use."""
    package = re.findall(r"Depends: (linux-image-\d\S+)", subprocess.check_output(
        ["apt-cache", "depends", "linux-image-amd64"], text=True))
    if not package:
        raise RuntimeError("apt knows no kernel package for linux-image-amd64 (run apt-get update)")
    cache = Path.home() / ".cache/jiggle-kernel" / package[0]
    if not (cache / "modules").exists():  # written last
        subprocess.run(["sh", "-ec", 'cache=$1; shift; rm -rf "$cache"; mkdir -p "$cache"; cd "$cache"; '
                        'apt-get download "$0"; dpkg-deb -x *.deb t; mv t/boot/vmlinuz-* vmlinuz; '
                        'for m in "$@" uinput; do f=$(find t -name $m.ko); [ -f "$f" ] || '
                        '{ echo "no single $m.ko"; exit 1; }; mv $f .; done; rm -r t ./*.deb; '
                        'echo "$@" > modules',
                        package[0], cache, *MODULES], check=True)
    return cache


def stopped(name, outputs, stderr=""):
    # The farewell may come before (or amid) the report of the cycle under way.
    status, output, error = read(f"{name}.rc"), read(f"{name}.out"), read(f"{name}.err")
    check(f"{name}: jiggle's output, status 0", status == "0\n" and FAREWELL in output
          and output.replace(FAREWELL, "", 1) in outputs and re.fullmatch(stderr, error),
          f"got {output!r}, stderr {error!r}, status {status!r}")


def main():
    cache = kernel()
    shutil.copy(sys.argv[1], out / "jiggle")
    subprocess.run(["sh", "-ec", 'mkdir i; cd i; cp "$0"/*.ko "$0"/modules /bin/busybox .; cp "$1" init; '
                    'chmod +x init; find . | busybox cpio -o -H newc > ../initramfs', cache, GUEST],
                   cwd=out, check=True)
    # -cpu max brings RDRAND, so the guest's random pool is ready at once.
    qemu = (f"qemu-system-x86_64 -accel tcg -cpu max -smp 2 -m 1024 -nodefaults -no-user-config "
            f"-display none -serial stdio -no-reboot -kernel {cache}/vmlinuz -initrd {out}/initramfs "
            f"-virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap "
            f"-virtfs local,path={out},mount_tag=out,security_model=none -append").split()
    qemu.append("console=ttyS0 quiet loglevel=3 panic=-1")
    status = subprocess.run(["timeout", str(VM_TIMEOUT_S)] + qemu, stdin=subprocess.DEVNULL).returncode
    print(f"uinput_vm: qemu exited {status} (124: killed after {VM_TIMEOUT_S} s)", flush=True)

    # In 7 s, 4 cycles, or fewer after a slow start (a loaded machine, a sanitizer build)
    stopped("refused", [BANNER + REPORT * k for k in (2, 3, 4, 5)],
            r"jiggle: the pointer did not move\..* uinput: .*'sudo modprobe uinput'.*\n")
    stopped("fallback", [BANNER])
    stopped("console", [BANNER])
    inputs = [(i["name"], i["type"]) for i in json.loads(read("inputs.json") or "[]")]
    check("sway lists the virtual pointer", (NAME, "pointer") in inputs,
          f"inputs {inputs}\n{read('sway.log')[-1500:]}")
    log = [line.split() for line in read("log").splitlines()]
    events = " ".join(event for event, _ in log)
    check("swayidle idle before each run, never while it ran, idle again after", events == "refused-start "
          "refused-enter idle fallback-start resume fallback-enter idle console-start resume console-enter idle",
          events)
    # The desktop opens a new device a moment after it appears: the first motion waits
    # for it, or the kernel drops it. Then one motion a cycle, both axes (struct
    # input_event: time, type, code, value; EV_REL 2, REL_X 0, REL_Y 1).
    made = float(read("made") or 0)
    data = (out / "events").read_bytes() if (out / "events").exists() else b""
    axes = [(s + us / 1e6, code, value) for s, us, kind, code, value in struct.iter_unpack("qqHHi", data)
            if kind == 2]
    check("the first motion reaches a reader that opened the new device at once",
          axes and axes[0][0] - made < 1.0, f"opened at {made}, then {axes[:2]}")
    check("each motion moves both axes by 1 to 11", len(axes) >= 8 and all(1 <= abs(v) <= 11 for *_, v in axes)
          and [c for _, c, _ in axes] == [0, 1] * (len(axes) // 2), axes)
    # Not one a cycle: the kernel says so as it makes each input device.
    made = read("dmesg").count(f"input: {NAME} as ")
    check("one virtual pointer for each of the last two runs", made == 2, f"{made} made")
    print(f"{sum(results)} passed, {results.count(False)} failed")
    sys.exit(0 if all(results) else 1)


if __name__ == "__main__":
    main()
