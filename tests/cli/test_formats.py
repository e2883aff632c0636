#!/usr/bin/python3
"""End-to-end runs of the kormelt tool on what build systems produce: ELF
files made by the compilers on this machine, S-records and Intel HEX made
from them by GNU objcopy and srec_cat, and files written here field by field,
whole or broken. Every image made is held against the one sealed from
objcopy's raw binary, or against bytes this script lays out itself.

Usage: test_formats.py --kormelt PATH --sim PATH [unittest arguments]

A test that needs a tool this machine lacks is skipped and says which.
"""

import json
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_cli as cli  # noqa: E402
from test_cli import (EXIT_IMAGE, EXIT_OK, EXIT_USAGE, Sentence, Simulator, TempDirTest, crc16, expect_update,  # noqa: E402
                      hex_record, kormelt, port_env, sealed, tool_message)

FLASH = 0x08000000  # where the test firmware is linked, as on a common family of microcontrollers
RAM = 0x20000000
CONFIG = 0x08002000  # a section of its own in flash, after a gap
TABLE_BYTES = 1500
COUNTER = 0x11223344  # the initial value of a variable in .data, loaded in flash and run in RAM
IMAGE_MIB = 16
ELF_FILE_MAX_BYTES = 256 << 20
COMPILE_TIMEOUT_S = 60
SKIPPED_EXIT_CODE = 77  # CTest's SKIP_RETURN_CODE for these tests

FIRMWARE_C = """
const unsigned char table[%d] = {%s};
unsigned int counter = 0x%08Xu;
unsigned char buffer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
unsigned int zeroed[64];
__attribute__((section(".config"), used)) const unsigned int config[4] = {0xC0FFEE01u, 2, 3, 4};
int entry(void) { return table[counter & 0xFF] + buffer[2] + (int)zeroed[3] + (int)config[1]; }
""" % (TABLE_BYTES, ",".join(str(b) for b in random.Random(7).randbytes(TABLE_BYTES)), COUNTER)

# .text in flash; .data run in RAM but loaded in flash right after .text;
# .config at an address of its own, leaving a gap; .bss in RAM only.
LINKER_SCRIPT = """ENTRY(entry)
MEMORY { FLASH (rx) : ORIGIN = 0x%08X, LENGTH = 256K
         RAM (rwx) : ORIGIN = 0x%08X, LENGTH = 64K }
SECTIONS {
  .text : { *(.text*) *(.rodata*) *(.opd*) } > FLASH
  .data : { *(.data*) *(.sdata*) *(.got*) *(.toc*) } > RAM AT > FLASH
  .config 0x%08X : { KEEP(*(.config)) } > FLASH
  .bss (NOLOAD) : { *(.bss*) *(.sbss*) *(COMMON) } > RAM
  /DISCARD/ : { *(.comment) *(.note*) *(.eh_frame*) *(.ARM.exidx*) *(.ARM.attributes) *(.branch_lt*) }
}
""" % (FLASH, RAM, CONFIG)

FREESTANDING = ["-O1", "-ffreestanding", "-fno-pic", "-fno-asynchronous-unwind-tables"]


def need(*tools):
    """The paths of the tools, or the test is skipped naming those missing."""
    missing = [tool for tool in tools if shutil.which(tool) is None]
    if missing:
        raise unittest.SkipTest("needs %s, not installed here" % ", ".join(missing))
    return [shutil.which(tool) for tool in tools]


def run(args, what):
    result = subprocess.run(args, capture_output=True, text=True, timeout=COMPILE_TIMEOUT_S)
    if result.returncode != 0:
        raise AssertionError("%s failed (%s): %s" % (what, " ".join(args), result.stderr))
    return result


