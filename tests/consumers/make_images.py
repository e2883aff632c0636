#!/usr/bin/python3
"""Writes good.img (data and its CRC-16, high byte first) and bad.img (one
CRC bit flipped) into the folder given, for the consumer tests."""
import os
import sys

CRC_POLY = 0x1021
CRC_INIT = 0xAAAA


def crc16(data):
    crc = CRC_INIT
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ CRC_POLY) & 0xFFFF if crc & 0x8000 else (crc << 1) & 0xFFFF
    return crc


def main():
    folder = sys.argv[1]
    data = bytes((i * 29 + 7) & 0xFF for i in range(1000))
    crc = crc16(data)
    with open(os.path.join(folder, "good.img"), "wb") as f:
        f.write(data + bytes([crc >> 8, crc & 0xFF]))
    with open(os.path.join(folder, "bad.img"), "wb") as f:
        f.write(data + bytes([(crc >> 8) ^ 0x01, crc & 0xFF]))


if __name__ == "__main__":
    main()
