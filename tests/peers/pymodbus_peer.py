#!/usr/bin/python3
"""Checks the simulator program with pymodbus, a Modbus RTU master written independently of it.

Reads both register blocks and writes each parameter at address 255, reads the parameters back,
and provokes the exceptions. Usage: pymodbus_peer.py PATH-TO-quorvel-transmitter-sim
Exit code 77 (skipped) when pymodbus is missing.
"""
import os
import subprocess
import sys
import tempfile

try:
    from pymodbus.client import ModbusSerialClient
    from pymodbus.constants import Endian
    from pymodbus.payload import BinaryPayloadDecoder
except ImportError as error:
    print(f"SKIP: pymodbus cannot be imported ({error}); scripts/install-deps.sh installs "
          "python3-pymodbus and python3-serial-asyncio")
    sys.exit(77)

failures = []
passes = 0


def check(condition, what):
    global passes
    if condition:
        passes += 1
    else:
        failures.append(what)
        print(f"FAIL: {what}")


def decoder(registers):
    # The transmitter sends 32-bit values low word first, each word high byte first.
    return BinaryPayloadDecoder.fromRegisters(registers, byteorder=Endian.Big, wordorder=Endian.Little)


def run(simulator, link):
    client = ModbusSerialClient(port=link, baudrate=19200, bytesize=8, parity="N", stopbits=1,
                                timeout=1, retries=0)
    check(client.connect(), f"pymodbus opens {link}")

    volatile = client.read_holding_registers(0, 21, slave=255)
    check(not volatile.isError() and len(volatile.registers) == 21, f"read 0-20 at 255: {volatile}")
    if not volatile.isError():
        values = decoder(volatile.registers)
        temperature = values.decode_32bit_float()
        values.skip_bytes(2)
        humidity = values.decode_32bit_float()
        values.skip_bytes(2)
        probe = values.decode_32bit_int()
        check(temperature == 21.5, f"temperature 21.5, got {temperature}")
        check(humidity == 50.0, f"humidity 50, got {humidity}")
        check(probe == 123456, f"probe serial 123456, got {probe}")
        dew_point = decoder(volatile.registers[10:12]).decode_32bit_float()
        check(10.5 < dew_point < 11.0, f"dew point of 21.5 degC at 50 % near 10.7, got {dew_point}")

    persistent = client.read_holding_registers(200, 16, slave=255)
    check(not persistent.isError() and len(persistent.registers) == 16, f"read 200-215 at 255: {persistent}")
    if not persistent.isError():
        registers = persistent.registers
        identifier = bytes([registers[9] >> 8, registers[9] & 0xFF, registers[10] >> 8, registers[10] & 0xFF])
        check(identifier == b"QV20", f"firmware identifier QV20, got {identifier}")
        date = registers[11]
        check((2000 + (date >> 9), (date >> 5) & 0x0F, date & 0x1F) == (2014, 2, 18),
              f"firmware date 2014-02-18, got {date:#06x}")
        check(registers[12] == 3, f"housing 3, got {registers[12]}")
        check(registers[0:3] == [5, 0, 0] and registers[5] == 17,
              f"parameters 19200/None/1 at address 17, got {registers[0:6]}")

    for register, value in ((200, 3), (201, 2), (202, 1), (205, 42)):
        echo = client.write_register(register, value, slave=255)
        check(not echo.isError() and (echo.address, echo.value) == (register, value),
              f"write {value} to {register} at 255: {echo}")
    back = client.read_holding_registers(200, 6, slave=255)
    check(not back.isError() and back.registers[0:3] == [3, 2, 1] and back.registers[5] == 42,
          f"written parameters read back: {back}")
    own = client.read_holding_registers(205, 1, slave=42)
    check(not own.isError() and own.registers == [42], f"read at the new own address 42: {own}")

    for request, code, what in (
            (lambda: client.read_holding_registers(21, 1, slave=255), 2, "read register 21"),
            (lambda: client.read_holding_registers(195, 10, slave=255), 2, "read 195-204"),
            (lambda: client.write_register(200, 7, slave=255), 3, "write baud-rate code 7"),
            (lambda: client.write_register(205, 0, slave=255), 3, "write address 0"),
            (lambda: client.write_register(203, 1, slave=255), 2, "write register 203"),
            (lambda: client.read_input_registers(0, 1, slave=255), 1, "function 4")):
        answer = request()
        check(answer.isError() and getattr(answer, "exception_code", None) == code,
              f"{what} gives exception {code}: {answer}")
    client.close()


def main():
    simulator = sys.argv[1]
    with tempfile.TemporaryDirectory() as directory:
        link = os.path.join(directory, "port")
        process = subprocess.Popen(
            [simulator, "--link", link, "--address", "17", "--seed", "3", "--firmware", "2014-02-18",
             "--housing", "3", "--probe-serial", "123456", "--temperature", "21.5", "--humidity", "50",
             "--temperature-drift", "0", "--humidity-drift", "0"],
            stdout=subprocess.PIPE, text=True)
        try:
            # The program names the path to connect to once the link is in place.
            for line in process.stdout:
                if line.startswith("Connect to:"):
                    break
            check(os.path.islink(link), f"link {link} made")
            run(simulator, link)
        finally:
            process.terminate()
            process.wait(timeout=10)
        check(process.returncode == 0, f"simulator ends cleanly on SIGTERM, code {process.returncode}")
        check(not os.path.lexists(link), "link removed on exit")

    print(f"pymodbus peer: {passes} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