class Compiler:
    """One way to an ELF file from FIRMWARE_C: gcc for the host, or clang for a target (compiling only)
    and ld.lld; and the input target GNU objcopy reads the file with (None for the host's own)."""

    def __init__(self, name, bits, big_endian, target, objcopy_input):
        self.name, self.bits, self.big_endian = name, bits, big_endian
        self.target, self.objcopy_input = target, objcopy_input
        self.tools = ["clang", "ld.lld"] if target else ["gcc"]

    def build(self, directory):
        source = os.path.join(directory, "firmware.c")
        script = os.path.join(directory, "firmware.ld")
        with open(source, "w") as f:
            f.write(FIRMWARE_C)
        with open(script, "w") as f:
            f.write(LINKER_SCRIPT)
        elf = os.path.join(directory, "firmware-%s.elf" % self.name.replace(" ", "-"))
        if not self.target:
            flags = ["-m32"] if self.bits == 32 else []
            result = subprocess.run(["gcc", *flags, *FREESTANDING, "-nostdlib", "-static", "-no-pie",
                                     "-Wl,-T," + script, "-Wl,--build-id=none", source, "-o", elf],
                                    capture_output=True, text=True, timeout=COMPILE_TIMEOUT_S)
            if result.returncode != 0:
                # gcc -m32 needs the 32-bit runtime (gcc-multilib), which may be missing.
                raise unittest.SkipTest("%s cannot link here: %s" % (self.name, result.stderr.strip()[:200]))
            return elf
        obj = elf + ".o"
        result = subprocess.run(["clang", "--target=" + self.target, *FREESTANDING, "-c", source, "-o", obj],
                                capture_output=True, text=True, timeout=COMPILE_TIMEOUT_S)
        if result.returncode != 0:
            raise unittest.SkipTest("clang here cannot compile for %s: %s" % (self.target, result.stderr.strip()[:200]))
        run(["ld.lld", "-T", script, "-static", obj, "-o", elf], self.name)
        return elf


COMPILERS = [
    Compiler("gcc x86-64", 64, False, None, None),
    Compiler("gcc i386", 32, False, None, None),
    Compiler("clang i386", 32, False, "i386-unknown-elf", "elf32-little"),
    Compiler("clang ARM", 32, False, "arm-none-eabi", "elf32-little"),
    Compiler("clang PowerPC", 32, True, "powerpc-unknown-elf", "elf32-big"),
    Compiler("clang AArch64", 64, False, "aarch64-unknown-elf", "elf64-little"),
    Compiler("clang PowerPC64", 64, True, "powerpc64-unknown-elf", "elf64-big"),
]


def objcopy(elf, output_format, output, *options, input_target=None):
    (path,) = need("objcopy")
    args = [path, *(["-I", input_target] if input_target else []), "-O", output_format, *options, elf, output]
    run(args, "objcopy")
    return output


def raw_binary(elf, output, input_target=None):
    """objcopy's raw binary of the ELF file: from its lowest load address, gaps as erased flash."""
    return objcopy(elf, "binary", output, "--gap-fill", "0xFF", input_target=input_target)


def read(path):
    with open(path, "rb") as f:
        return f.read()


# An ELF file field by field: 32- or 64-bit, either byte order. Each segment
# is (p_type, p_paddr, p_vaddr, file bytes, p_memsz); the changes put other
# numbers in the program header fields of one segment after the fact.
PT_LOAD = 1
PT_NOTE = 4


def elf_file(bits, big_endian, segments, entry=0, e_type=2, machine=40, changes=None):
    order = ">" if big_endian else "<"
    header_bytes, phdr_bytes = (52, 32) if bits == 32 else (64, 56)
    offset = header_bytes + phdr_bytes * len(segments)
    phdrs = b""
    payload = b""
    for n, (p_type, paddr, vaddr, data, memsz) in enumerate(segments):
        fields = dict(offset=offset + len(payload), paddr=paddr, vaddr=vaddr, filesz=len(data), memsz=memsz)
        fields.update((changes or {}).get(n, {}))
        if bits == 32:
            phdrs += struct.pack(order + "8I", p_type, fields["offset"], fields["vaddr"], fields["paddr"],
                                 fields["filesz"], fields["memsz"], 5, 4)
        else:
            phdrs += struct.pack(order + "2I6Q", p_type, 5, fields["offset"], fields["vaddr"], fields["paddr"],
                                 fields["filesz"], fields["memsz"], 8)
        payload += data
    ident = b"\x7fELF" + bytes([1 if bits == 32 else 2, 2 if big_endian else 1, 1]) + bytes(9)
    word = "I" if bits == 32 else "Q"
    header = ident + struct.pack(order + "HHI" + word * 3 + "I6H", e_type, machine, 1, entry, header_bytes, 0, 0,
                                 header_bytes, phdr_bytes, len(segments), 0, 0, 0)
    return header + phdrs + payload


TEXT = random.Random(11).randbytes(600)
DATA = bytes(range(0x40, 0x60))


def firmware_segments():
    """Linked firmware's shape: code, data loaded after it and run in RAM, .bss, and a note."""
    return [(PT_LOAD, FLASH, FLASH, TEXT, len(TEXT)),
            (PT_LOAD, FLASH + len(TEXT), RAM, DATA, len(DATA)),
            (PT_LOAD, RAM + len(DATA), RAM + len(DATA), b"", 0x400),
            (PT_NOTE, 0, 0, b"note", 4)]


FIRMWARE = TEXT + DATA  # what those segments put in flash, from FLASH on


