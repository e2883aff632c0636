"""The image check and the CRC helpers; no device involved."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

import kormelt
from conftest import crc16_reference, firmware, sealed
from shared_tables import IMAGE_VECTORS, MESSAGES, Sentence

CHILD_LIMIT_S = 20  # far longer than a check of a small file takes in a fresh interpreter
CHUNK_BYTES = 1 << 20  # the binding reads a refused file in pieces of this size


@pytest.mark.parametrize(
    "data, crc",
    [
        (b"", 0xAAAA),
        (b"123456789", 0xD180),
        (b"abc", 0x153E),
        (b"\x00", 0xBEA0),
        (b"\x01", 0xAE81),
        (b"\x02\x0b", 0x311C),
    ],
)
def test_crc16_known_values(data, crc):
    assert kormelt.crc16(data) == crc
    assert crc16_reference(data) == crc


def test_crc16_goes_on_over_pieces_and_seal_appends_high_byte_first():
    data = firmware(5000, seed=7)
    assert kormelt.crc16(data[3000:], kormelt.crc16(data[:3000])) == kormelt.crc16(data)
    image = kormelt.seal(data)
    assert image[:-2] == data
    assert image[-2:] == crc16_reference(data).to_bytes(2, "big")
    assert kormelt.crc16(image) == 0


def _swapped(image):
    return image[:-2] + image[-1:] + image[-2:-1]


def _changed(image, index):
    return image[:index] + bytes([image[index] ^ 0x01]) + image[index + 1 :]


# name, file content (None: no file), library status, stored, computed, words of the message
BIG = sealed(firmware(CHUNK_BYTES - 1, seed=3))  # one byte over a piece: the trailer spans two pieces
CASES = [
    ("sealed", sealed(b"firmware"), 0, "trailer", "trailer", []),
    ("sealed over several pieces", BIG, 0, "trailer", "trailer", []),
    (
        "one byte changed",
        _changed(sealed(firmware(300)), 17),
        15,
        "trailer",
        "crc",
        ["fails its CRC check", "the CRC of the 300 bytes before them", "damaged"],
    ),
    (
        "changed, trailer across pieces",
        _changed(BIG, 5),
        15,
        "trailer",
        "crc",
        ["fails its CRC check", "%d bytes before them" % (len(BIG) - 2)],
    ),
    ("trailer low byte first", _swapped(sealed(b"firmware")), 15, "trailer", "crc", ["low byte first"]),
    ("raw firmware", b"firmware without trailer", 15, "trailer", "crc", ["kormelt.seal()"]),
    ("empty", b"", 15, None, None, ["is empty"]),
    ("single byte", b"\x42", 15, None, None, ["single byte"]),
    ("the trailer alone", b"\xaa\xaa", 0, "trailer", "trailer", ["no firmware", "AA AA"]),
    ("missing", None, -1, None, None, ["Cannot read", "No such file"]),
]


@pytest.mark.parametrize("name, content, status, stored, computed, words", CASES, ids=[c[0] for c in CASES])
def test_check_results(tmp_path, name, content, status, stored, computed, words):
    path = tmp_path / "image.img"
    if content is not None:
        path.write_bytes(content)
    result = kormelt.check_result(path)

    holds_firmware = content is None or len(content) >= 3
    assert kormelt.check(path) is (status == 0)
    assert result.status == status
    assert bool(result) is result.ok is (status == 0 and holds_firmware)
    assert result.path == str(path)
    assert result.size == (len(content) if content is not None else None)
    trailer = int.from_bytes(content[-2:], "big") if content is not None and len(content) >= 2 else None
    expected = {"trailer": trailer, "crc": crc16_reference(content[:-2]) if content else None, None: None}
    assert result.stored_crc == expected[stored]
    assert result.computed_crc == expected[computed]
    if result.ok:
        assert result.message == ""
    for word in words:
        assert word in result.message


@pytest.mark.parametrize("vector", IMAGE_VECTORS, ids=repr)
def test_the_image_vectors_the_library_and_the_tool_share(tmp_path, vector):
    path = tmp_path / "image.img"
    path.write_bytes(vector.data)
    result = kormelt.check_result(path)
    assert kormelt.check(path) is (vector.check == 0)
    assert (result.status, result.stored_crc, result.computed_crc) == (vector.check, vector.stored, vector.computed)
    assert result.ok is vector.ok
    assert (result.message == "") is vector.ok


SEAL = "kormelt.seal() or 'kormelt seal'"  # the binding's words in the tool's sentences
DIGITS = b"123456789"
# name, file content, the sentences of the message as (key, values but the path)
REFUSALS = [
    ("empty", b"", [("image_empty", dict(trailer_bytes=2, seal=SEAL))]),
    ("single byte", b"\x42", [("image_single_byte", dict(trailer_bytes=2, seal=SEAL))]),
    ("the trailer alone", b"\xaa\xaa", [("image_no_firmware", dict(trailer_bytes=2, empty_crc="0xAAAA", seal=SEAL))]),
    (
        "trailer low byte first",
        DIGITS + b"\x80\xd1",
        [("image_crc", dict(stored="0x80D1", data_bytes=9, computed="0xD180")), ("image_crc_swapped", {})],
    ),
    (
        "no trailer",
        DIGITS,
        [
            ("image_crc", dict(stored="0x3839", data_bytes=7, computed="0x%04X" % crc16_reference(DIGITS[:-2]))),
            ("image_crc_unsealed", dict(seal=SEAL)),
        ],
    ),
]


@pytest.mark.parametrize("content, sentences", [case[1:] for case in REFUSALS], ids=[case[0] for case in REFUSALS])
def test_refusals_are_the_sentences_of_the_tool(tmp_path, content, sentences):
    path = tmp_path / "image.img"
    path.write_bytes(content)
    message = kormelt.check_result(path).message
    expected = " ".join(
        Sentence(key, **dict(values, path=str(path)) if "{path}" in MESSAGES[key] else values).pattern
        for key, values in sentences
    )
    assert re.fullmatch(expected, message), (message, expected)


def test_a_directory_is_refused_with_the_reason(tmp_path):
    result = kormelt.check_result(tmp_path)
    assert not kormelt.check(tmp_path)
    assert not result.ok
    assert result.size is None
    assert "not a regular file but a directory" in result.message


@pytest.mark.parametrize("kind", [str, bytes, pathlib.Path])
def test_paths_of_every_kind(tmp_path, kind):
    path = tmp_path / "image.img"
    path.write_bytes(sealed(b"abc"))
    given = bytes(path) if kind is bytes else kind(path)
    assert kormelt.check(given)
    assert kormelt.check_result(given).ok


def test_a_path_with_a_nul_is_refused_not_cut_short(tmp_path):
    # Cut at the NUL, the path would name this sealed file and pass.
    path = tmp_path / "image.img"
    path.write_bytes(sealed(b"abc"))
    for call in (kormelt.check, kormelt.check_result):
        with pytest.raises(ValueError, match="NUL"):
            call(str(path) + "\0.unsealed")


def _special_path(tmp_path, kind):
    if kind == "fifo":
        path = tmp_path / "no-writer"
        os.mkfifo(path)
        return path
    if kind == "directory":
        return tmp_path
    if kind == "missing":
        return tmp_path / "missing.img"
    if kind == "regular":
        path = tmp_path / "image.img"
        path.write_bytes(sealed(b"firmware"))
        return path
    return pathlib.Path(kind)


# Only a regular file is checked; the rest is refused at once like a file
# that cannot be opened. Each check runs in a child interpreter with a time
# limit, so one that blocks (a FIFO that no writer opens, /dev/zero read
# without end) fails its case instead of hanging the run.
@pytest.mark.parametrize(
    "kind, passes",
    [("fifo", False), ("/dev/zero", False), ("/dev/null", False), ("directory", False), ("missing", False),
     ("regular", True)],
)
def test_check_refuses_at_once_what_is_no_regular_file(tmp_path, kind, passes):
    path = _special_path(tmp_path, kind)
    try:
        done = subprocess.run(
            [sys.executable, "-c", "import sys, kormelt; p = sys.argv[1]; print(kormelt.check(p), kormelt.check_result(p).ok)",
             str(path)],
            capture_output=True, text=True, timeout=CHILD_LIMIT_S, check=False,
        )
    except subprocess.TimeoutExpired:
        pytest.fail("kormelt.check(%s) did not return within %d s" % (path, CHILD_LIMIT_S))
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == [str(passes), str(passes)]
