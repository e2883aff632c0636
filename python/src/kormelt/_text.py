"""The failure sentences the binding shares with the kormelt tool
(tools/kormelt/messages.json), with the values of one failure put in."""

from __future__ import annotations

import re

from kormelt._facts import MESSAGES, SEARCH_FIRST_PORT, SEARCH_LAST_PORT

_PLACEHOLDER = re.compile(r"\{([A-Za-z][a-z0-9_]*)\}")


def fill(key: str, **values: object) -> str:
    """The sentence of key with each {name} replaced by values[name], and
    each {Name} by that value with its first letter capitalised. A
    placeholder without a value, or a value the sentence has no place for,
    is a fault of the binding: ValueError, naming both."""
    text = MESSAGES[key]
    used = set()

    def put(match: "re.Match[str]") -> str:
        name = match.group(1)
        lowered = name[0].lower() + name[1:]
        if lowered not in values:
            raise ValueError("no value for {%s} in the sentence %r" % (name, key))
        used.add(lowered)
        value = str(values[lowered])
        return value[:1].upper() + value[1:] if name[0].isupper() else value

    filled = _PLACEHOLDER.sub(put, text)
    unused = sorted(set(values) - used)
    if unused:
        raise ValueError("the sentence %r has no place for %s" % (key, ", ".join(unused)))
    return filled


def searched_ports() -> str:
    """"COM1 to COM7": the ports the library searches."""
    return "COM%d to COM%d" % (SEARCH_FIRST_PORT, SEARCH_LAST_PORT)