def srec_line(record_type, address, data=b""):
    address_bytes = {0: 2, 1: 2, 2: 3, 3: 4, 5: 2, 6: 3, 7: 4, 8: 3, 9: 2}[record_type]
    body = bytes([address_bytes + len(data) + 1]) + address.to_bytes(address_bytes, "big") + bytes(data)
    return "S%d" % record_type + (body + bytes([~sum(body) & 0xFF])).hex().upper()


def srec_text(base, data, record_bytes=16, header=b"test", start=None, count=True):
    lines = [srec_line(0, 0, header)]
    for at in range(0, len(data), record_bytes):
        lines.append(srec_line(3, base + at, data[at:at + record_bytes]))
    if count:
        lines.append(srec_line(5, len(lines) - 1))
    if start is not None:
        lines.append(srec_line(7, start))
    return "\n".join(lines) + "\n"


def ihex_text(base, data, record_bytes=16, end=True):
    lines = []
    for at in range(0, len(data), record_bytes):
        address = base + at
        if at == 0 or address & 0xFFFF < record_bytes:
            lines.append(hex_record(0, 4, (address >> 16).to_bytes(2, "big")))
        lines.append(hex_record(address & 0xFFFF, 0, data[at:at + record_bytes]))
    return "\n".join(lines + ([cli.HEX_EOF] if end else [])) + "\n"


class FormatTest(TempDirTest):
    def seal(self, source, *options, output="out.img"):
        path = os.path.join(self.dir, output)
        return kormelt("seal", source, "-o", path, *options), path

    def assert_seals_to(self, source, expected_image, *options):
        result, output = self.seal(source, *options)
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        self.assertEqual(read(output), expected_image)
        os.remove(output)
        return result

    def assert_refused(self, args, fragment, output=None):
        result = kormelt(*args)
        self.assertEqual(result.returncode, EXIT_IMAGE, result.stdout + result.stderr)
        self.assertIn(fragment, result.stderr)
        if output is not None:
            self.assertFalse(os.path.exists(output), "no output is written")
        return result


class ObjcopyTest(FormatTest):
    """What GNU objcopy and srec_cat make of a compiled ELF file seals to the image of objcopy's raw binary."""

    def setUp(self):
        super().setUp()
        need("gcc", "objcopy")
        self.elf = COMPILERS[0].build(self.dir)
        self.binary = raw_binary(self.elf, os.path.join(self.dir, "firmware.bin"))
        self.reference, _ = self.seal(self.binary, output="reference.img")
        self.assertEqual(self.reference.returncode, EXIT_OK, self.reference.stderr)
        self.image = read(os.path.join(self.dir, "reference.img"))
        self.assertEqual(self.image, sealed(read(self.binary)))
        self.assertGreater(len(self.image), CONFIG - FLASH, "the firmware spans the gap before .config")

    def test_objcopy_outputs(self):
        cases = [
            ("srec", "fw.srec", []),
            ("srec, 8 bytes a line", "fw.s37", ["--srec-len=8"]),
            ("srec, 64 bytes a line", "fw.mot", ["--srec-len=64"]),
            ("srec, forced S3", "fw.s19", ["--srec-forceS3"]),
            ("ihex", "fw.hex", []),
        ]
        for name, output, options in cases:
            with self.subTest(name):
                text = objcopy(self.elf, "ihex" if output.endswith(".hex") else "srec",
                               os.path.join(self.dir, output), *options)
                self.assert_seals_to(text, self.image, "--base", "0x%08X" % FLASH)
                result = self.assert_seals_to(text, self.image, "--base", "lowest")
                kind = "Intel HEX" if output.endswith(".hex") else "Motorola S-record"
                self.assertIn("(%s, base 0x%08X)" % (kind, FLASH), result.stdout)

    def test_the_elf_file_itself(self):
        self.assert_seals_to(self.elf, self.image, "--base", "lowest")
        self.assert_seals_to(self.elf, self.image, "--base", "0x%08X" % FLASH)

    def test_srec_cat_outputs(self):
        (srec_cat,) = need("srec_cat")
        cases = [
            # name, output, base, srec_cat's output options
            ("S-records at the flash's address", "fw.srec", FLASH, ["-motorola"]),
            ("S1 records at 16-bit addresses", "fw.s19", 0x1000, ["-motorola", "-address-length=2"]),
            ("S2 records at 24-bit addresses", "fw.s28", 0x00400000, ["-motorola", "-address-length=3"]),
            ("S3 records, a header and a start address", "fw.s37", 0x10000000,
             ["-motorola", "-address-length=4"]),
            ("Intel HEX with linear addresses", "fw.hex", FLASH, ["-intel"]),
            ("Intel HEX with segment addresses", "fw.ihex", 0x4000, ["-intel", "-address-length=2"]),
        ]
        for name, output, base, options in cases:
            with self.subTest(name):
                path = os.path.join(self.dir, output)
                extra = ["-header", "kormelt test", "-execution-start-address", "0x%X" % (base + 1)] \
                    if "header" in name else []
                run([srec_cat, self.binary, "-binary", "-offset", "0x%X" % base, *extra, "-o", path, *options],
                    "srec_cat")
                for base_option in ("lowest", "0x%X" % base):
                    self.assert_seals_to(path, self.image, "--base", base_option)
                # The same records with CRLF line ends, as on Windows.
                crlf = self.file("crlf-" + output, read(path).replace(b"\n", b"\r\n"))
                self.assert_seals_to(crlf, self.image, "--base", "lowest")


