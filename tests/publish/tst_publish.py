#!/usr/bin/python3
"""The publisher against Debian's mosquitto, started here on a free loopback port with its own
configuration, read back with paho. Usage: tst_publish.py CLI SIMULATOR
1. Discovery configs, state, availability; SIGTERM: all offline, exit 0. 2. Broker restarted
mid-run, or not there at the start: the backlog in order, none twice. 3. SIGKILL: the will; the
port lost and back. 4. A wrong password (exit 6), credentials others may read. 5. TLS: a trusted
CA, an unknown CA, a wrong host name. 6. Three units, one silent and back: the others keep their
period.
Exit code 77 when mosquitto, openssl or paho is missing."""
import json, os, re, shutil, signal, socket, subprocess, sys, tempfile, threading, time
from datetime import datetime

try:
    import paho.mqtt.client as mqtt
except ImportError:
    print("SKIP: python3-paho-mqtt is not installed")
    sys.exit(77)
MOSQUITTO = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
if not os.path.exists(MOSQUITTO) or not shutil.which("openssl"):
    print("SKIP: mosquitto or openssl is not installed")
    sys.exit(77)
CLI, SIMULATOR = sys.argv[1], sys.argv[2]
SERIAL = "21034567"
STATE, UNIT, PUB = f"quorvel/{SERIAL}/state", f"quorvel/{SERIAL}/availability", \
    "quorvel/publisher/test/availability"
failures = []


def check(what, condition, detail=""):
    if not condition:
        failures.append(f"FAIL: {what} {detail}")


def wait_for(what, condition, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    failures.append(f"FAIL: {what} within {seconds} s")
    return False


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Broker:
    """`user root` keeps its files in our 0700 folder readable after it drops privileges; the
    listener on `port`, waited for, is bound last."""

    def __init__(self, folder, lines, port):
        self.folder, self.port, self.process = folder, port, None
        self.conf = os.path.join(folder, f"mosquitto-{port}.conf")
        with open(self.conf, "w") as f:
            f.write("\n".join(["user root", *lines, f"listener {port} 127.0.0.1"]) + "\n")
        self.start()

    def start(self):
        for _ in range(50):  # a port just closed may linger a moment before it can be bound
            log = open(os.path.join(self.folder, f"mosquitto-{self.port}.log"), "a")
            self.process = subprocess.Popen([MOSQUITTO, "-c", self.conf], stdout=log,
                                            stderr=subprocess.STDOUT)
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline and self.process.poll() is None:
                with socket.socket() as s:
                    if s.connect_ex(("127.0.0.1", self.port)) == 0:
                        return
                time.sleep(0.05)
            self.stop()
            time.sleep(0.2)
        raise RuntimeError(f"mosquitto does not start on {self.port}")

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=10)


class Listener:
    """Subscribes to everything, with a session the broker keeps, and records what comes."""

    def __init__(self, port, name):
        self.messages, self.lock = [], threading.Lock()
        self.client = mqtt.Client(client_id=name, clean_session=False)
        self.client.on_connect = lambda c, u, f, rc: c.subscribe("#", qos=1)
        self.client.on_message = self.received
        self.client.reconnect_delay_set(0.1, 1)
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()

    def received(self, client, userdata, m):
        with self.lock:
            self.messages.append((m.topic, m.payload.decode()))

    def on(self, pattern):
        with self.lock:
            return [(t, p) for t, p in self.messages if re.fullmatch(pattern, t)]

    def last(self, topic):
        found = self.on(re.escape(topic))
        return found[-1][1] if found else None

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


def start_simulator(folder, *options, link="sim"):
    link, log = os.path.join(folder, link), os.path.join(folder, link + ".log")
    process = subprocess.Popen([SIMULATOR, "--link", link, *options], stdout=open(log, "w"),
                               stderr=subprocess.STDOUT)
    wait_for("the simulator's link", lambda: os.path.lexists(link), 10)
    return process, link, log


def publisher(link, port, *options, units="1", scheme="mqtt", host="127.0.0.1"):
    err = open(os.path.join(folder, "publish.err"), "w+")
    process = subprocess.Popen(
        [CLI, "publish", "--port", link, "--unit", units, "--interval", "1", "--timeout", "100",
         "--client-id", "test", "--broker", f"{scheme}://{host}:{port}", *options],
        stdout=subprocess.DEVNULL, stderr=err)
    process.stderr_text = lambda: open(err.name).read()
    return process


def exit_code(process):
    try:
        return process.wait(timeout=15)
    except subprocess.TimeoutExpired:
        return None


def stop(process):
    if process.poll() is None:
        process.kill()
    process.wait(timeout=10)


def gaps(states):  # one state per interval, in order, none twice
    run = [datetime.fromisoformat(json.loads(p)["time"]).timestamp() for _, p in states]
    return [round(b - a, 2) for a, b in zip(run, run[1:])]


