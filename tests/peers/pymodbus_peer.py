#!/usr/bin/python3
"""The simulator program against pymodbus, an independent Modbus master, at address 255: both
blocks read, each parameter written and read back; the same over the simulator's Modbus TCP
listener; after SIGHUP the written line settings and address in force on the serial line.
Usage: pymodbus_peer.py SIMULATOR (77: skip)."""
import os, signal, subprocess, sys, tempfile

try:
    from pymodbus.client import ModbusSerialClient, ModbusTcpClient
    from pymodbus.constants import Endian
    from pymodbus.payload import BinaryPayloadDecoder
except ImportError as error:
    print(f"SKIP: pymodbus cannot be imported ({error}); scripts/install-deps.sh installs it")
    sys.exit(77)


def checks(client):  # yields (what, got, expected)
    volatile = client.read_holding_registers(0, 21, slave=255).registers
    # 32-bit values come low word first, each word high byte first.
    values = BinaryPayloadDecoder.fromRegisters(volatile, Endian.Big, wordorder=Endian.Little)
    got = [values.decode_32bit_float(), values.skip_bytes(2), values.decode_32bit_float(),
           values.skip_bytes(2), values.decode_32bit_int()][::2]
    yield "temperature, humidity, probe serial", got, [21.5, 50.0, 123456]
    r = client.read_holding_registers(200, 16, slave=255).registers
    yield ("19200 8N1 at 17, QV20 of 2014-02-18 (7, 4, 5 bits from 2000), housing 3",
           [r[0:6], r[9:11], (r[11] >> 9, r[11] >> 5 & 15, r[11] & 31), r[12]],
           [[5, 0, 0, 0, 0, 17], [0x5156, 0x3230], (14, 2, 18), 3])
    # Parity back to none at the end: pyserial sets a port's settings twice on opening, which a
    # pseudo-terminal refuses for parity (EINVAL), and the check after SIGHUP opens at them.
    for register, value in ((200, 3), (201, 2), (202, 1), (205, 42), (201, 0)):
        echo = client.write_register(register, value, slave=255)
        yield f"{value} to {register}", (echo.address, echo.value), (register, value)
    yield ("written parameters stored, still answered at 17 until a restart",
           client.read_holding_registers(200, 6, slave=17).registers, [3, 0, 1, 0, 0, 42])


def tcp_checks(client):
    r = client.read_holding_registers(200, 6, slave=17).registers
    yield "Modbus TCP: the stored parameters at unit 17", r, [3, 0, 1, 0, 0, 42]
    echo = client.write_register(212, 1, slave=17)  # not writable: exception 02
    yield "Modbus TCP: an exception", getattr(echo, "exception_code", None), 2


with tempfile.TemporaryDirectory() as directory:
    link = os.path.join(directory, "port")
    process = subprocess.Popen(
        [sys.argv[1], "--link", link, "--address", "17", "--firmware", "2014-02-18", "--housing",
         "3", "--probe-serial", "123456", "--temperature", "21.5", "--humidity", "50",
         "--temperature-drift", "0", "--humidity-drift", "0", "--listen", "tcp:0"],
        stdout=subprocess.PIPE, text=True)
    try:
        tcp_port = None
        for line in process.stdout:  # up to the line that says the link is made
            if line.startswith("listening on tcp:"):
                tcp_port = int(line.rsplit(":", 1)[1])
            if line.startswith("Connect to:"):
                break
        with ModbusSerialClient(port=link, baudrate=19200, timeout=1, retries=0) as client:
            results = list(checks(client))
        with ModbusTcpClient("127.0.0.1", port=tcp_port, timeout=1, retries=0) as client:
            results += list(tcp_checks(client))
        process.send_signal(signal.SIGHUP)
        restarted = next(line for line in process.stdout if line.startswith("Restarted:"))
        results.append(("SIGHUP: the stored settings in force", restarted.strip(),
                        "Restarted: address 42, line 4800-8N2"))
        with ModbusSerialClient(port=link, baudrate=4800, stopbits=2, timeout=1,
                                retries=0) as client:
            results.append(("read at 4800-8N2 from 42",
                            client.read_holding_registers(205, 1, slave=42).registers, [42]))
    finally:
        process.terminate()
        process.wait(timeout=10)
    results.append(("clean end, link removed", (process.returncode, os.path.lexists(link)),
                    (0, False)))
failures = [f"FAIL: {what}: expected {expected}, got {got}" for what, got, expected in results
            if got != expected]
print(*failures, f"pymodbus peer: {len(failures)} failed", sep="\n")
sys.exit(1 if failures else 0)