class CompilerElfTest(FormatTest):
    """ELF files of 32 and 64 bits, both byte orders, from the compilers here: an image from the bytes
    each loads in flash, .data at its load address, equal to objcopy's raw binary of the file."""

    def test_each_compiler(self):
        need("objcopy")
        for compiler in COMPILERS:
            with self.subTest(compiler.name):
                need(*compiler.tools)
                directory = tempfile.mkdtemp(dir=self.dir)
                elf = compiler.build(directory)
                header = read(elf)[:6]
                self.assertEqual(header[4:6], bytes([1 if compiler.bits == 32 else 2, 2 if compiler.big_endian else 1]))
                binary = raw_binary(elf, os.path.join(directory, "firmware.bin"), compiler.objcopy_input)
                expected = sealed(read(binary))
                self.assert_seals_to(elf, expected, "--base", "lowest")
                result = self.assert_seals_to(elf, expected, "--base", "0x%08X" % FLASH)
                self.assertIn("(ELF, base 0x%08X)" % FLASH, result.stdout)
                counter = COUNTER.to_bytes(4, "big" if compiler.big_endian else "little")
                self.assertIn(counter, expected, ".data's initial values are in the image")
                info = json.loads(kormelt("info", "--json", elf).stdout)
                self.assertEqual(info["kind"].split(",")[0],
                                 "%d-bit %s-endian" % (compiler.bits, "big" if compiler.big_endian else "little"))


class WrittenElfTest(FormatTest):
    """ELF files written here, so that every class and byte order is tried whatever the compilers."""

    def test_each_class_and_byte_order(self):
        for bits in (32, 64):
            for big_endian in (False, True):
                with self.subTest(bits=bits, big_endian=big_endian):
                    path = self.file("fw.elf", elf_file(bits, big_endian, firmware_segments(), entry=FLASH + 1))
                    self.assert_seals_to(path, sealed(FIRMWARE), "--base", "lowest")
                    # Below the data the image holds erased flash.
                    self.assert_seals_to(path, sealed(b"\xff" * 0x10 + FIRMWARE), "--base", "0x%08X" % (FLASH - 0x10))


