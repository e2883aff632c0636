#!/usr/bin/python3
"""The facts of the headers, as print_facts (compiled from them) prints
them, against the Python binding's copy: the installed package's
kormelt._facts and kormelt.Status, or with --generator what gen_facts.py
reads from the tree. Any value that differs, or a fact on one side only,
fails.

Usage: compare_facts.py --program PRINT_FACTS [--generator GEN_FACTS_PY]
"""

import argparse
import importlib.util
import json
import subprocess
import sys


def package_facts():
    import kormelt
    import kormelt._facts as facts

    if kormelt.Status is not facts.Status:
        sys.exit("kormelt.Status is not the generated kormelt._facts.Status")
    found = {"Status": {member.name: member.value for member in facts.Status}}
    for name in dir(facts):
        if name.isupper():
            found[name] = getattr(facts, name)
    print("the package: %s" % facts.__file__)
    return found


def generator_facts(path):
    module_spec = importlib.util.spec_from_file_location("gen_facts", path)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    print("the generator: %s" % path)
    return module.read_facts()


def differences(headers, python, where=""):
    found = []
    for name in sorted(set(headers) | set(python)):
        if name not in python:
            found.append("%s%s: in the headers only (%r)" % (where, name, headers[name]))
        elif name not in headers:
            found.append("%s%s: in Python only (%r)" % (where, name, python[name]))
        elif isinstance(headers[name], dict) and isinstance(python[name], dict):
            found += differences(headers[name], python[name], "%s%s." % (where, name))
        elif headers[name] != python[name] or type(headers[name]) is not type(python[name]):
            found.append("%s%s: the headers say %r, Python %r" % (where, name, headers[name], python[name]))
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True)
    parser.add_argument("--generator")
    args = parser.parse_args()
    headers = json.loads(subprocess.run([args.program], check=True, capture_output=True, text=True).stdout)
    python = generator_facts(args.generator) if args.generator else package_facts()
    found = differences(headers, python)
    if found:
        sys.exit("the Python facts differ from the headers:\n  " + "\n  ".join(found))
    print("%d facts and %d sentences agree" % (len(headers) - 1, len(headers["MESSAGES"])))


if __name__ == "__main__":
    main()
