"""pytest plugin of the CI sessions (noxfile.py loads it with ``-p ci_checks``): a run
that skipped a test fails, apart from the tests that a marker allows to skip in that
build, so that CI cannot pass by testing less (a missing extra, say)."""

import pytest

# Markers whose tests conftest.py skips on purpose where they cannot work.
ALLOWED = {"child_fault"}


def pytest_sessionfinish(session, exitstatus):
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    skipped = [report for report in reporter.stats.get("skipped", [])
               if not ALLOWED & set(getattr(report, "keywords", {}))]
    if skipped and exitstatus == pytest.ExitCode.OK:
        session.exitstatus = pytest.ExitCode.TESTS_FAILED
        reporter.write("\n")
        reporter.write_line(f"ci: {len(skipped)} skipped, which CI does not allow: "
                            + ", ".join(report.nodeid for report in skipped[:10]), red=True)
