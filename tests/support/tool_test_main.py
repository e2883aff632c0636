"""The command line of the Python test scripts that run the tool and the simulator, and the exit code of
their unittest run for CTest, whose SKIP_RETURN_CODE tells a group that could not run here from one that
passed."""

import sys
import unittest

SKIPPED_EXIT_CODE = 77  # the tests' SKIP_RETURN_CODE in CMake


def exit_code(result):
    """1 on a failure; SKIPPED_EXIT_CODE when every test of the run was skipped; else 0."""
    if not result.wasSuccessful():
        return 1
    whole_tests_skipped = [test for test, _ in result.skipped if not hasattr(test, "test_case")]  # no subtests
    return SKIPPED_EXIT_CODE if result.testsRun > 0 and len(whole_tests_skipped) == result.testsRun else 0


def main(cli):
    """--kormelt PATH --sim PATH [unittest arguments]: gives the programs to cli (the command-line tests'
    module, whose helpers run them), runs the tests of __main__ and exits with exit_code."""
    program = unittest.main(argv=cli.take_programs(), verbosity=2, exit=False)
    sys.exit(exit_code(program.result))
