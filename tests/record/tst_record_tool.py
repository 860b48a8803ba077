#!/usr/bin/python3
"""The real tool recording the simulator: --port LINK --connect --record FILE, offscreen.
Usage: tst_record_tool.py TOOL SIMULATOR

1. A record of a few reads, the tool then killed with SIGKILL: every complete row parses with
   the csv module (and with pandas where it is installed), holds every column and says what
   happened: the start, the connect, readings, an error.
2. /dev/full and a new file in /sys (where no one may create a file, root included): the error
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


def wait_for(what, condition, seconds=40):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    failures.append(f"FAIL: {what} within {seconds} s")
    return False


def start_simulator(folder, *faults):
    link = os.path.join(folder, "sim")
    log = open(os.path.join(folder, "sim.log"), "w+")
    process = subprocess.Popen([SIMULATOR, "--link", link, "--trace", "--seed", "7", *faults],
                               stdout=log, stderr=subprocess.STDOUT, text=True)
    wait_for("the simulator's link", lambda: os.path.lexists(link), 10)
    return process, link, log


def requests(log):
    log.flush()
    with open(log.name) as f:
        return sum(" rx " in line for line in f)


def start_tool(link, record, folder):
    err = open(os.path.join(folder, "tool.err"), "w+")
    environment = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    process = subprocess.Popen([TOOL, "--port", link, "--connect", "--record", record],
                               stdout=subprocess.DEVNULL, stderr=err, env=environment)
    return process, err


def complete_rows(path):
    with open(path, "rb") as f:
        data = f.read()
    text = data.decode("utf-8")  # a cut-off multi-byte character would fail here
    return text[: text.rfind("\n") + 1]


def stop(process):
    if process.poll() is None:
        process.kill()
    process.wait(timeout=10)


# --- 1. A record, the tool killed mid-session -----------------------------------------------
with tempfile.TemporaryDirectory() as folder:
    simulator, link, sim_log = start_simulator(folder, "--fault-no-answer", "0.2")
    record = os.path.join(folder, "record.csv")
    tool, tool_err = start_tool(link, record, folder)
    try:
        def enough():
            rows = list(csv.DictReader(io.StringIO(complete_rows(record)))) \
                if os.path.exists(record) else []
            return sum(r["event"] == "reading" for r in rows) >= 4 and \
                any(r["event"] == "error" for r in rows)
        wait_for("four readings and an error row", enough, 60)
        os.kill(tool.pid, signal.SIGKILL)
        tool.wait(timeout=10)
    finally:
        stop(tool)
        stop(simulator)

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
        check("firmware and address of a reading", (r["firmware"], r["transmitter_address"]),
              ("QV30__2024-05-14", "1"))
        values = [float(r[c]) for c in COLUMNS[2:14]]  # all twelve filled: current firmware
        check("temperature near 22.5 degC", abs(values[0] - 22.5) < 1, True)
        check("probe serial", r["probe_serial"], "21034567")
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

# --- 2. Files that cannot be written: the error, and polling goes on ------------------------
for target, error in (
        ("/dev/full", "Recording stopped: can't write /dev/full: No space left on device"),
        ("/sys/quorvel-record.csv",
         "Can't record to /sys/quorvel-record.csv: Permission denied")):
    if not os.path.isdir(os.path.dirname(target)):
        print(f"{os.path.dirname(target)} is not there on this machine: {target} not tried")
        continue
    with tempfile.TemporaryDirectory() as folder:
        simulator, link, sim_log = start_simulator(folder)
        tool, tool_err = start_tool(link, target, folder)
        try:
            said = lambda: error in open(tool_err.name).read()
            if wait_for(f"{target}: the error on stderr", said, 20):
                before = requests(sim_log)
                wait_for(f"{target}: polling goes on", lambda: requests(sim_log) >= before + 3, 20)
            check(f"{target}: the tool still runs", tool.poll(), None)
        finally:
            stop(tool)
            stop(simulator)

print(*failures, f"record tool test: {len(failures)} failed", sep="\n")
sys.exit(1 if failures else 0)
