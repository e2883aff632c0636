#!/usr/bin/python3
"""The facts the binding shares with the library and the tool, read from
the tree: status codes and progress steps (protocol/status.h,
protocol/progress.h), the reply timeout, the line rate and the image
trailer (protocol/protocol.h), the port names (link/port_name.h), and the
failure sentences (tools/kormelt/messages.json).

Usage: gen_facts.py [--tree DIR] (--python FILE | --json)

--python writes them as the module kormelt/_facts.py; --json prints them.
Each header is read line by line with strict patterns: a value this cannot
read (an expression, a suffix, a name missing or given twice) stops it with
the file and the line, and nothing is written.
"""

import argparse
import importlib.util
import json
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TREE = os.path.dirname(HERE)

STATUS_H = "protocol/status.h"
PROGRESS_H = "protocol/progress.h"
PROTOCOL_H = "protocol/protocol.h"
PORT_NAME_H = "link/port_name.h"
PORT_URL_H = "link/port_url.h"
MESSAGES_JSON = "tools/kormelt/messages.json"
MESSAGES_READER = "tools/kormelt/gen_messages.py"

# #define KORMELT_NAME 12, or (-1), and a comment.
DEFINE = re.compile(r"#define\s+KORMELT_([A-Z0-9_]+)\s+(\d+|\(-\d+\))\s*(/\*.*\*/)?\s*\Z")
GUARD = re.compile(r"#(ifndef|define|endif)\b")
# constexpr uint32_t NAME = 3000;  // a comment
INTEGER = re.compile(r"constexpr\s+(?:u?int\d+_t|size_t)\s+([A-Z0-9_]+)\s*=\s*(\d+)\s*;\s*(//.*)?\Z")
# constexpr char NAME[] = "text";  // a comment
STRING = re.compile(r'constexpr\s+char\s+([A-Z0-9_]+)\[\]\s*=\s*"([^"\\]*)"\s*;\s*(//.*)?\Z')

# What the binding takes from protocol.h, port_name.h and port_url.h; the rest of them
# is the library's own.
PROTOCOL_INTEGERS = ["REPLY_TIMEOUT_MS", "LINE_BAUD_RATE", "CRC_TRAILER_BYTES", "IMAGE_FILE_MIN_BYTES"]
PORT_NAME_STRINGS = ["PORT_NAME_VARIABLE", "PORT_NAME_FALLBACK", "NO_PORT_PATH"]
PORT_URL_STRINGS = ["PORT_URL_RFC2217", "PORT_URL_SOCKET"]


class FactError(Exception):
    pass


def _lines(tree, name):
    path = os.path.join(tree, name)
    try:
        with open(path, encoding="utf-8") as f:
            return [(name, number, line.strip()) for number, line in enumerate(f, 1)]
    except OSError as error:
        raise FactError("%s: %s" % (path, error.strerror))


def read_defines(tree, name):
    """Every #define of a plain C header but its include guard, in order;
    any other #define is an error."""
    found = {}
    for where, number, line in _lines(tree, name):
        if not line.startswith("#define"):
            continue
        match = DEFINE.match(line)
        if match is None:
            if GUARD.match(line) and line.split()[1].endswith("_H") and len(line.split()) == 2:
                continue
            raise FactError("%s:%d: cannot read %r: expected #define KORMELT_NAME <integer>" % (where, number, line))
        key, value = match.group(1), match.group(2)
        if key in found:
            raise FactError("%s:%d: KORMELT_%s is defined twice" % (where, number, key))
        found[key] = int(value.strip("()"))
    if not found:
        raise FactError("%s: no #define KORMELT_... found" % name)
    return found


def read_constants(tree, name, pattern, wanted, convert):
    """The constants named wanted, each defined once, as pattern reads them."""
    found = {}
    for where, number, line in _lines(tree, name):
        for key in wanted:
            if re.search(r"\b%s\b\s*(\[\])?\s*=(?!=)" % key, line):
                match = pattern.match(line)
                if match is None or match.group(1) != key:
                    raise FactError(
                        "%s:%d: cannot read %s from %r: expected a plain literal" % (where, number, key, line)
                    )
                if key in found:
                    raise FactError("%s:%d: %s is defined twice" % (where, number, key))
                found[key] = convert(match.group(2))
    missing = [key for key in wanted if key not in found]
    if missing:
        raise FactError("%s: %s not found" % (name, ", ".join(missing)))
    return {key: found[key] for key in wanted}


