"""The tables the test suites read from the tree, as the code under test
does: the failure sentences of tools/kormelt/messages.json, which the tool
and the Python binding both say, and the image test vectors of
tests/support/image_vectors.json. The expected sentence is built here by
rules of its own, so a host that fills the table wrongly fails its tests."""

import json
import re
from pathlib import Path

TREE = Path(__file__).resolve().parents[2]
MESSAGES_JSON = TREE / "tools" / "kormelt" / "messages.json"
IMAGE_VECTORS_JSON = TREE / "tests" / "support" / "image_vectors.json"

with open(MESSAGES_JSON, encoding="utf-8") as _f:
    MESSAGES = json.load(_f)


class ImageVector:
    def __init__(self, fields):
        self.name = fields["name"]
        self.data = bytes.fromhex(fields["bytes_hex"])
        self.stored = None if fields["stored"] is None else int(fields["stored"], 16)
        self.computed = None if fields["computed"] is None else int(fields["computed"], 16)
        self.check = fields["check"]
        self.ok = fields["ok"]

    def __repr__(self):
        return self.name


with open(IMAGE_VECTORS_JSON, encoding="utf-8") as _f:
    IMAGE_VECTORS = [ImageVector(fields) for fields in json.load(_f)["vectors"]]


class Sentence:
    """The sentence of key as a pattern: each {name} given a value stands
    for that value ({Name} for it capitalised), or for the pattern of a
    Sentence given; each one left out stands for any text."""

    def __init__(self, key, **values):
        self.key = key
        self.values = values
        parts = []
        at = 0
        text = MESSAGES[key]
        for match in re.finditer(r"\{(\w+)\}", text):
            parts.append(re.escape(text[at : match.start()]))
            name = match.group(1)
            lowered = name[0].lower() + name[1:]
            value = values.get(lowered)
            if value is None:
                parts.append(".*?")
            elif isinstance(value, Sentence):
                parts.append(value.pattern)
            else:
                value = str(value)
                parts.append(re.escape(value[:1].upper() + value[1:] if name != lowered else value))
            at = match.end()
        parts.append(re.escape(text[at:]))
        self.pattern = "".join(parts)
        unused = set(values) - {name[0].lower() + name[1:] for name in re.findall(r"\{(\w+)\}", text)}
        if unused:
            raise KeyError("the sentence %r has no place for %s" % (key, ", ".join(sorted(unused))))

    def found_in(self, text):
        return re.search(self.pattern, text) is not None

    def matches(self, text):
        return re.fullmatch(self.pattern, text) is not None

    def __repr__(self):
        return "Sentence(%r, %r): %s" % (self.key, self.values, self.pattern)
