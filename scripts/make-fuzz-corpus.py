#!/usr/bin/env python3
"""Writes the seed corpus of the response fuzzer: good answers of every judged length, a Modbus
exception answer and the empty answer (a time-out).

Usage: scripts/make-fuzz-corpus.py [output-dir]   (default tests/fuzz/corpus)
Standard library only; the CRC is computed here, not taken from the program under test.
"""

import os
import struct
import sys


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def with_crc(body):
    return body + struct.pack("<H", crc16(body))  # CRC goes out low byte first


def registers(values):
    return b"".join(struct.pack(">H", v & 0xFFFF) for v in values)


def float_words(value):
    # The transmitter sends the low 16 bits of a 32-bit value in the first register.
    bits = struct.unpack("<I", struct.pack("<f", value))[0] if isinstance(value, float) else value
    bits &= 0xFFFFFFFF
    return [bits & 0xFFFF, bits >> 16]


def int_words(value):
    return float_words(int(value))


def volatile_answer(temperature, temperature_alarm, humidity, humidity_alarm, serial,
                    serial_tr, dew_point, enthalpy, mixing_ratio, absolute, wet_bulb, hx_alarm):
    regs = (float_words(temperature) + [temperature_alarm] + float_words(humidity)
            + [humidity_alarm] + int_words(serial) + int_words(serial_tr)
            + float_words(dew_point) + float_words(enthalpy) + float_words(mixing_ratio)
            + float_words(absolute) + float_words(wet_bulb) + [hx_alarm])
    assert len(regs) == 21
    return with_crc(bytes([0xFF, 0x03, 42]) + registers(regs))


def persistent_answer(baud, parity, stop_bits, address, firmware_id, date, housing):
    regs = [0] * 16
    regs[0], regs[1], regs[2], regs[5] = baud, parity, stop_bits, address
    ident = firmware_id.encode("latin-1")
    assert len(ident) == 4
    regs[9] = ident[0] << 8 | ident[1]
    regs[10] = ident[2] << 8 | ident[3]
    regs[11], regs[12] = date, housing
    return with_crc(bytes([0xFF, 0x03, 32]) + registers(regs))


NAN_BITS = 0x7FC00001
NEG_INF_BITS = 0xFF800000

FRAMES = {
    # 21.5 is 0x41AC0000: frame bytes 00 00 41 AC; 123456 is 0x0001E240: E2 40 00 01.
    "volatile-typical": volatile_answer(21.5, 0, 45.25, 0, 123456, 654321,
                                        9.125, 42.0, 7.25, 8.5, 14.25, 0),
    # Alarms at -1 (0xFFFF), negative and out-of-range numbers, a NaN and an infinity.
    "volatile-alarms-nan": volatile_answer(-40.0, -1, NAN_BITS, 1, -1, 0x7FFFFFFF,
                                           NEG_INF_BITS, -12.5, 0.0, 1e-30, -0.0, -1),
    # 0x1C71 is 2014-03-17; every code inside its table.
    "persistent-2014-03-17": persistent_answer(5, 0, 0, 1, "HX21", 0x1C71, 2),
    "persistent-last-codes": persistent_answer(6, 2, 1, 247, "T\u00e9\u00ff0", 0x1C71, 0),
    # 0xFFFF gives 2127-15-31; codes just past their tables emit nothing.
    "persistent-ffff-outside-tables": persistent_answer(7, 3, 2, 0xFFFF, "A\x00B\x00",
                                                        0xFFFF, 0xFFFF),
    "persistent-large-codes": persistent_answer(0xFFFF, 0x8000, 0x0100, 0, "    ", 0, 0x7FFF),
    # Echo of the parity write (register 201, value 1).
    "echo-write-parity": with_crc(bytes([0xFF, 0x06, 0x00, 0xC9, 0x00, 0x01])),
    # Exception answer: illegal data address.
    "exception-02": with_crc(bytes([0xFF, 0x83, 0x02])),
    "empty": b"",
}


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "tests", "fuzz", "corpus")
    os.makedirs(out, exist_ok=True)
    for name, frame in FRAMES.items():
        assert len(frame) in (0, 5, 8, 37, 47), name
        assert not frame or crc16(frame) == 0, name
        with open(os.path.join(out, name), "wb") as f:
            f.write(frame)
    print(f"{len(FRAMES)} seeds written to {out}")


if __name__ == "__main__":
    main()