class MalformedInputTest(FormatTest):
    """Inputs broken one way each: refused with their reason, and no image written."""

    def test_each_is_refused_with_its_reason(self):
        good = firmware_segments()
        data = bytes(range(32))
        cases = [
            ("ELF header cut short", "fw.elf", elf_file(32, False, good)[:30],
             "cut short: 30 bytes, less than the 52 of a 32-bit ELF header"),
            ("ELF program headers past the end", "fw.elf", elf_file(64, True, good)[:64 + 56],
             "program headers at offset 0x00000040 lie past the end of the file"),
            ("ELF segment past the end of the file", "fw.elf", elf_file(32, False, good, changes={1: {"offset": 1 << 20}}),
             "segment 1 (PT_LOAD at 0x08000258): its 32 bytes at offset 0x00100000 lie past the end of the file"),
            ("ELF huge p_filesz", "fw.elf",
             elf_file(64, False, good, changes={0: {"filesz": 1 << 62, "memsz": 1 << 62}}),
             "segment 0 (PT_LOAD at 0x08000000): its 4611686018427387904 bytes at offset"),
            ("ELF overlapping segments", "fw.elf", elf_file(32, True, good, changes={1: {"paddr": FLASH + 0x100}}),
             "address 0x08000100 was already filled by an earlier segment"),
            ("ELF address overflow", "fw.elf", elf_file(32, False, good, changes={0: {"paddr": 0xFFFFFF00}}),
             "run past the top of the 32-bit address space"),
            ("ELF segments farther apart than 16 MiB", "fw.elf",
             elf_file(64, False, good, changes={1: {"paddr": FLASH + (IMAGE_MIB << 20)}}),
             "lies 16 MiB or more from address 0x08000000"),
            ("ELF object file", "fw.elf", elf_file(32, False, good, e_type=1), "an object file (ET_REL)"),
            ("S-record count mismatch", "fw.srec",
             srec_text(FLASH, data).replace(srec_line(5, 2), srec_line(5, 3)), "line 4: the count record says 3"),
            ("S-record bad checksum", "fw.srec", srec_text(FLASH, data).replace(
                srec_line(3, FLASH, data[:16]), srec_line(3, FLASH, data[:16])[:-2] + "00"), "line 2: bad checksum 0x00"),
            ("S-record address overflow", "fw.s19", "\n".join([srec_line(1, 0xFFF8, data[:16]), srec_line(9, 0)]),
             "line 1: the data run past 0xFFFF"),
            ("S-records cut short", "fw.srec", "\n".join(srec_text(FLASH, data).splitlines()[:2]),
             "the file may be cut short"),
            ("S-records farther apart than 16 MiB", "fw.srec",
             "\n".join([srec_line(3, 0, data), srec_line(3, IMAGE_MIB << 20, data), srec_line(7, 0)]),
             "line 2: address 0x0100001F lies 16 MiB or more from address 0x00000000"),
            ("HEX farther apart than 16 MiB", "fw.hex",
             ihex_text(0, data, end=False) + ihex_text(IMAGE_MIB << 20, data),
             "line 5: address 0x0100000F lies 16 MiB or more from address 0x00000000"),
        ]
        for name, file_name, content, fragment in cases:
            with self.subTest(name):
                path = self.file(file_name, content)
                output = os.path.join(self.dir, "out.img")
                result = self.assert_refused(["seal", path, "-o", output, "--base", "lowest"], fragment, output)
                kind = {"elf": "ELF", "srec": "Motorola S-record", "s19": "Motorola S-record", "hex": "Intel HEX"}[
                    file_name.rsplit(".", 1)[1]]
                sentence = Sentence("input_malformed", path=path, format=kind)
                self.assertTrue(sentence.found_in(tool_message(result.stderr)), sentence)
                self.assertTrue(tool_message(result.stderr).endswith("No image was written."))
                os.remove(path)

    def test_an_elf_file_beyond_its_bound_is_refused_unread(self):
        path = os.path.join(self.dir, "huge.elf")
        with open(path, "wb") as f:
            f.write(elf_file(32, False, firmware_segments()))
            f.truncate(ELF_FILE_MAX_BYTES + 1)
        self.assert_refused(["seal", path, "-o", os.path.join(self.dir, "out.img")], "more than 256 MiB",
                            os.path.join(self.dir, "out.img"))
        self.assert_refused(["info", path], "more than 256 MiB")


class BaseTest(FormatTest):
    """--base picks the address of the image's first byte; without it that is address 0."""

    def test_the_base_chosen(self):
        path = self.file("fw.srec", srec_text(FLASH + 0x10, FIRMWARE))
        cases = [
            (["--base", "lowest"], FIRMWARE, FLASH + 0x10),
            (["--base", "0x%X" % (FLASH + 0x10)], FIRMWARE, FLASH + 0x10),
            (["--base", str(FLASH)], b"\xff" * 0x10 + FIRMWARE, FLASH),
        ]
        for options, firmware, base in cases:
            with self.subTest(options=options):
                result = self.assert_seals_to(path, sealed(firmware), *options)
                self.assertIn("%d bytes of firmware from %s (Motorola S-record, base 0x%08X)" %
                              (len(firmware), path, base), result.stdout)

    def test_data_at_address_zero_need_no_base(self):
        path = self.file("fw.hex", ihex_text(0x20, FIRMWARE))
        result = self.assert_seals_to(path, sealed(b"\xff" * 0x20 + FIRMWARE))
        self.assertIn("(Intel HEX, base 0x00000000)", result.stdout)

    def test_bases_the_data_do_not_fit(self):
        srec = self.file("fw.srec", srec_text(FLASH, FIRMWARE))
        elf = self.file("fw.elf", elf_file(32, False, firmware_segments()))
        last = "0x%08X" % (FLASH + len(FIRMWARE) - 1)
        cases = [
            ("S-records linked at the flash's address, no --base", srec, [],
             Sentence("base_beyond_zero", path=srec, lowest="0x08000000", highest=last, image_mib=IMAGE_MIB)),
            ("ELF linked at the flash's address, no --base", elf, [],
             Sentence("base_beyond_zero", path=elf, lowest="0x08000000", highest=last, image_mib=IMAGE_MIB)),
            ("data below the base", srec, ["--base", "0x08000100"],
             Sentence("base_below", path=srec, address="0x08000000", base="0x08000100")),
            ("data beyond 16 MiB from the base", elf, ["--base", "0x07000000"],
             Sentence("base_beyond", path=elf, address=last, base="0x07000000", lowest="0x08000000",
                      image_mib=IMAGE_MIB)),
        ]
        for name, path, options, sentence in cases:
            with self.subTest(name):
                output = os.path.join(self.dir, "out.img")
                result = self.assert_refused(["seal", path, "-o", output, *options], "0x08000", output)
                message = tool_message(result.stderr)
                self.assertTrue(message.endswith(" No image was written."), message)
                self.assertTrue(sentence.matches(message[:-len(" No image was written.")]), sentence)
        # The advice taken works.
        self.assert_seals_to(srec, sealed(FIRMWARE), "--base", "0x08000000")

    def test_bad_base_values_are_usage_errors(self):
        path = self.file("fw.srec", srec_text(FLASH, FIRMWARE))
        for value in ("", "0x", "low", "-1", "0x1G", "0x10000000000000000"):
            for command in (["seal", path, "-o", os.path.join(self.dir, "out.img")], ["flash", path], ["info", path]):
                with self.subTest(value=value, command=command[0]):
                    result = kormelt(*command, "--base", value)
                    self.assertEqual(result.returncode, EXIT_USAGE, result.stderr)
                    self.assertIn("--base: the base ", result.stderr)


