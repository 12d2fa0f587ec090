import pytest

from reference_sampler import ReferenceSampler


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
