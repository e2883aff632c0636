"""The exit code of a unittest run for CTest, whose SKIP_RETURN_CODE tells a group that could not run here
from one that passed."""

SKIPPED_EXIT_CODE = 77  # the tests' SKIP_RETURN_CODE in CMake


def exit_code(result):
    """1 on a failure; SKIPPED_EXIT_CODE when every test of the run was skipped; else 0."""
    if not result.wasSuccessful():
        return 1
    whole_tests_skipped = [test for test, _ in result.skipped if not hasattr(test, "test_case")]  # no subtests
    return SKIPPED_EXIT_CODE if result.testsRun > 0 and len(whole_tests_skipped) == result.testsRun else 0