class FormatChoiceTest(FormatTest):
    """The format comes from --format, else the content, else the name; a file that is none is raw."""

    def test_content_first_then_the_name(self):
        srec = srec_text(FLASH, FIRMWARE)
        elf = elf_file(64, True, firmware_segments())
        hex_text = ihex_text(FLASH, FIRMWARE)
        raw = random.Random(5).randbytes(300)
        cases = [
            ("S-records named .bin", "fw.bin", srec, [], sealed(FIRMWARE), "Motorola S-record"),
            ("ELF named .hex", "fw.hex", elf, [], sealed(FIRMWARE), "ELF"),
            ("HEX named .srec", "fw.srec", hex_text, [], sealed(FIRMWARE), "Intel HEX"),
            ("raw bytes named .img", "fw.img", raw, [], sealed(raw), "raw binary"),
            ("ELF sealed as raw bytes when asked", "fw.elf", elf, ["--format", "raw"], sealed(elf), "raw binary"),
            ("S-records as --format says", "fw.txt", srec, ["--format", "srec"], sealed(FIRMWARE), "Motorola S-record"),
        ]
        for name, file_name, content, options, expected, kind in cases:
            with self.subTest(name):
                path = self.file(file_name, content)
                base = [] if kind == "raw binary" else ["--base", "lowest"]
                result = self.assert_seals_to(path, expected, *options, *base)
                self.assertIn("(%s" % kind, result.stdout)
                os.remove(path)

    def test_the_largest_image_is_still_an_image(self):
        # Firmware of the most an image may hold, and its image, which is two bytes more.
        firmware = self.file("largest.bin", bytes(IMAGE_MIB << 20))
        result, image = self.seal(firmware, output="largest.img")
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        self.assertEqual(os.path.getsize(image), (IMAGE_MIB << 20) + 2)
        self.assertEqual(kormelt("check", image).returncode, EXIT_OK)
        info = kormelt("info", "--json", image)
        self.assertEqual(info.returncode, EXIT_OK, info.stderr)
        self.assertEqual(json.loads(info.stdout)["is_image"], "yes")

    def test_a_wrong_format_is_named_with_how_it_was_found(self):
        cases = [
            ("garbage named .elf", "fw.elf", b"\x00" * 64, [], "ELF", "by its name", "no ELF magic"),
            ("HEX read as S-records", "fw.hex", ihex_text(0, FIRMWARE), ["--format", "srec"], "Motorola S-record",
             "as --format says", "line 1: a record must start with 'S'"),
            ("ELF read as HEX", "fw.elf", elf_file(32, False, firmware_segments()), ["--format", "ihex"], "Intel HEX",
             "as --format says", "line 1: a record must start with ':'"),
            ("an S-record broken in line 3", "fw.bin", "\n".join(srec_text(FLASH, FIRMWARE).splitlines()[:2] + ["S3xx"]),
             [], "Motorola S-record", "by its content", "line 3:"),
        ]
        for name, file_name, content, options, kind, found, fragment in cases:
            with self.subTest(name):
                path = self.file(file_name, content)
                output = os.path.join(self.dir, "out.img")
                result = self.assert_refused(["seal", path, "-o", output, *options], fragment, output)
                self.assertIn("%s, read as %s %s: " % (path, kind, found), result.stderr)
                os.remove(path)


