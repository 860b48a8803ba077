#!/usr/bin/python3
"""The simulator program against pymodbus, a Modbus RTU master written independently of it, at
address 255: both blocks, each parameter written and read back, exceptions.
Usage: pymodbus_peer.py PATH-TO-quorvel-transmitter-sim. Exit code 77 (skipped): no pymodbus."""
import os, subprocess, sys, tempfile

try:
    from pymodbus.client import ModbusSerialClient
    from pymodbus.constants import Endian
    from pymodbus.payload import BinaryPayloadDecoder
except ImportError as error:
    print(f"SKIP: pymodbus cannot be imported ({error}); scripts/install-deps.sh installs it")
    sys.exit(77)
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print(f"FAIL: {what}")


def run(client):
    volatile = client.read_holding_registers(0, 21, slave=255).registers
    # 32-bit values come low word first, each word high byte first.
    values = BinaryPayloadDecoder.fromRegisters(volatile, Endian.Big, wordorder=Endian.Little)
    got = [values.decode_32bit_float(), values.skip_bytes(2), values.decode_32bit_float(),
           values.skip_bytes(2), values.decode_32bit_int()][::2]
    check(got == [21.5, 50.0, 123456], f"temperature, humidity, probe serial: {got}")
    registers = client.read_holding_registers(200, 16, slave=255).registers
    date = registers[11]  # year since 2000, month and day in 7, 4 and 5 bits
    got = [registers[0:6], registers[9:11], (date >> 9, date >> 5 & 15, date & 31), registers[12]]
    check(got == [[5, 0, 0, 0, 0, 17], [0x5156, 0x3230], (14, 2, 18), 3],
          f"19200 8N1 at 17, QV20 of 2014-02-18, housing 3: {got}")
    for register, value in ((200, 3), (201, 2), (202, 1), (205, 42)):
        echo = client.write_register(register, value, slave=255)
        check((echo.address, echo.value) == (register, value), f"{value} to {register}: {echo}")
    back = client.read_holding_registers(200, 6, slave=42).registers
    check(back == [3, 2, 1, 0, 0, 42], f"written parameters read back at 42: {back}")
    for answer, code in ((client.read_holding_registers(21, 1, slave=255), 2),
                         (client.write_register(200, 7, slave=255), 3)):
        check(getattr(answer, "exception_code", None) == code, f"exception {code}: {answer}")


with tempfile.TemporaryDirectory() as directory:
    link = os.path.join(directory, "port")
    process = subprocess.Popen(
        [sys.argv[1], "--link", link, "--address", "17", "--firmware", "2014-02-18", "--housing",
         "3", "--probe-serial", "123456", "--temperature", "21.5", "--humidity", "50",
         "--temperature-drift", "0", "--humidity-drift", "0"], stdout=subprocess.PIPE, text=True)
    try:
        for line in process.stdout:  # the link is in place once the program names it
            if line.startswith("Connect to:"):
                break
        client = ModbusSerialClient(port=link, baudrate=19200, timeout=1, retries=0)
        check(client.connect(), f"pymodbus opens {link}")
        run(client)
        client.close()
    finally:
        process.terminate()
        process.wait(timeout=10)
    check(process.returncode == 0 and not os.path.lexists(link), "clean end, link removed")
print(f"pymodbus peer: {len(failures)} failed")
sys.exit(1 if failures else 0)
