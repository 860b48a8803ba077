#!/usr/bin/python3
"""quorvel-setup-cli against pymodbus's TCP server, a Modbus slave nobody here wrote: once as a Modbus
TCP gateway (MBAP) and once as a serial device server passing RTU frames over TCP, each holding a
transmitter at unit 17. Usage: pymodbus_tcp_peer.py CLI (77: skip)."""
import json, logging, socket, struct, subprocess, sys, time

try:
    from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
    from pymodbus.server import StartTcpServer
    from pymodbus.transaction import ModbusRtuFramer, ModbusSocketFramer
except ImportError as error:
    print(f"SKIP: pymodbus cannot be imported ({error}); scripts/install-deps.sh installs it")
    sys.exit(77)


def words(fmt, value):  # a 32-bit value as the transmitter sends it: low word first
    high, low = struct.unpack(">HH", struct.pack(fmt, value))
    return [low, high]


def serve(framer, port):
    registers = [0] * 216
    volatile = (words(">f", 21.5) + [0] + words(">f", 50.0) + [0] + words(">i", 123456)
                + words(">i", 654321) + words(">f", 10.7) * 5 + [0])
    registers[0:21] = volatile
    # 19200 8N1, address 17, firmware "QV30" of 2021-06-15, housing 2.
    registers[200:213] = [5, 0, 0, 0, 0, 17, 0, 0, 0, 0x5156, 0x3330, (21 << 9) | (6 << 5) | 15, 2]
    # The data block counts from 1 for holding registers read at address 0 in this version.
    store = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, [0] + registers), zero_mode=False)
    context = ModbusServerContext(slaves={17: store}, single=False)
    logging.disable(logging.CRITICAL)  # a probe that connects and leaves is not an error here
    StartTcpServer(context=context, address=("127.0.0.1", port),
                   framer=ModbusRtuFramer if framer == "rtu" else ModbusSocketFramer)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


if len(sys.argv) == 4 and sys.argv[1] == "serve":
    serve(sys.argv[2], int(sys.argv[3]))
    sys.exit(0)

failures = []
for framer, scheme in (("socket", "tcp"), ("rtu", "rtu+tcp")):
    port = free_port()
    server = subprocess.Popen([sys.executable, __file__, "serve", framer, str(port)])
    try:
        for _ in range(100):  # until it listens
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                break
            except OSError:
                time.sleep(0.05)
        run = subprocess.run([sys.argv[1], "read", "--port", f"{scheme}://127.0.0.1:{port}",
                              "--unit", "17", "--timeout", "1000", "--format", "json"],
                             capture_output=True, text=True, timeout=30)
        if run.returncode != 0:
            failures.append(f"{scheme}: exit {run.returncode}: {run.stderr.strip()}")
            continue
        record = json.loads(run.stdout)
        text = json.dumps(record)
        for expected in ('"address": 17', "21.5", "123456", "QV30"):
            if expected not in text:
                failures.append(f"{scheme}: {expected} not in {text}")
    finally:
        server.terminate()
        server.wait(timeout=10)
# Nobody listening: the port's kind of words, and exit 2 as for a port that cannot be opened.
port = free_port()
run = subprocess.run([sys.argv[1], "read", "--port", f"tcp://127.0.0.1:{port}"],
                     capture_output=True, text=True, timeout=30)
expected = f"Can't connect to 127.0.0.1:{port}: connection refused"
if run.returncode != 2 or expected not in run.stderr:
    failures.append(f"refused: exit {run.returncode}, {run.stderr.strip()!r}, wanted {expected!r}")
print(*failures, f"pymodbus TCP peer: {len(failures)} failed", sep="\n")
sys.exit(1 if failures else 0)
