"""What changes when the suite runs against a sanitizer build (tools/sanitize.sh sets the variable)."""

import os

SANITIZED = os.environ.get("QUORVIX_SANITIZED") == "1"


def examples(count: int) -> int:
    """A property test's number of examples: a quarter under the sanitizers, which look for memory and
    undefined-behaviour faults at several times the cost per example; the release run draws them all."""
    return max(10, count // 4) if SANITIZED else count