class FlashFirmwareTest(FormatTest):
    """flash takes HEX, S-records and ELF as they are: sealed in memory, then uploaded like an image."""

    def test_each_format_is_sealed_and_flashed(self):
        cases = [
            ("ELF", "fw.elf", elf_file(32, True, firmware_segments(), entry=FLASH + 1)),
            ("Motorola S-record", "fw.s37", srec_text(FLASH, FIRMWARE, start=FLASH)),
            ("Intel HEX", "fw.hex", ihex_text(FLASH, FIRMWARE)),
        ]
        image = sealed(FIRMWARE)
        note = "%d bytes of firmware sealed with the CRC 0x%04X, %d bytes" % (len(FIRMWARE), crc16(FIRMWARE),
                                                                               len(image))
        for kind, file_name, content in cases:
            with self.subTest(kind), Simulator() as sim:
                path = self.file(file_name, content)
                result = kormelt("flash", "--base", "lowest", path, env=port_env(COM1=sim.path))
                self.assertEqual(result.returncode, EXIT_OK, result.stderr)
                self.assertIn("%s: %s, base 0x%08X, %s" % (path, kind, FLASH, note), result.stdout)
                expect_update(self, sim, image)

    def test_json_names_what_was_taken(self):
        path = self.file("fw.elf", elf_file(64, False, firmware_segments()))
        with Simulator() as sim:
            result = kormelt("flash", "--json", "--base", "0x%X" % FLASH, path, env=port_env(COM2=sim.path))
            self.assertEqual(result.returncode, EXIT_OK, result.stderr)
            events = [json.loads(line) for line in result.stdout.splitlines()]
            check = [e for e in events if e["event"] == "end" and e["phase"] == "check"][0]
            self.assertIn("ELF, base 0x08000000, %d bytes of firmware" % len(FIRMWARE), check["note"])
            self.assertEqual(events[-1]["bytes"], len(FIRMWARE) + 2)
            expect_update(self, sim, sealed(FIRMWARE))

    def test_firmware_that_does_not_fit_is_refused_before_anything_is_sent(self):
        path = self.file("fw.elf", elf_file(32, False, firmware_segments()))
        broken = self.file("broken.srec", srec_text(FLASH, FIRMWARE)[:-10])
        cases = [
            ("no --base", path, [], Sentence("base_beyond_zero", path=path, lowest="0x08000000").pattern),
            ("malformed", broken, ["--base", "lowest"], "read as Motorola S-record by its content"),
        ]
        for name, source, options, pattern in cases:
            with self.subTest(name), Simulator() as sim:
                result = kormelt("flash", *options, source, env=port_env(COM1=sim.path))
                self.assertEqual(result.returncode, EXIT_IMAGE, result.stdout)
                self.assertRegex(result.stderr, pattern)
                self.assertIn("Nothing was sent to the device.", result.stderr)
                self.assertEqual(sim.log(), [])

    def test_check_says_it_is_no_image_and_how_to_seal_it(self):
        cases = [
            ("an ELF file", "fw.elf", elf_file(32, False, firmware_segments()), " --base 0x08000000"),
            ("a Motorola S-record file", "fw.srec", srec_text(FLASH, FIRMWARE), " --base 0x08000000"),
            ("an Intel HEX file", "fw.hex", ihex_text(0, FIRMWARE), ""),
        ]
        for kind, file_name, content, base in cases:
            with self.subTest(kind):
                path = self.file(file_name, content)
                image = os.path.join(self.dir, "fw.img")
                command = "kormelt seal %s%s -o %s" % (path, base, image)
                result = kormelt("check", path)
                self.assertEqual(result.returncode, EXIT_IMAGE, result.stdout)
                sentence = Sentence("not_an_image", path=path, format=kind, trailer_bytes=2, seal_command=command)
                self.assertTrue(sentence.matches(tool_message(result.stderr)), sentence)
                # The command it gives makes an image that check takes.
                sealing = kormelt(*command.split()[1:])
                self.assertEqual(sealing.returncode, EXIT_OK, sealing.stderr)
                self.assertEqual(kormelt("check", image).returncode, EXIT_OK)
                os.remove(image)


