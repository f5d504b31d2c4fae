#!/usr/bin/python3
"""jiggle's uinput back end on a real Linux kernel.

Boots Debian's own kernel under qemu (software emulation) with a small
initramfs holding busybox, the evdev and uinput modules, the real jiggle and
tests/uinput_reader, and runs three scenarios in one boot:

  refused-2-wayland   no uinput module loaded, a Wayland session (with a
                      DISPLAY that no X server answers): each cycle reports
                      uinput's code 2, not XTEST's, so uinput was chosen
  refused-13-console-uid1000
                      uinput loaded, no display, jiggle as a user who may
                      not open /dev/uinput: each cycle reports code 13
  moves-console       no display, jiggle as root: the reader checks the
                      device and every frame

The kernel comes from the package that linux-image-amd64 depends on, fetched
with apt-get download and unpacked with dpkg-deb (never installed); the three
files it needs are cached under ~/.cache/jiggle-kernel/PACKAGE_VERSION.

Usage: uinput_vm.py JIGGLE UINPUT_READER
Exits 0 only when the guest printed every expected PASSED line and no FAIL;
anything missing (qemu, the kernel package) fails loudly.
"""

import glob
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import time
from pathlib import Path

KERNEL_METAPACKAGE = "linux-image-amd64"
KERNEL_FILES = ("vmlinuz", "evdev.ko", "uinput.ko")
QEMU = "qemu-system-x86_64"
BUSYBOX = "/bin/busybox"
VM_TIMEOUT_S = 240
EXPECTED_SCENARIOS = ("refused-2-wayland", "refused-13-console-uid1000",
                      "moves-console")

INIT = """#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
echo "GUEST booted, uptime $(cut -d' ' -f1 /proc/uptime) s"
dmesg | grep -m1 "crng init done"
insmod /lib/modules/evdev.ko || echo "FAIL insmod evdev.ko"
WAYLAND_DISPLAY=wayland-0 DISPLAY=:0 /bin/uinput_reader /bin/jiggle refused 2
insmod /lib/modules/uinput.ko || echo "FAIL insmod uinput.ko"
/bin/uinput_reader /bin/jiggle refused 13 1000
/bin/uinput_reader /bin/jiggle moves
echo "GUEST done, uptime $(cut -d' ' -f1 /proc/uptime) s"
poweroff -f
"""


def fail(message):
    print(f"uinput_vm: FAIL: {message}", flush=True)
    print("0 passed, 1 failed")
    sys.exit(1)


def run(command, **kwargs):
    result = subprocess.run(command, capture_output=True, text=True, **kwargs)
    if result.returncode != 0:
        fail(f"{' '.join(command)} exited {result.returncode}:\n"
             f"{result.stdout}{result.stderr}")
    return result.stdout


def kernel_package():
    """The versioned kernel package and the version apt would fetch."""
    depends = run(["apt-cache", "depends", KERNEL_METAPACKAGE])
    names = [line.split(":", 1)[1].strip() for line in depends.splitlines()
             if line.strip().startswith("Depends:")
             and line.split(":", 1)[1].strip().startswith("linux-image-")]
    if not names:
        fail(f"apt-cache knows no kernel for {KERNEL_METAPACKAGE} "
             "(run apt-get update)")
    policy = run(["apt-cache", "policy", names[0]])
    versions = [line.split(":", 1)[1].strip() for line in policy.splitlines()
                if line.strip().startswith("Candidate:")]
    if not versions or versions[0] == "(none)":
        fail(f"no candidate version of {names[0]} (run apt-get update)")
    return names[0], versions[0]


def unpacked(path):
    """A module as insmod takes it: busybox's insmod reads no .xz or .zst."""
    if path.endswith(".xz"):
        run(["xz", "-d", path])
        return path[:-3]
    if path.endswith(".zst"):
        run(["zstd", "-q", "--rm", "-d", path])
        return path[:-4]
    return path


def kernel_files():
    """The cache directory with vmlinuz, evdev.ko and uinput.ko."""
    package, version = kernel_package()
    cache_root = Path(os.environ.get("XDG_CACHE_HOME",
                                     Path.home() / ".cache")) / "jiggle-kernel"
    cache = cache_root / f"{package}_{version}"
    if all((cache / name).is_file() for name in KERNEL_FILES):
        return cache
    print(f"uinput_vm: fetching {package} {version}", flush=True)
    cache_root.mkdir(parents=True, exist_ok=True)
    work = tempfile.mkdtemp(prefix="fetch-", dir=cache_root)
    try:
        run(["apt-get", "download", f"{package}={version}"], cwd=work)
        debs = glob.glob(os.path.join(work, "*.deb"))
        if len(debs) != 1:
            fail(f"apt-get download gave {debs}")
        tree = os.path.join(work, "tree")
        run(["dpkg-deb", "-x", debs[0], tree])
        found = {
            "vmlinuz": glob.glob(f"{tree}/boot/vmlinuz-*"),
            "evdev.ko": glob.glob(f"{tree}/lib/modules/*/kernel/drivers/input/evdev.ko*"),
            "uinput.ko": glob.glob(f"{tree}/lib/modules/*/kernel/drivers/input/misc/uinput.ko*"),
        }
        out = os.path.join(work, "out")
        os.mkdir(out)
        for name, paths in found.items():
            if len(paths) != 1:
                fail(f"{package} has no single {name}: {paths}")
            shutil.copy(unpacked(paths[0]), os.path.join(out, name))
        try:
            os.rename(out, cache)
        except OSError:
            if not cache.is_dir():  # else another run filled it meanwhile
                raise
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return cache


