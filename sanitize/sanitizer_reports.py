"""pytest plugin for the instrumented end-to-end runs (scripts/sanitize.sh):
fails the test during which a sanitizer report file appeared.

Instrumented binaries write their reports into $QB_SANITIZER_REPORTS as soon
as they find a fault (see report_defaults.cpp), so a report survives the
relay being SIGKILLed at the end of its test. The check runs after every other
fixture of the test has been torn down, the relay's included.
"""
import os
from pathlib import Path

import pytest

_REPORT_DIR = os.environ.get("QB_SANITIZER_REPORTS")
_SHOWN_BYTES = 6000


def _reports():
    if not _REPORT_DIR:
        return set()
    return {p for p in Path(_REPORT_DIR).iterdir() if p.is_file()}


def _describe(paths):
    parts = []
    for path in sorted(paths):
        text = path.read_text(errors="replace")
        if len(text) > _SHOWN_BYTES:
            text = text[:_SHOWN_BYTES] + f"\n... ({len(text) - _SHOWN_BYTES} more bytes in {path})"
        parts.append(f"--- {path}\n{text}")
    return "\n".join(parts)


@pytest.fixture(autouse=True)
def _no_sanitizer_reports():
    # Autouse fixtures are set up first and torn down last within a scope.
    before = _reports()
    yield
    new = _reports() - before
    if new:
        pytest.fail("sanitizer report(s) written during this test:\n" + _describe(new), pytrace=False)


def pytest_sessionfinish(session, exitstatus):
    # A process that outlived its test may still have reported afterwards.
    if _reports() and session.exitstatus == 0:
        session.exitstatus = 1
