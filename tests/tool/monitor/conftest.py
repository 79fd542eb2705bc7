# Shared set-up of the monitor's tests: free ports, a mosquitto broker of
# our own, mosquitto_sub as the independent reader, and the tool under the
# virtual camera.
import json
import os
import pathlib
import pwd
import signal
import socket
import subprocess
import time
import urllib.request

import pytest

TOOL = os.environ["VIVAZUZOZ_TOOL"]
VCAM = os.environ["VIVAZUZOZ_VCAM_RUN"]
MOSQUITTO = os.environ.get("MOSQUITTO", "/usr/sbin/mosquitto")
LIMIT = 30  # seconds for anything to happen: generous, the machines are shared
STARTED = []  # every process a test started, ended after the test whatever happened


def start(args, **options):
    process = subprocess.Popen(args, **options)
    STARTED.append(process)
    return process


@pytest.fixture(autouse=True)
def end_every_process():
    yield
    while STARTED:
        process = STARTED.pop()
        if process.poll() is None:
            process.kill()
            process.wait()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def eventually(check, what, limit=LIMIT):
    """Waits until check() gives something true and returns it."""
    until = time.monotonic() + limit
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > until:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


class Broker:
    """A mosquitto on a free port of 127.0.0.1; with users, it asks for a password."""

    def __init__(self, folder, users=None, port=None, tls=None):
        self.folder = folder
        self.port = port or free_port()
        self.users = users
        self.tls = tls  # (CA, certificate, key) files: TLS only
        self.process = None

    def start(self):
        conf = self.folder / "mosquitto.conf"
        # Run as root, mosquitto would become the user "mosquitto", who cannot
        # read the test's folder; as anyone else it stays who it is anyway.
        lines = ["listener %d 127.0.0.1" % self.port, "persistence false", "user " + pwd.getpwuid(os.getuid()).pw_name]
        if self.tls:
            lines += ["cafile %s" % self.tls[0], "certfile %s" % self.tls[1], "keyfile %s" % self.tls[2]]
        if self.users:
            passwd = self.folder / "passwd"
            passwd.write_text("")
            for user, password in self.users.items():
                subprocess.run(["mosquitto_passwd", "-b", str(passwd), user, password], check=True)
            lines += ["allow_anonymous false", "password_file " + str(passwd)]
        else:
            lines.append("allow_anonymous true")
        conf.write_text("\n".join(lines) + "\n")
        self.log = open(self.folder / "mosquitto.log", "ab")
        self.process = start([MOSQUITTO, "-c", str(conf)], stdout=self.log, stderr=self.log)
        eventually(self._accepts, "mosquitto to listen on port %d" % self.port)
        return self

    @staticmethod
    def make_certificates(folder):
        """A CA of its own and a certificate for 127.0.0.1 signed by it: (CA, certificate, key)."""
        ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
        names = [str(folder / n) for n in ("ca.crt", "ca.key", "server.csr", "server.crt", "server.key", "san.ext")]
        ca, ca_key, csr, cert, key, ext = names
        pathlib.Path(ext).write_text("subjectAltName=IP:127.0.0.1\n")
        for args in (["req", "-x509"] + ec + ["-keyout", ca_key, "-out", ca, "-days", "2", "-subj", "/CN=test CA"],
                     ["req"] + ec + ["-keyout", key, "-out", csr, "-subj", "/CN=127.0.0.1"],
                     ["x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial", "-out", cert,
                      "-days", "2", "-extfile", ext]):
            subprocess.run(["openssl"] + args, check=True, capture_output=True)
        return ca, cert, key

    def _accepts(self):
        if self.process.poll() is not None:
            raise AssertionError("mosquitto ended: " + (self.folder / "mosquitto.log").read_text())
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
            return True
        except OSError:
            return False

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(LIMIT)
        self.process = None


