#!/usr/bin/python3
"""The shared image test vectors (image_vectors.json) as a C++ header for
the library's and the tool's tests; the binding's and the command line's
tests read the JSON itself.

Usage: gen_image_vectors.py IMAGE_VECTORS_JSON OUTPUT_HEADER

Every vector must have exactly the fields name, bytes_hex, stored,
computed, check and ok; stored and computed are "0x" and four hex digits,
or both null for a file shorter than the two trailer bytes. Anything else
is refused, and the header is not written.
"""

import json
import re

from cpp_header import cpp_string, main

FIELDS = {"name", "bytes_hex", "stored", "computed", "check", "ok"}
CRC_TEXT = re.compile(r"0x[0-9A-F]{4}\Z")
TRAILER_BYTES = 2


def read_vectors(path):
    with open(path, encoding="utf-8") as f:
        table = json.load(f)
    if not isinstance(table, dict) or set(table) != {"about", "vectors"} or not table["vectors"]:
        raise ValueError("expected an object with about and a list of vectors")
    vectors = []
    for vector in table["vectors"]:
        if not isinstance(vector, dict) or set(vector) != FIELDS:
            raise ValueError("a vector has exactly the fields %s: %r" % (sorted(FIELDS), vector))
        data = bytes.fromhex(vector["bytes_hex"])
        crcs = (vector["stored"], vector["computed"])
        if len(data) < TRAILER_BYTES:
            if crcs != (None, None):
                raise ValueError("%r: no trailer, so stored and computed are null" % vector["name"])
        elif not all(isinstance(c, str) and CRC_TEXT.match(c) for c in crcs):
            raise ValueError("%r: stored and computed are written 0xABCD" % vector["name"])
        if type(vector["check"]) is not int or type(vector["ok"]) is not bool:
            raise ValueError("%r: check is a status, ok true or false" % vector["name"])
        vectors.append(dict(vector, data=data))
    return vectors


def header(vectors):
    lines = [
        "// Written by tests/support/gen_image_vectors.py from tests/support/image_vectors.json; edit that",
        "// file instead.",
        "#pragma once",
        "",
        "#include <cstdint>",
        "#include <vector>",
        "",
        "namespace kormelt::test {",
        "",
        "struct ImageVector {",
        "    const char *name;",
        "    std::vector<uint8_t> bytes;",
        "    bool has_trailer;   // stored and computed hold something",
        "    uint16_t stored;    // the last two bytes, high byte first",
        "    uint16_t computed;  // the CRC of the bytes before them",
        "    int32_t check;      // the library's status for the file",
        "    bool ok;            // an image a host uploads",
        "};",
        "",
        "inline const ImageVector IMAGE_VECTORS[] = {",
    ]
    for v in vectors:
        has_trailer = v["stored"] is not None
        lines.append(
            "    {%s, {%s}, %s, %s, %s, %d, %s},"
            % (
                cpp_string(v["name"]),
                ", ".join("0x%02X" % b for b in v["data"]),
                "true" if has_trailer else "false",
                v["stored"] if has_trailer else "0",
                v["computed"] if has_trailer else "0",
                v["check"],
                "true" if v["ok"] else "false",
            )
        )
    lines += ["};", "", "}  // namespace kormelt::test", ""]
    return "\n".join(lines)


def make_header(source):
    try:
        return header(read_vectors(source))
    except (OSError, ValueError) as error:
        raise ValueError("%s: %s" % (source, error)) from None


if __name__ == "__main__":
    main("gen_image_vectors.py IMAGE_VECTORS_JSON OUTPUT_HEADER", make_header, ValueError)
