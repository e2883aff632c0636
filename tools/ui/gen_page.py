#!/usr/bin/python3
"""Every file of the page's folder as bytes in one C++ source, each with the
URL path it is served at and its MIME type from its extension, so that the
server reads nothing from disk at run time.

Usage: gen_page.py PAGE_DIR OUTPUT_CPP

The build runs it at every build; OUTPUT_CPP is rewritten only when what it
would hold changed, so an unchanged page compiles nothing. A file whose
extension has no MIME type here, or a folder inside the page's, is refused
and nothing is written.
"""

import os
import sys

MIME_TYPES = {
    ".html": "text/html; charset=utf-8",
    ".css": "text/css; charset=utf-8",
    ".js": "text/javascript; charset=utf-8",
    ".json": "application/json",
    ".svg": "image/svg+xml",
    ".png": "image/png",
    ".ico": "image/x-icon",
    ".txt": "text/plain; charset=utf-8",
    ".woff2": "font/woff2",
}
BYTES_PER_LINE = 16


class PageError(Exception):
    pass


def page_files(folder):
    """[(name, MIME type, bytes)] of the folder, by name."""
    files = []
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if not os.path.isfile(path):
            raise PageError("%s: only files are served, not folders or other things" % path)
        mime = MIME_TYPES.get(os.path.splitext(name)[1].lower())
        if mime is None:
            raise PageError("%s: no MIME type for this extension; add one to %s" % (path, os.path.basename(__file__)))
        with open(path, "rb") as f:
            files.append((name, mime, f.read()))
    if not any(name == "index.html" for name, _, _ in files):
        raise PageError("%s: the page needs its index.html" % folder)
    return files


def source(files):
    lines = ["// Made by gen_page.py from tools/ui/page at build time; do not edit.",
             '#include "tools/ui/page_files.h"', "", "namespace kormelt::ui {", "namespace {", ""]
    for k, (name, _, data) in enumerate(files):
        lines.append("const unsigned char FILE_%d[] = {  // %s, %d bytes" % (k, name, len(data)))
        for start in range(0, max(len(data), 1), BYTES_PER_LINE):
            chunk = data[start:start + BYTES_PER_LINE] or b"\0"  # an array of no bytes is no C++
            lines.append("    " + ", ".join("0x%02x" % b for b in chunk) + ",")
        lines.append("};")
    lines += ["", "}  // namespace", "", "const PageFile PAGE_FILES[] = {"]
    for k, (name, mime, data) in enumerate(files):
        lines.append('    {"/%s", "%s", FILE_%d, %d},' % (name, mime, k, len(data)))
    lines += ["};", "const size_t PAGE_FILE_COUNT = %d;" % len(files), "", "}  // namespace kormelt::ui", ""]
    return "\n".join(lines)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: gen_page.py PAGE_DIR OUTPUT_CPP")
    folder, output = sys.argv[1:]
    try:
        text = source(page_files(folder))
    except (OSError, PageError) as error:
        sys.exit("gen_page.py: %s" % error)
    try:
        with open(output, encoding="utf-8") as f:
            if f.read() == text:
                return
    except FileNotFoundError:
        pass
    with open(output, "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    main()