def _messages_reader(tree):
    path = os.path.join(tree, MESSAGES_READER)
    found = importlib.util.spec_from_file_location("kormelt_gen_messages", path)
    if found is None or found.loader is None or not os.path.isfile(path):
        raise FactError("%s: not found" % path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def project_version(tree=TREE):
    """The version of project(KORMELT VERSION ...) in the top CMakeLists.txt,
    the one place it is kept."""
    path = os.path.join(tree, "CMakeLists.txt")
    with open(path, encoding="utf-8") as f:
        found = re.search(r"^project\(KORMELT VERSION ([0-9.]+)", f.read(), re.MULTILINE)
    if not found:
        raise FactError("%s: no project(KORMELT VERSION ...)" % path)
    return found.group(1)


def read_facts(tree=TREE):
    """The facts as {name: value}: Status is {name: code}, MESSAGES
    {key: sentence}, the rest numbers and strings."""
    statuses = {}
    checks = {}
    for key, value in read_defines(tree, STATUS_H).items():
        if key.startswith("STATUS_"):
            statuses[key[len("STATUS_") :]] = value
        elif key == "FILE_CHECK_OPEN_FAILED":
            checks[key] = value
        else:
            raise FactError("%s: KORMELT_%s is neither a status nor the check's -1" % (STATUS_H, key))
    if statuses.get("OK") != 0 or list(checks) != ["FILE_CHECK_OPEN_FAILED"]:
        raise FactError("%s: expected KORMELT_STATUS_OK 0 and KORMELT_FILE_CHECK_OPEN_FAILED" % STATUS_H)
    reader = _messages_reader(tree)
    try:
        messages = reader.read_messages(os.path.join(tree, MESSAGES_JSON))
    except reader.TableError as error:
        raise FactError(str(error))
    facts = {"Status": dict(statuses, **checks)}
    facts.update(read_defines(tree, PROGRESS_H))
    facts.update(read_constants(tree, PROTOCOL_H, INTEGER, PROTOCOL_INTEGERS, int))
    facts.update(read_constants(tree, PORT_NAME_H, STRING, PORT_NAME_STRINGS, str))
    facts.update(read_constants(tree, PORT_URL_H, STRING, PORT_URL_STRINGS, str))
    facts["MESSAGES"] = messages
    return facts


def python_source(facts):
    lines = ['"""The facts the binding shares with the library and the tool, written by', "gen_facts.py from"]
    lines += ["    %s" % name for name in (STATUS_H, PROGRESS_H, PROTOCOL_H, PORT_NAME_H, PORT_URL_H, MESSAGES_JSON)]
    lines += [
        'Edit those instead."""',
        "",
        "import enum",
        "",
        "",
        "class Status(enum.IntEnum):",
        '    """The library\'s status codes, and the check\'s -1 when it cannot open the file."""',
        "",
    ]
    lines += ["    %s = %d" % (key, value) for key, value in facts["Status"].items()]
    lines += ["", ""]
    for key, value in facts.items():
        if key not in ("Status", "MESSAGES"):
            lines.append("%s = %r" % (key, value))
    lines += ["", "MESSAGES = {"]
    lines += ["    %r: %r," % (key, text) for key, text in facts["MESSAGES"].items()]
    lines += ["}", ""]
    return "\n".join(lines)


def write_module(path, tree=TREE):
    """Writes kormelt/_facts.py at path; FactError, and nothing written,
    when the tree cannot be read."""
    source = python_source(read_facts(tree))
    with open(path, "w", encoding="utf-8") as f:
        f.write(source)


def main():
    parser = argparse.ArgumentParser(description="The facts the binding shares with the library and the tool.")
    parser.add_argument("--tree", default=TREE, help="the source tree (by default the one holding this script)")
    output = parser.add_mutually_exclusive_group(required=True)
    output.add_argument("--python", metavar="FILE", help="write the module kormelt/_facts.py here")
    output.add_argument("--json", action="store_true", help="print the facts as JSON")
    args = parser.parse_args()
    try:
        if args.json:
            json.dump(read_facts(args.tree), sys.stdout, indent=2)
            print()
        else:
            write_module(args.python, args.tree)
    except FactError as error:
        sys.exit("gen_facts.py: %s" % error)


if __name__ == "__main__":
    main()
