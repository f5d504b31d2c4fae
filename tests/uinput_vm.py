#!/usr/bin/python3
"""jiggle's uinput back end on a real kernel, and a Wayland compositor kept awake by it.

Boots Debian's kernel under qemu (software emulation). The initramfs (busybox, the
9p modules and tests/uinput_guest.sh) mounts the host's own root read-only over
virtio-9p and goes on inside it, so the guest runs the host's udevd, seatd, sway,
swayidle and python3-evdev. A second, writable share holds a copy of jiggle and what
the guest records; the checks are made here. One boot, three runs of jiggle:

  refused   no uinput module, WAYLAND_DISPLAY and a dead DISPLAY: uinput is chosen,
            and each cycle reports its code 2 (ENOENT)
  fallback  uinput present, only a dead DISPLAY: XTEST is chosen and refuses, the
            motions arrive through uinput all the same, and nothing is reported;
            here and in the next run, frames of REL_X, REL_Y (1..11), SYN_REPORT,
            the first 0.5 s after the device appeared, then every 2 s
  wayland   under a headless sway whose input comes from libinput: sway lists the
            virtual pointer; swayidle (idle after 3 s) has fired before jiggle
            starts, resumes at its motions, stays quiet for its 12 s, and fires
            again once Enter has stopped it

The kernel package is the one linux-image-amd64 depends on, fetched with apt-get
download (never installed); vmlinuz and the modules are cached under
~/.cache/jiggle-kernel. Usage: uinput_vm.py JIGGLE. Closes with "N passed, M failed"
and exits 1 on any failure; anything missing fails loudly.
"""
import json, re, shutil, subprocess, sys, tempfile
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


def stopped(name, outputs):
    # The farewell may come before (or amid) the report of the cycle under way.
    status, output = read(f"{name}.rc"), read(f"{name}.out")
    check(f"{name}: jiggle's output, status 0", status == "0\n" and FAREWELL in output
          and output.replace(FAREWELL, "", 1) in outputs, f"got {output!r}, status {status!r}")


def frames(name, at_least):
    """python3-evdev read frames of REL_X, REL_Y, SYN_REPORT from the virtual pointer:
    the first after the settle delay, then one every 2 s. jiggle printed no report."""
    stopped(name, [BANNER])
    appeared, *lines = read(f"{name}.events").splitlines() or ["nan"]
    times = [float(line.split()[0]) for line in lines if line.endswith(" SYN_REPORT 0")]
    frames = re.findall(r"\S+ REL_X (-?\d+)\n\S+ REL_Y (-?\d+)\n\S+ SYN_REPORT 0(?:\n|$)",
                        "\n".join(lines))
    check(f"{name}: {at_least}+ frames from {NAME!r}", len(times) >= at_least, f"{len(times)} frames")
    check(f"{name}: every event in a frame of REL_X, REL_Y of 1..11, SYN_REPORT",
          len(lines) == 3 * len(frames) > 0 and all(1 <= abs(int(v)) <= 11 for f in frames for v in f),
          f"events {lines[:12]}")
    first = times[0] - float(appeared) if times else -1
    check(f"{name}: first frame 0.5 s after the device appeared ({first:.2f} s)", 0.1 <= first <= 1.2)
    gaps = [round(b - a, 2) for a, b in zip(times, times[1:])]
    check(f"{name}: frames 2 s apart ({gaps} s)", gaps and all(1.5 <= g <= 2.8 for g in gaps))


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
    stopped("refused", [BANNER + REPORT * k for k in (2, 3, 4, 5)])
    frames("fallback", 2)
    frames("wayland", 4)
    inputs = [(i["name"], i["type"]) for i in json.loads(read("inputs.json") or "[]")]
    check("wayland: sway lists the virtual pointer", (NAME, "pointer") in inputs,
          f"inputs {inputs}\n{read('sway.log')[-1500:]}")
    events = " ".join(line.split()[0] for line in read("log").splitlines())
    check("wayland: swayidle fired before and after jiggle, never while it ran", events == "refused-start"
          " refused-enter fallback-start fallback-enter idle wayland-start resume wayland-enter idle", events)
    print(f"{sum(results)} passed, {results.count(False)} failed")
    sys.exit(0 if all(results) else 1)


if __name__ == "__main__":
    # An error (a missing tool or package, a failed fetch) is one more failure.
    sys.excepthook = lambda *error: (sys.__excepthook__(*error),
                                     print(f"{sum(results)} passed, {results.count(False) + 1} failed"))
    main()
