#!/usr/bin/python3
"""Builds the kormelt wheel from the tree, offline, with a built library
inside; with --venv, installs it into a fresh virtual environment.

Usage: make_wheel.py --library PATH [--simulator PATH] --work DIR [--python PATH] [--venv]

DIR/stage is a copy of the package sources (a build writes beside its
sources, and the tree stays clean) with kormelt/_facts.py written from the
tree's headers by gen_facts.py, DIR/dist receives the wheel, DIR/venv is
the environment. --python (by default the Python running this) builds the
wheel, or with --venv makes the environment that builds it and gets it
installed. The environment sees that Python's packages (the distribution's
pip, setuptools, wheel and pytest) but gets kormelt only from the wheel.
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


def stage_sources(stage):
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--library", required=True, help="libKORMELT.so or KORMELT.dll to ship")
    parser.add_argument("--simulator", help="kormelt-sim to ship beside a Linux library")
    parser.add_argument("--work", required=True, help="directory for the stage, the wheel and the environment")
    parser.add_argument("--python", default=sys.executable, help="the Python that builds, or makes the environment")
    parser.add_argument("--venv", action="store_true", help="install the wheel into a fresh environment")
    args = parser.parse_args()

    stage = os.path.join(args.work, "stage")
    dist = os.path.join(args.work, "dist")
    env_dir = os.path.join(args.work, "venv")
    stage_sources(stage)
    shutil.rmtree(dist, ignore_errors=True)
    builder = args.python
    if args.venv:
        shutil.rmtree(env_dir, ignore_errors=True)
        # The distribution's pip serves the environment too: a pip of its
        # own would take most of the time here.
        run(args.python, "-m", "venv", "--system-site-packages", "--without-pip", env_dir)
        builder = os.path.join(env_dir, "bin", "python")

    build_env = dict(os.environ, KORMELT_WHEEL_LIBRARY=os.path.abspath(args.library))
    build_env.pop("KORMELT_WHEEL_SIM", None)
    if args.simulator:
        build_env["KORMELT_WHEEL_SIM"] = os.path.abspath(args.simulator)
    run(builder, "-m", "pip", "wheel", *PIP_OFFLINE, "--no-build-isolation", "--wheel-dir", dist, stage, env=build_env)
    wheels = glob.glob(os.path.join(dist, "kormelt-*.whl"))
    if len(wheels) != 1:
        sys.exit("expected one kormelt wheel in %s, found %s" % (dist, wheels))
    if args.venv:
        run(builder, "-m", "pip", "install", *PIP_OFFLINE, wheels[0])
        # From anywhere but the tree, the package must come from the environment.
        run(builder, "-c", "import kormelt; print(kormelt.__file__)", cwd=env_dir)
    print(wheels[0])


if __name__ == "__main__":
    main()
