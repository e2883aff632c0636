#!/usr/bin/python3
"""Builds the kormelt wheel from the tree, offline, with a built library
inside; with --venv, installs it into a fresh virtual environment.

Usage: make_wheel.py --library PATH [--simulator PATH] --work DIR [--version V] [--python PATH] [--venv]
       make_wheel.py --venv --work DIR [--python PATH]

DIR/stage is a copy of the package sources (a build writes beside its
sources, and the tree stays clean) with kormelt/_facts.py written from the
tree's headers by gen_facts.py, DIR/dist receives the wheel, DIR/venv is
the environment. The wheel's version is V, by default the project's version
in the top CMakeLists.txt, the one place it is kept; the stage gets it as
kormelt/_version.py. --python (by default the Python running this) builds
the wheel and makes the environment. The environment sees that Python's
packages (the distribution's pip, setuptools, wheel and pytest) but gets
kormelt only from the wheel. Without --library, --venv installs the wheel an
earlier build left in DIR/dist (the build target kormelt_wheel makes it).
"""

import argparse
import glob
import os
import shutil
import subprocess
import sys

import gen_facts

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCES = ["pyproject.toml", "setup.py", "src"]
PIP_OFFLINE = ["--no-index", "--no-deps", "--disable-pip-version-check", "--no-input"]


def run(*command, **kwargs):
    print("+ " + " ".join(command), flush=True)
    subprocess.run(command, check=True, **kwargs)


def project_version():
    """The version of project(KORMELT VERSION ...) in the top CMakeLists.txt."""
    try:
        return gen_facts.project_version()
    except gen_facts.FactError as error:
        sys.exit("gen_facts.py: %s" % error)


def stage_sources(stage, version):
    shutil.rmtree(stage, ignore_errors=True)
    os.makedirs(stage)
    for name in SOURCES:
        source = os.path.join(HERE, name)
        target = os.path.join(stage, name)
        if os.path.isdir(source):
            shutil.copytree(source, target, ignore=shutil.ignore_patterns("__pycache__", "*.egg-info"))
        else:
            shutil.copy2(source, target)
    facts = os.path.join(stage, "src", "kormelt", "_facts.py")
    print("+ gen_facts.py --python " + facts, flush=True)
    try:
        gen_facts.write_module(facts)
    except gen_facts.FactError as error:
        sys.exit("gen_facts.py: %s" % error)
    with open(os.path.join(stage, "src", "kormelt", "_version.py"), "w", encoding="utf-8") as f:
        f.write('"""Written by make_wheel.py from the project\'s version."""\n\n__version__ = "%s"\n' % version)


def built_wheel(dist):
    wheels = glob.glob(os.path.join(dist, "kormelt-*.whl"))
    if len(wheels) != 1:
        sys.exit("expected one kormelt wheel in %s, found %s" % (dist, wheels or "none"))
    return wheels[0]


def build(args, dist):
    stage = os.path.join(args.work, "stage")
    stage_sources(stage, args.version or project_version())
    shutil.rmtree(dist, ignore_errors=True)
    build_env = dict(os.environ, KORMELT_WHEEL_LIBRARY=os.path.abspath(args.library))
    build_env.pop("KORMELT_WHEEL_SIM", None)
    if args.simulator:
        build_env["KORMELT_WHEEL_SIM"] = os.path.abspath(args.simulator)
    run(args.python, "-m", "pip", "wheel", *PIP_OFFLINE, "--no-build-isolation", "--wheel-dir", dist, stage, env=build_env)
    return built_wheel(dist)


def install(args, dist):
    if not glob.glob(os.path.join(dist, "kormelt-*.whl")):
        sys.exit(
            "no kormelt wheel in %s to install: build it first (the target kormelt_wheel of the tree, "
            "or make_wheel.py --library ...)" % dist
        )
    wheel = built_wheel(dist)
    env_dir = os.path.join(args.work, "venv")
    shutil.rmtree(env_dir, ignore_errors=True)
    # The distribution's pip serves the environment too: a pip of its own
    # would take most of the time here.
    run(args.python, "-m", "venv", "--system-site-packages", "--without-pip", env_dir)
    python = os.path.join(env_dir, "bin", "python")
    run(python, "-m", "pip", "install", *PIP_OFFLINE, wheel)
    # From anywhere but the tree, the package must come from the environment.
    run(python, "-c", "import kormelt; print(kormelt.__file__)", cwd=env_dir)
    return wheel


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--library", help="libKORMELT.so or KORMELT.dll to ship; without it, --venv installs a built wheel")
    parser.add_argument("--simulator", help="kormelt-sim to ship beside a Linux library")
    parser.add_argument("--work", required=True, help="directory for the stage, the wheel and the environment")
    parser.add_argument("--version", help="the wheel's version; by default the project's, from CMakeLists.txt")
    parser.add_argument("--python", default=sys.executable, help="the Python that builds and makes the environment")
    parser.add_argument("--venv", action="store_true", help="install the wheel into a fresh environment")
    args = parser.parse_args()
    if not args.library and not args.venv:
        parser.error("--library is needed to build a wheel")

    dist = os.path.join(args.work, "dist")
    wheel = build(args, dist) if args.library else None
    if args.venv:
        wheel = install(args, dist)
    print(wheel)


if __name__ == "__main__":
    main()
