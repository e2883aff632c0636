"""Running the package from the source tree, where no wheel build wrote
kormelt/_facts.py: the facts are read from the tree's headers at import, by
the same generator that writes them into the wheel."""

from __future__ import annotations

import importlib.util
import sys
import types
from pathlib import Path

# python/src/kormelt/_tree.py -> python/gen_facts.py
GENERATOR = Path(__file__).resolve().parent.parent.parent / "gen_facts.py"
FACTS_MODULE = "kormelt._facts"
VERSION_MODULE = "kormelt._version"


def install_facts() -> None:
    """Makes kormelt._facts from the tree; ImportError when the package is
    not in a source tree, which for an installed package means its wheel
    was built without them."""
    found = importlib.util.spec_from_file_location("kormelt_gen_facts", GENERATOR)
    if found is None or found.loader is None or not GENERATOR.is_file():
        raise ImportError(
            "%s is missing and the package is not in a source tree (no %s): rebuild the wheel with "
            "python/make_wheel.py" % (FACTS_MODULE, GENERATOR),
            name=FACTS_MODULE,
        )
    generator = importlib.util.module_from_spec(found)
    found.loader.exec_module(generator)
    try:
        facts = generator.read_facts()
    except generator.FactError as error:
        raise ImportError("%s cannot be made from the tree: %s" % (FACTS_MODULE, error), name=FACTS_MODULE)
    module = types.ModuleType(FACTS_MODULE)
    exec(compile(generator.python_source(facts), "<%s from the tree>" % FACTS_MODULE, "exec"), module.__dict__)
    sys.modules[FACTS_MODULE] = module
    # The version too: a wheel build writes it as kormelt/_version.py.
    version = types.ModuleType(VERSION_MODULE)
    version.__version__ = generator.project_version()
    sys.modules[VERSION_MODULE] = version
