import faulthandler
import importlib.util
import os

import pytest

from reference_sampler import ReferenceSampler


def pytest_report_header():
    """Where the modules under test come from: an installed wheel, a source build or a sanitizer build."""
    lines = []
    for name in ("quorvix", "quorvix.pyg"):
        found = importlib.util.find_spec(name)
        lines.append(f"{name}: {found.origin if found else 'not installed'}")
    return lines


def pytest_collection_modifyitems(config, items):
    if os.environ.get("QUORVIX_SANITIZED") != "1":
        return
    skip = pytest.mark.skip(reason="python_only: run against the release build only")
    for item in items:
        if item.get_closest_marker("python_only"):
            item.add_marker(skip)


@pytest.fixture
def hang_limit():
    """Ends the test process, with every thread's stack, if the test runs past two minutes: for
    tests whose waits have no bound of their own (a DataLoader worker that hangs)."""
    faulthandler.dump_traceback_later(120, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture
def NS():
    """The extension's sampler class."""
    import quorvix

    return quorvix.NeighborSampler


@pytest.fixture(params=["extension", "model"])
def Sampler(request):
    """Both the extension and the reference model: hand-worked outputs hold for both."""
    if request.param == "model":
        return ReferenceSampler
    import quorvix

    return quorvix.NeighborSampler
