#!/usr/bin/python3
"""The real tool recording the simulator (--port LINK --connect --record FILE, offscreen).
Usage: tst_record_tool.py TOOL SIMULATOR
1. A few reads, then SIGKILL: every complete row parses with the csv module (and pandas where
   installed), holds every column and tells the start, the connect, readings, an error.
2. /dev/full and a new file in /sys (no one may create one there, root included): the error
   comes and polling goes on."""
import csv, datetime, io, os, re, signal, subprocess, sys, tempfile, time

TOOL, SIMULATOR = sys.argv[1], sys.argv[2]
COLUMNS = ("time,event,temperature_degC,temperature_alarm,relative_humidity_pct,humidity_alarm,"
           "probe_serial,transmitter_serial,dew_point_degC,enthalpy_kJ_per_kg,"
           "mixing_ratio_g_per_kg,absolute_humidity_g_per_m3,wet_bulb_degC,hx_alarm,firmware,"
           "transmitter_address,message").split(",")
TIME = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$")
failures = []


def check(what, got, expected):
    if got != expected:
        failures.append(f"FAIL: {what}: expected {expected!r}, got {got!r}")


def wait_for(what, condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    failures.append(f"FAIL: {what} within {seconds} s")
    return False


def run(folder, record, *faults):
    """The simulator (its log counting the requests) and the tool recording it."""
    link, log = os.path.join(folder, "sim"), os.path.join(folder, "sim.log")
    simulator = subprocess.Popen([SIMULATOR, "--link", link, "--trace", "--seed", "7", *faults],
                                 stdout=open(log, "w"), stderr=subprocess.STDOUT)
    wait_for("the simulator's link", lambda: os.path.lexists(link), 10)
    err = os.path.join(folder, "tool.err")
    tool = subprocess.Popen([TOOL, "--port", link, "--connect", "--record", record],
                            stdout=subprocess.DEVNULL, stderr=open(err, "w"),
                            env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
    return simulator, tool, link, lambda: sum(" rx " in l for l in open(log)), \
        lambda: open(err).read()


def complete_rows(path):
    with open(path, "rb") as f:
        text = f.read().decode("utf-8")  # a cut-off multi-byte character would fail here
    return text[: text.rfind("\n") + 1]


def stop(*processes):
    for process in processes:
        if process.poll() is None:
            process.kill()
        process.wait(timeout=10)


# 1. A record, the tool killed mid-session
with tempfile.TemporaryDirectory() as folder:
    record = os.path.join(folder, "record.csv")
    simulator, tool, link, _, _ = run(folder, record, "--fault-no-answer", "0.2")
    try:
        def enough():
            rows = list(csv.DictReader(io.StringIO(complete_rows(record)))) \
                if os.path.exists(record) else []
            return sum(r["event"] == "reading" for r in rows) >= 4 and \
                any(r["event"] == "error" for r in rows)
        wait_for("four readings and an error row", enough, 60)
        os.kill(tool.pid, signal.SIGKILL)
    finally:
        stop(tool, simulator)

    text = complete_rows(record)
    rows = list(csv.reader(io.StringIO(text, newline="")))
    check("header", rows[0], COLUMNS)
    check("fields in every row", {len(r) for r in rows}, {len(COLUMNS)})
    body = [dict(zip(COLUMNS, r)) for r in rows[1:]]
    check("first events", [r["event"] for r in body[:2]], ["recording", "connect"])
    check("the connect names the port", body[1]["message"], link)
    times = [r["time"] for r in body]
    check("times in ISO 8601 with ms and offset", [t for t in times if not TIME.match(t)], [])
    parsed = [datetime.datetime.fromisoformat(t) for t in times]
    check("times in order", parsed, sorted(parsed))
    readings = [r for r in body if r["event"] == "reading"]
    for r in readings:
        check("firmware, address, probe serial of a reading",
              (r["firmware"], r["transmitter_address"], r["probe_serial"]),
              ("QV30__2024-05-14", "1", "21034567"))
        values = [float(r[c]) for c in COLUMNS[2:14]]  # all twelve filled: current firmware
        check("temperature near 22.5 degC", abs(values[0] - 22.5) < 1, True)
    errors = [r["message"] for r in body if r["event"] == "error"]
    check("error texts", [m for m in errors if not m.startswith("Timeout (read ")], [])
    try:
        import pandas
    except ImportError:
        print("pandas is not installed: read back with the csv module only")
    else:
        frame = pandas.read_csv(io.StringIO(text))  # no options, as a user would
        check("pandas: columns", list(frame.columns), COLUMNS)
        check("pandas: rows", len(frame), len(body))
        check("pandas: temperature is a number column", str(frame["temperature_degC"].dtype),
              "float64")
        check("pandas: readings", int(frame["temperature_degC"].notna().sum()), len(readings))

# 2. Files that cannot be written: the error, and polling goes on
for target, error in (
        ("/dev/full", "Recording stopped: can't write /dev/full: No space left on device"),
        ("/sys/quorvel-record.csv", "Can't record to /sys/quorvel-record.csv: Permission denied")):
    with tempfile.TemporaryDirectory() as folder:
        simulator, tool, _, requests, stderr = run(folder, target)
        try:
            if wait_for(f"{target}: the error on stderr", lambda: error in stderr(), 20):
                before = requests()
                wait_for(f"{target}: polling goes on", lambda: requests() >= before + 3, 20)
            check(f"{target}: the tool still runs", tool.poll(), None)
        finally:
            stop(tool, simulator)

print(*failures, f"record tool test: {len(failures)} failed", sep="\n")
sys.exit(1 if failures else 0)
