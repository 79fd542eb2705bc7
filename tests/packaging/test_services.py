# The long-running commands as systemd services: their units pass
# systemd-analyze verify, and each command, run as systemd runs a Type=notify
# unit (NOTIFY_SOCKET naming a datagram socket of this test's own, and
# WATCHDOG_USEC), says READY=1, feeds the watchdog and says STOPPING=1 on
# SIGTERM.
import os
import pathlib
import re
import shutil
import signal
import socket
import subprocess
import time

import pytest

TOOL = os.environ["VIVAZUZOZ_TOOL"]
VCAM = os.environ["VIVAZUZOZ_VCAM_RUN"]
SOURCE = pathlib.Path(os.environ["VIVAZUZOZ_SOURCE"])
UNITS = sorted((SOURCE / "packaging").glob("*.service"))
LIMIT = 30  # seconds for anything to happen: generous, the machines are shared


def exit_status(name):
    """A status from the tool's exit_status.h, which --help documents."""
    text = (SOURCE / "tools/vivazuzoz/exit_status.h").read_text()
    return int(re.search(r"constexpr int %s = (\d+);" % name, text).group(1))


def unit_settings(unit):
    settings = {}
    for line in unit.read_text().splitlines():
        if "=" in line and not line.startswith("#"):
            key, value = line.split("=", 1)
            settings.setdefault(key, []).append(value)
    return settings


def test_there_is_a_unit_for_each_long_running_command():
    assert [u.name for u in UNITS] == ["vivazuzoz-monitor@.service", "vivazuzoz-rtsp@.service",
                                       "vivazuzoz-serve@.service"]


@pytest.mark.parametrize("unit", UNITS, ids=lambda u: u.name)
def test_unit_passes_systemd_analyze_verify(unit, tmp_path):
    analyze = shutil.which("systemd-analyze")
    if not analyze:
        pytest.skip("no systemd-analyze (package systemd)")
    # Offline: verify needs no running systemd, but the program in
    # ExecStart= must exist, so the unit is checked with the built tool's
    # path in place of the installed one.
    text = unit.read_text()
    assert "ExecStart=/usr/bin/vivazuzoz " in text
    (tmp_path / unit.name).write_text(text.replace("/usr/bin/vivazuzoz", TOOL))
    result = subprocess.run([analyze, "verify", "--man=no", str(tmp_path / unit.name)], capture_output=True,
                            text=True, timeout=LIMIT)
    assert result.returncode == 0 and result.stderr == "", result.stderr
    # Also as an instance, the way it is started.
    instance = unit.name.replace("@.", "@0.")
    result = subprocess.run([analyze, "verify", "--man=no", str(tmp_path / instance)], capture_output=True,
                            text=True, timeout=LIMIT, cwd=tmp_path)
    assert result.returncode == 0 and result.stderr == "", result.stderr


@pytest.mark.parametrize("unit", UNITS, ids=lambda u: u.name)
def test_unit_restarts_on_failures_that_waiting_can_mend_only(unit):
    settings = unit_settings(unit)
    assert settings["Type"] == ["notify"] and settings["NotifyAccess"] == ["main"]
    assert int(settings["WatchdogSec"][0]) > 0
    assert settings["Restart"] == ["on-failure"]
    prevented = {int(s) for s in settings["RestartPreventExitStatus"][0].split()}
    assert prevented == {exit_status("kExitUsage"), exit_status("kExitAddressInUse")}
    assert exit_status("kExitFailure") not in prevented


class Systemd:
    """systemd's end of NOTIFY_SOCKET."""

    def __init__(self, folder):
        self.path = str(folder / "notify")
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.socket.bind(self.path)
        self.messages = []

    def count(self, message):
        """Messages that hold `message` as one of their lines (READY=1 comes with its STATUS=)."""
        return sum(message in m.split("\n") for m in self.messages)

    def wait_for(self, message, count=1):
        until = time.monotonic() + LIMIT
        while self.count(message) < count:
            left = until - time.monotonic()
            if left <= 0:
                raise AssertionError("no %r (%d times) in %r" % (message, count, self.messages))
            self.socket.settimeout(left)
            try:
                self.messages.append(self.socket.recv(4096).decode())
            except socket.timeout:
                pass

    def close(self):
        self.socket.close()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


COMMANDS = {
    "serve": ["serve", "--listen", "127.0.0.1:0"],
    "rtsp": ["rtsp", "--listen", "127.0.0.1:0"],
    "monitor": ["monitor", "--reconnect", "--metrics", "127.0.0.1:PORT"],
}


@pytest.mark.parametrize("command", COMMANDS)
def test_command_tells_systemd_it_is_ready_feeds_the_watchdog_and_stops(command, tmp_path):
    if command == "rtsp" and subprocess.run([TOOL, "rtsp", "--help"], capture_output=True).returncode != 0:
        pytest.skip("the tool was built without RTSP")
    systemd = Systemd(tmp_path)
    args = [a.replace("PORT", str(free_port())) for a in COMMANDS[command]]
    env = dict(os.environ, NOTIFY_SOCKET=systemd.path, WATCHDOG_USEC="1000000", XDG_STATE_HOME=str(tmp_path))
    if command == "rtsp":
        # GLib and GStreamer keep one-time allocations to the end of the
        # process; under the leak checker they are not ours to report (as in
        # tests/gstreamer/programs_test.sh).
        env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "") + ":detect_leaks=0").lstrip(":")
    process = subprocess.Popen([VCAM, "--", TOOL] + args, env=env, cwd=tmp_path, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, text=True)
    try:
        systemd.wait_for("READY=1")
        ready = next(m for m in systemd.messages if m.startswith("READY=1"))
        assert "\nSTATUS=" in ready, ready
        systemd.wait_for("WATCHDOG=1", count=3)  # fed again and again (every 0.5 s)
        assert systemd.count("STOPPING=1") == 0
        process.send_signal(signal.SIGTERM)
        systemd.wait_for("STOPPING=1")
        _, err = process.communicate(timeout=LIMIT)
        assert process.returncode == 0, err
        assert "watchdog" not in err, err
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        systemd.close()