class InfoTest(FormatTest):
    """info shows what a file holds and the image it makes."""

    def test_s_records_with_a_header_a_gap_and_a_start(self):
        second = bytes(range(16))
        text = (srec_text(FLASH, FIRMWARE, header=b"fw v1.2\x00\x00", count=False).rstrip("\n") + "\n" +
                srec_line(3, CONFIG, second) + "\n" + srec_line(7, FLASH + 0x101) + "\n")
        path = self.file("fw.srec", text)
        image = sealed(FIRMWARE + b"\xff" * (CONFIG - FLASH - len(FIRMWARE)) + second)
        result = kormelt("info", "--json", "--base", "lowest", path)
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        info = json.loads(result.stdout)
        first_end = FLASH + len(FIRMWARE)
        self.assertEqual(info, {
            "file": path, "format": "srec", "format_name": "Motorola S-record", "found": "by its content",
            "kind": None, "header": "fw v1.2", "start": "0x08000101", "file_bytes": len(text),
            "ranges": [{"first": "0x08000000", "last": "0x%08X" % (first_end - 1), "bytes": len(FIRMWARE)},
                       {"first": "0x%08X" % CONFIG, "last": "0x%08X" % (CONFIG + 15), "bytes": 16}],
            "gaps": [{"first": "0x%08X" % first_end, "last": "0x%08X" % (CONFIG - 1), "bytes": CONFIG - first_end}],
            "base": "0x08000000", "base_from": "lowest", "refused": None,
            "sealed": {"bytes": len(image), "firmware_bytes": len(image) - 2, "crc": "0x%04X" % crc16(image[:-2])},
        })
        text_result = kormelt("info", "--base", "lowest", path)
        self.assertEqual(text_result.returncode, EXIT_OK, text_result.stderr)
        for fragment in ('header    "fw v1.2"', "start     0x08000101",
                         "data      0x08000000-0x%08X  %d bytes" % (first_end - 1, len(FIRMWARE)),
                         "          0x%08X-0x%08X  16 bytes" % (CONFIG, CONFIG + 15),
                         "gaps      0x%08X-0x%08X  %d bytes, filled with 0xFF" % (first_end, CONFIG - 1,
                                                                                  CONFIG - first_end),
                         "base      0x08000000 (--base lowest", "sealed    %d bytes" % len(image)):
            self.assertIn(fragment, text_result.stdout)

    def test_each_kind_of_file(self):
        raw = random.Random(3).randbytes(100)
        cases = [
            ("an ELF file", "fw.elf", elf_file(32, True, firmware_segments(), entry=FLASH + 9), [],
             {"format": "elf", "kind": "32-bit big-endian, ARM", "start": "0x08000009", "base": "0x00000000",
              "sealed": None}),
            ("an ELF file from its lowest address", "fw.elf", elf_file(64, False, firmware_segments()),
             ["--base", "lowest"], {"kind": "64-bit little-endian, ARM", "base": "0x08000000", "refused": None}),
            ("an image", "fw.img", sealed(raw), [], {"format": "raw", "is_image": "yes", "base": None}),
            ("raw firmware", "fw.bin", raw, [], {"format": "raw", "is_image": "no",
                                                 "sealed": {"bytes": 102, "firmware_bytes": 100,
                                                            "crc": "0x%04X" % crc16(raw)}}),
            ("HEX from address 0", "fw.hex", ihex_text(0x10, raw), [],
             {"format": "ihex", "base": "0x00000000", "base_from": "default",
              "gaps": [{"first": "0x00000000", "last": "0x0000000F", "bytes": 16}]}),
        ]
        for name, file_name, content, options, expected in cases:
            with self.subTest(name):
                path = self.file(file_name, content)
                result = kormelt("info", "--json", path, *options)
                self.assertEqual(result.returncode, EXIT_OK, result.stderr)
                info = json.loads(result.stdout)
                for key, value in expected.items():
                    self.assertEqual(info[key], value, key)
                os.remove(path)

    def test_info_tells_why_no_image_is_made_and_refuses_malformed_files(self):
        path = self.file("fw.elf", elf_file(32, False, firmware_segments()))
        result = kormelt("info", path)
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        self.assertIn("sealed    none: %s: its data lie from 0x08000000" % path, result.stdout)
        broken = self.file("broken.elf", elf_file(32, False, firmware_segments())[:40])
        result = kormelt("info", broken)
        self.assertEqual(result.returncode, EXIT_IMAGE)
        self.assertIn("cut short", result.stderr)


def main():
    program = unittest.main(argv=cli.take_programs(), verbosity=2, exit=False)
    result = program.result
    if not result.wasSuccessful():
        sys.exit(1)
    # A group whose every test was skipped tells CTest so, rather than passing.
    whole_tests_skipped = [test for test, _ in result.skipped if not hasattr(test, "test_case")]  # no subtests
    sys.exit(SKIPPED_EXIT_CODE if result.testsRun > 0 and len(whole_tests_skipped) == result.testsRun else 0)


if __name__ == "__main__":
    main()
