"""The warning categories quorvix issues."""

__all__ = ["SeedTimeWarning"]


class SeedTimeWarning(UserWarning):
    """Seed times evidently in a finer unit than the graph's times (every one of them at least 1000
    times later than every node and edge time, and at least 10**11): nanoseconds against seconds, say.

    Silence it where far-future seed times are meant:
    ``warnings.filterwarnings("ignore", category=quorvix.SeedTimeWarning)``.
    """