def shared_libraries(binary):
    """The paths ldd resolves for a binary, the loader included."""
    result = subprocess.run(["ldd", binary], capture_output=True, text=True)
    libraries = []
    for line in result.stdout.splitlines():
        words = line.split()
        if "=>" in words and len(words) > words.index("=>") + 1:
            path = words[words.index("=>") + 1]
        elif words and words[0].startswith("/"):
            path = words[0]
        else:
            continue
        if path.startswith("/"):
            libraries.append(path)
    return libraries


def install(root, source, target):
    """Copies a file (following links) into the image, mode kept."""
    destination = os.path.join(root, target.lstrip("/"))
    os.makedirs(os.path.dirname(destination), exist_ok=True)
    shutil.copy(source, destination)


def initramfs(work, kernel, jiggle, reader):
    root = os.path.join(work, "root")
    for directory in ("bin", "proc", "sys", "dev", "tmp", "lib/modules"):
        os.makedirs(os.path.join(root, directory))
    os.chmod(root, 0o755)  # mkdtemp's 0700 would keep the user scenario out
    install(root, BUSYBOX, "/bin/busybox")
    for binary, target in ((jiggle, "/bin/jiggle"), (reader, "/bin/uinput_reader")):
        install(root, binary, target)
        for library in shared_libraries(binary):
            install(root, library, library)
    for module in ("evdev.ko", "uinput.ko"):
        install(root, str(kernel / module), f"/lib/modules/{module}")
    init = os.path.join(root, "init")
    with open(init, "w") as script:
        script.write(INIT)
    os.chmod(init, 0o755)
    for directory, _, _ in os.walk(root):
        os.chmod(directory, 0o755)

    names = ["."]
    for directory, subdirectories, files in os.walk(root):
        for name in sorted(subdirectories) + sorted(files):
            names.append(os.path.relpath(os.path.join(directory, name), root))
    image = os.path.join(work, "initramfs.cpio")
    with open(image, "wb") as out:
        packed = subprocess.run([BUSYBOX, "cpio", "-o", "-H", "newc"],
                                cwd=root, input="\n".join(names).encode() + b"\n",
                                stdout=out, stderr=subprocess.PIPE)
    if packed.returncode != 0:
        fail(f"busybox cpio: {packed.stderr.decode(errors='replace')}")
    return image


def boot(kernel, image):
    """Runs the guest; returns its console lines with host times."""
    # -cpu max brings RDRAND, so the guest's random pool is ready at once:
    # otherwise std::random_device blocks in the first run for about a second.
    command = [QEMU, "-accel", "tcg", "-cpu", "max", "-m", "512", "-nodefaults",
               "-no-user-config", "-display", "none", "-serial", "stdio",
               "-no-reboot", "-kernel", str(kernel / "vmlinuz"),
               "-initrd", image,
               "-append", "console=ttyS0 panic=-1 quiet loglevel=3"]
    start = time.monotonic()
    lines = []
    # qemu needs a stdin it can open; the guest reads nothing from it.
    with subprocess.Popen(command, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT) as qemu:
        try:
            for raw in qemu.stdout:
                line = raw.decode(errors="replace").rstrip("\r\n")
                elapsed = time.monotonic() - start
                lines.append((elapsed, line))
                print(f"[{elapsed:6.2f}] {line}", flush=True)
                if elapsed > VM_TIMEOUT_S:
                    break
        finally:
            if qemu.poll() is None:
                qemu.kill()
            qemu.wait()
    return lines, time.monotonic() - start


def main():
    if len(sys.argv) != 3:
        fail("usage: uinput_vm.py JIGGLE UINPUT_READER")
    jiggle, reader = sys.argv[1], sys.argv[2]
    for tool in (QEMU, BUSYBOX, "apt-cache", "apt-get", "dpkg-deb", "ldd"):
        if shutil.which(tool) is None:
            fail(f"{tool} is missing (run scripts/install-deps)")
    if "statically linked" not in run(["file", "-L", BUSYBOX]):
        fail(f"{BUSYBOX} is not static: install busybox-static")
    kernel = kernel_files()
    print(f"uinput_vm: kernel files from {kernel}", flush=True)
    with tempfile.TemporaryDirectory(prefix="jiggle-vm-") as work:
        image = initramfs(work, kernel, os.path.abspath(jiggle),
                          os.path.abspath(reader))
        lines, total = boot(kernel, image)

    texts = [text for _, text in lines]
    failures = [text for text in texts if text.startswith("FAIL")]
    missing = [name for name in EXPECTED_SCENARIOS
               if f"SCENARIO {name} PASSED" not in texts]
    if not any(text.startswith("GUEST done") for text in texts):
        missing.append("the guest's closing line")
    booted = [t for t, text in lines if text.startswith("GUEST booted")]
    passed = sum(text.startswith("PASS") for text in texts)
    print(f"uinput_vm: boot {booted[0] if booted else float('nan'):.1f} s, "
          f"whole run {total:.1f} s")
    for name in missing:
        print(f"uinput_vm: FAIL: no PASSED line for {name}")
    print(f"{passed} passed, {len(failures) + len(missing)} failed")
    sys.exit(1 if failures or missing else 0)


if __name__ == "__main__":
    main()
