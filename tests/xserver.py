"""A private, throwaway X server (Xvfb) for tests and benchmarks.

Each server gets an unused display number, its own auth cookie and -noreset:
without it the server resets when its last client leaves, and takes the
pointer position and the idle time with it.
"""

import os
import secrets
import shutil
import signal
import subprocess
import tempfile
import time

TOOLS = ("Xvfb", "xauth", "xdotool", "xprintidle")


def require_tools():
    missing = [tool for tool in TOOLS if shutil.which(tool) is None]
    if missing:
        raise RuntimeError("missing test tools: " + ", ".join(missing) +
                           " (run scripts/install-deps)")


class XServer:
    def __init__(self, display=None, width=1280, height=1024):
        require_tools()
        self.width, self.height = width, height
        self.dir = tempfile.mkdtemp(prefix="jiggle-x-")
        self.auth = os.path.join(self.dir, "Xauthority")
        open(self.auth, "w").close()
        self.cookie = secrets.token_hex(16)
        self.proc = None
        self.display = display
        self.start()

    def _free_display(self):
        for number in range(60 + os.getpid() % 200, 1000):
            if not os.path.exists(f"/tmp/.X{number}-lock") and \
               not os.path.exists(f"/tmp/.X11-unix/X{number}"):
                return number
        raise RuntimeError("no free X display number")

    def start(self):
        """Starts the server, on the same display number if it had one."""
        for _ in range(5):
            number = self.display if self.display is not None else self._free_display()
            subprocess.run(["xauth", "-q", "-f", self.auth, "add", f":{number}",
                            "MIT-MAGIC-COOKIE-1", self.cookie], check=True)
            self.proc = subprocess.Popen(
                ["Xvfb", f":{number}", "-noreset", "-nolisten", "tcp",
                 "-auth", self.auth, "-screen", "0", f"{self.width}x{self.height}x24"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.display = number
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                if self.proc.poll() is not None:
                    break
                if subprocess.run(["xdotool", "getmouselocation"], env=self.env(),
                                  stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL).returncode == 0:
                    return
                time.sleep(0.05)
            self.stop()
        raise RuntimeError(f"Xvfb did not start on :{self.display}")

    def env(self, base=None):
        env = dict(os.environ if base is None else base)
        env["DISPLAY"] = f":{self.display}"
        env["XAUTHORITY"] = self.auth
        env.pop("WAYLAND_DISPLAY", None)
        return env

    def pointer(self):
        out = subprocess.run(["xdotool", "getmouselocation", "--shell"], env=self.env(),
                             capture_output=True, text=True, check=True).stdout
        fields = dict(line.split("=", 1) for line in out.split())
        return int(fields["X"]), int(fields["Y"])

    def idle_ms(self):
        out = subprocess.run(["xprintidle"], env=self.env(), capture_output=True,
                             text=True, check=True).stdout
        return int(out)

    def stop(self, sig=signal.SIGTERM):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(sig)
            self.proc.wait(timeout=10)
        self.proc = None

    def close(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
