"""What the build's header generators share: the C++ string literal of a
text, and the command line that writes a header from its source.

The build runs each generator with this folder on its module path
(kormelt_generate_header in the top CMakeLists.txt)."""

import os
import sys


def cpp_string(text):
    """text as a C++ string literal, its backslashes and double quotes escaped."""
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')


def main(usage, make_header, errors):
    """A generator's command line, SOURCE OUTPUT_HEADER: make_header(SOURCE)
    gives the whole header before OUTPUT_HEADER is opened, so that a source
    it refuses with one of errors leaves no header; the refusal ends the
    program with the generator's name and the reason."""
    if len(sys.argv) != 3:
        sys.exit("usage: " + usage)
    source, output = sys.argv[1:]
    try:
        text = make_header(source)
    except errors as error:
        sys.exit("%s: %s" % (os.path.basename(sys.argv[0]), error))
    with open(output, "w", encoding="utf-8") as f:
        f.write(text)
