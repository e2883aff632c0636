#!/usr/bin/python3
"""The table of failure sentences (messages.json) as a C++ header for the
tool, and the reader of that table that the Python binding's generator uses
too, so that both read it by the same rules.

Usage: gen_messages.py MESSAGES_JSON OUTPUT_HEADER

The table is one JSON object: a key (lower case, digits, underscores) per
sentence, its text with {name} where the host puts in a value. A name
written with a capital first letter takes the value of the same name in
lower case with its first letter capitalised ({Again} from again). Any other
brace, a character outside printable ASCII or a value that is no string is
refused, and the header is not written.
"""

import json
import re

KEY = re.compile(r"[a-z][a-z0-9_]*\Z")
PLACEHOLDER = re.compile(r"\{([A-Za-z][a-z0-9_]*)\}")
PRINTABLE_ASCII = re.compile(r"[ -~]*\Z")


class TableError(Exception):
    pass


def _refuse_duplicates(pairs):
    table = {}
    for key, value in pairs:
        if key in table:
            raise TableError("key %r appears twice" % key)
        table[key] = value
    return table


def read_messages(path):
    """The table at path as {key: text}, after checking every entry."""
    try:
        with open(path, encoding="utf-8") as f:
            table = json.load(f, object_pairs_hook=_refuse_duplicates)
    except (OSError, ValueError) as error:
        raise TableError("%s: %s" % (path, error))
    if not isinstance(table, dict) or not table:
        raise TableError("%s: expected one JSON object of sentences" % path)
    for key, text in table.items():
        where = "%s: %r" % (path, key)
        if not KEY.match(key):
            raise TableError("%s: a key is lower case letters, digits and underscores" % where)
        if not isinstance(text, str) or not text:
            raise TableError("%s: the sentence must be a string, not %r" % (where, text))
        if not PRINTABLE_ASCII.match(text):
            raise TableError("%s: only printable ASCII characters" % where)
        if "{" in PLACEHOLDER.sub("", text) or "}" in PLACEHOLDER.sub("", text):
            raise TableError("%s: a brace that is no {name} placeholder" % where)
    return table


def header(table, source):
    lines = [
        "// Written by tools/kormelt/gen_messages.py from %s; edit that file instead." % source,
        "#pragma once",
        "",
        "namespace kormelt::tool::messages {",
        "",
    ]
    for key, text in table.items():
        lines.append("constexpr char %s[] = %s;" % (key.upper(), cpp_string(text)))
    lines += [
        "",
        "struct Entry {",
        "    const char *key;",
        "    const char *text;",
        "};",
        "constexpr Entry ALL[] = {",
    ]
    lines += ["    {%s, %s}," % (cpp_string(key), key.upper()) for key in table]
    lines += ["};", "", "}  // namespace kormelt::tool::messages", ""]
    return "\n".join(lines)


if __name__ == "__main__":
    # Only the build's command writes the header: gen_facts.py loads this
    # file for read_messages alone, without the build's module path.
    from cpp_header import cpp_string, main

    main(
        "gen_messages.py MESSAGES_JSON OUTPUT_HEADER",
        lambda source: header(read_messages(source), "tools/kormelt/messages.json"),
        TableError,
    )