class Subscriber:
    """mosquitto_sub on every topic, its messages kept as (time, retained, topic, payload)."""

    def __init__(self, broker, folder, name="sub", user=None, password=None):
        """Over TLS when the broker has it, trusting the broker's CA."""
        self.path = folder / (name + ".txt")
        args = ["mosquitto_sub", "-p", str(broker.port), "-h", "127.0.0.1", "-q", "1", "-v",
                "-F", "%U\t%r\t%t\t%p", "-t", "#"]
        if user:
            args += ["-u", user, "-P", password]
        if broker.tls:
            args += ["--cafile", broker.tls[0]]
        self.out = open(self.path, "wb")
        self.process = start(args, stdout=self.out, stderr=subprocess.STDOUT)

    def messages(self):
        result = []
        for line in self.path.read_text(errors="replace").splitlines():
            parts = line.split("\t", 3)
            if len(parts) == 4:
                result.append((float(parts[0]), parts[1] == "1", parts[2], parts[3]))
        return result

    def ready(self, broker):
        """Waits until the subscription stands: a probe published now arrives."""
        def probe():
            subprocess.run(["mosquitto_pub", "-p", str(broker.port), "-h", "127.0.0.1", "-t", "probe", "-m", "x"]
                           + (["--cafile", broker.tls[0]] if broker.tls else []), check=True, timeout=LIMIT)
            return self.payloads("probe")
        eventually(probe, "mosquitto_sub to subscribe")
        return self

    def payloads(self, topic):
        return [m[3] for m in self.messages() if m[2] == topic]

    def wait_for(self, topic, predicate=lambda payload: True, what=None):
        return eventually(lambda: next((p for p in self.payloads(topic) if predicate(p)), None),
                          what or "a message on " + topic)

    def stop(self):
        self.process.terminate()
        self.process.wait(LIMIT)
        self.out.close()


class Monitor:
    """`vivazuzoz monitor ARGS` under the virtual camera with CAMERA options."""

    def __init__(self, folder, camera, args):
        self.out_path = folder / "monitor.out"
        self.err_path = folder / "monitor.err"
        env = dict(os.environ, XDG_STATE_HOME=str(folder))
        self.process = start([VCAM] + camera + ["--", TOOL, "monitor"] + args, cwd=folder, env=env,
                                        stdout=open(self.out_path, "wb"), stderr=open(self.err_path, "wb"))

    @staticmethod
    def command(url):
        """The monitor's command line with that broker URL, without a camera (a bad URL stops it first)."""
        return [TOOL, "monitor", "--mqtt", url]

    def stderr(self):
        return self.err_path.read_text()

    def wait(self, limit=LIMIT):
        return self.process.wait(limit)

    def kill(self, sig=signal.SIGTERM):
        if self.process.poll() is None:
            self.process.send_signal(sig)
        return self.process.wait(LIMIT)


def scrape(port):
    eventually(lambda: _listens(port), "the metrics server on port %d" % port)
    with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=10) as reply:
        assert reply.headers["Content-Type"].startswith("text/plain; version=0.0.4")
        return reply.read().decode()


def _listens(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def metric_values(text):
    """{(name, frozenset(labels)): value} of an exposition text."""
    values = {}
    for line in text.splitlines():
        if not line or line.startswith("#"):
            continue
        head, value = line.rsplit(" ", 1)
        name, _, labels = head.partition("{")
        pairs = frozenset(tuple(item.split("=", 1)) for item in labels.rstrip("}").replace('"', "").split(",") if item)
        values[(name, pairs)] = float(value)
    return values


def metric(values, name, **labels):
    for (n, pairs), value in values.items():
        if n == name and all((k, v) in pairs for k, v in labels.items()):
            return value
    raise KeyError(name + str(labels))


def tool_json(camera, args):
    run = subprocess.run([VCAM] + camera + ["--", TOOL] + args, capture_output=True, text=True, timeout=LIMIT)
    assert run.returncode == 0, run.stderr
    return [json.loads(line) for line in run.stdout.splitlines()]


@pytest.fixture
def broker(tmp_path):
    b = Broker(tmp_path).start()
    yield b
    b.stop()