with tempfile.TemporaryDirectory() as folder:
    simulator, link, _ = start_simulator(folder, "--seed", "3")
    port = free_port()
    broker = Broker(folder, ["allow_anonymous true", "persistence true",
                             f"persistence_location {folder}/"], port)
    listener = Listener(port, "listener-1")
    try:
        # 1. Discovery, state, availability, SIGTERM
        pub = publisher(link, port, "--ha-discovery")
        wait_for("two states", lambda: len(listener.on(STATE)) >= 2)
        configs = listener.on(r"homeassistant/sensor/quorvel_\d+_\w+/config")
        # Retained configs come again after a reconnect: count the topics, not the messages.
        check("ten discovery configs", len({t for t, _ in configs}) == 10, configs)
        state = json.loads(listener.on(STATE)[0][1])
        kinds = {}
        for topic, payload in configs:
            c = json.loads(payload)
            missing = {"name", "unique_id", "state_topic", "value_template", "state_class",
                       "availability", "device"} - c.keys()
            check(f"{topic}: required fields", not missing, missing)
            check(f"{topic}: its value is in the state",
                  re.sub(r"\{\{ value_json\.(\w+) \}\}", r"\1", c["value_template"]) in state)
            check(f"{topic}: device", c["device"]["sw_version"] == "QV30__2024-05-14"
                  and "address 1" in c["device"]["name"] and c["device"]["identifiers"])
            check(f"{topic}: availability topics",
                  [a["topic"] for a in c["availability"]] == [UNIT, PUB])
            kinds[c["unique_id"]] = (c.get("device_class"), c.get("unit_of_measurement"))
        check("device classes", kinds[f"quorvel_{SERIAL}_temperature"] == ("temperature", "°C")
              and kinds[f"quorvel_{SERIAL}_relative_humidity"] == ("humidity", "%")
              and kinds[f"quorvel_{SERIAL}_hx_alarm"] == (None, None), kinds)
        check("state keys", {"time", "address", "firmware", "probe_serial", "temperature_degC",
                             "relative_humidity_pct", "dew_point_degC"} <= state.keys(), state)
        check("unit online", listener.last(UNIT) == "online")
        pub.send_signal(signal.SIGTERM)
        check("SIGTERM: exit 0", pub.wait(timeout=10) == 0, pub.stderr_text())
        wait_for("unit and publisher offline", lambda: listener.last(UNIT) == "offline"
                 and listener.last(PUB) == "offline", 5)

        # 2. The broker stopped and started again mid-run
        before = len(listener.on(STATE))
        pub = publisher(link, port)
        wait_for("states before", lambda: len(listener.on(STATE)) >= before + 3)
        broker.stop()
        time.sleep(6)
        broker.start()
        wait_for("the backlog and new states", lambda: len(listener.on(STATE)) >= before + 13, 40)
        run = gaps(listener.on(STATE)[before:])
        check("in order, one per interval, none twice", all(0.5 < g < 1.6 for g in run), run)
        check("reconnect told on stderr", "connected to" in pub.stderr_text(), pub.stderr_text())

        # 2b. No broker at the start: polling begins at once, the readings wait for the broker
        stop(pub)
        broker.stop()
        before = len(listener.on(STATE))
        pub = publisher(link, port)
        time.sleep(3)
        check("no broker at the start: told, and polling goes on",
              "for now" in pub.stderr_text() and pub.poll() is None, pub.stderr_text())
        broker.start()
        wait_for("the readings from before the broker",
                 lambda: len(listener.on(STATE)) >= before + 6, 40)
        run = gaps(listener.on(STATE)[before:])
        check("late broker: in order, one per interval", all(0.5 < g < 1.6 for g in run), run)

        # 3. SIGKILL: the will; then the adapter pulled and plugged in again
        wait_for("publisher online", lambda: listener.last(PUB) == "online", 10)
        stop(pub)
        wait_for("the will: publisher offline", lambda: listener.last(PUB) == "offline", 10)
        states = len(listener.on(STATE))
        pub = publisher(link, port)
        wait_for("polling", lambda: len(listener.on(STATE)) > states, 10)
        stop(simulator)
        wait_for("unit offline with the port lost", lambda: listener.last(UNIT) == "offline", 10)
        check("the publisher goes on", pub.poll() is None)
        simulator, link, _ = start_simulator(folder, "--seed", "3")
        wait_for("unit back online", lambda: listener.last(UNIT) == "online", 12)
        check("the loss told once on stderr",
              pub.stderr_text().count("trying again every 5 s") == 1, pub.stderr_text())
    finally:
        stop(pub)
        listener.close()
        broker.stop()

    # 4. Passwords
    port = free_port()
    passwords, credentials = os.path.join(folder, "passwords"), os.path.join(folder, "credentials")
    subprocess.run(["mosquitto_passwd", "-b", "-c", passwords, "plant", "right"], check=True)
    broker = Broker(folder, ["allow_anonymous false", f"password_file {passwords}"], port)
    try:
        for mode, password, code, says in ((0o600, "wrong", 6, "not authori"),
                                           (0o644, "right", 1, "may be read"),
                                           (0o600, "right", None, "")):
            with open(credentials, "w") as f:
                f.write(f"plant\n{password}\n")
            os.chmod(credentials, mode)
            pub = publisher(link, port, "--credentials", credentials)
            what = f"password {password}, mode {mode:o}"
            if code is None:
                time.sleep(3)
                check(f"{what}: still running", pub.poll() is None, pub.stderr_text())
            else:
                got = exit_code(pub)
                check(f"{what}: exit {code}", got == code, got)
                check(f"{what}: says why", says in pub.stderr_text(), pub.stderr_text())
            stop(pub)
    finally:
        broker.stop()

    # 5. TLS with a CA made here
    def make(name, *signing):
        key, crt = (os.path.join(folder, name + e) for e in (".key", ".crt"))
        if not signing:  # a CA
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days",
                            "2", "-subj", f"/CN={name}", "-keyout", key, "-out", crt],
                           check=True, capture_output=True)
            return key, crt
        csr, ext = os.path.join(folder, name + ".csr"), os.path.join(folder, "san.ext")
        with open(ext, "w") as f:
            f.write(f"subjectAltName=DNS:{name}\n")
        subprocess.run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", f"/CN={name}",
                        "-keyout", key, "-out", csr], check=True, capture_output=True)
        subprocess.run(["openssl", "x509", "-req", "-in", csr, "-CA", signing[1], "-CAkey",
                        signing[0], "-CAcreateserial", "-days", "2", "-extfile", ext, "-out", crt],
                       check=True, capture_output=True)
        return key, crt

    test_ca, (_, other_ca) = make("test-ca"), make("other-ca")
    ca = test_ca[1]
    key, crt = make("localhost", *test_ca)
    port, plain = free_port(), free_port()
    broker = Broker(folder, [f"listener {port} 127.0.0.1", f"cafile {ca}", f"certfile {crt}",
                             f"keyfile {key}", "allow_anonymous true"], plain)
    listener = Listener(plain, "listener-tls")
    try:
        pub = publisher(link, port, "--cafile", ca, scheme="mqtts", host="localhost")
        wait_for("a state over TLS", lambda: listener.on(STATE))
        stop(pub)
        for what, cafile, host in (("an unknown CA", other_ca, "localhost"),
                                   ("a host name not in the certificate", ca, "127.0.0.1")):
            pub = publisher(link, port, "--cafile", cafile, scheme="mqtts", host=host)
            got = exit_code(pub)
            check(f"TLS with {what}: exit 6", got == 6, got)
            check(f"TLS with {what}: says why", "certificate" in pub.stderr_text(),
                  pub.stderr_text())
            stop(pub)
    finally:
        listener.close()
        broker.stop()
        stop(simulator)

    # 6. Three units behind a TCP gateway, one made silent (moved to another address) and back
    simulator, link, log = start_simulator(folder, "--unit", "1", "--unit", "2", "--unit", "3",
                                           "--listen", "tcp:0", "--apply-line-settings",
                                           "immediately", link="sim3")
    wait_for("the gateway", lambda: "listening on tcp:" in open(log).read(), 10)
    gateway = re.search(r"listening on tcp:(\S+)", open(log).read()).group(1)
    port = free_port()
    broker = Broker(folder, ["allow_anonymous true"], port)
    listener = Listener(port, "listener-3")
    try:
        pub = publisher(link, port, units="1-3")
        wait_for("three units online", lambda: len(listener.on(r"quorvel/\d+/availability")) >= 3)
        serials = sorted({json.loads(p)["address"]: t.split("/")[1]
                          for t, p in listener.on(r"quorvel/\d+/state")}.items())
        silent = f"quorvel/{serials[2][1]}/availability"
        for frm, to, now in ((3, 9, "offline"), (9, 3, "online")):
            subprocess.run([CLI, "set", "--port", f"tcp://{gateway}", "--unit", str(frm),
                            "--address", str(to)], capture_output=True, timeout=20)
            wait_for(f"the silent unit {now}", lambda: listener.last(silent) == now, 15)
        for address, serial in serials[:2]:
            run = gaps(listener.on(f"quorvel/{serial}/state"))
            check(f"unit {address} keeps its period", all(0.5 < g < 1.6 for g in run), run)
    finally:
        stop(pub)
        listener.close()
        broker.stop()
        stop(simulator)

print(*failures, "FAILED" if failures else "PASS", sep="\n")
sys.exit(1 if failures else 0)
