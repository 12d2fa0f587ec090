"""Imported at start-up by every interpreter of a sanitizer run (tools/sanitizer_env.sh puts this
directory on PYTHONPATH): worker processes start by forkserver, not fork.

A child forked from a threaded parent can hang in the sanitizer's allocator, whose lock another thread
of the parent held at the fork; the forkserver forks its children from a process with one thread.
"""

import multiprocessing

multiprocessing.set_start_method("forkserver", force=True)
