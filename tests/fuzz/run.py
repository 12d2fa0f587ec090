"""Runs the sampler fuzz property for a span of time: python tests/fuzz/run.py --seconds 120.

Hypothesis drives the inputs rather than a coverage-guided byte fuzzer: the inputs are nested Python
objects (dicts of arrays keyed by names, in many containers and layouts), which strategies build
directly, and the extension is built without the compiler's fuzzing instrumentation, so coverage
feedback would only see this harness. A Python-level fault is shrunk and reported by Hypothesis; a
crash ends the process, and QUORVIX_FUZZ_LAST_INPUT then holds the input that caused it.
"""

import argparse
import random
import sys
import time

from hypothesis import HealthCheck, Phase, given, seed, settings
from hypothesis import strategies as st

import sampler_fuzz


def run_chunk(chunk_seed, examples):
    @seed(chunk_seed)
    @settings(
        max_examples=examples,
        derandomize=False,  # the CI profile, loaded when CI is set, would repeat one set of inputs
        deadline=None,
        database=None,
        suppress_health_check=list(HealthCheck),
        phases=[Phase.generate, Phase.shrink],
    )
    @given(st.data())
    def fuzz(data):
        sampler_fuzz.exercise(data)

    fuzz()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=120.0, help="stop after the chunk running at this time")
    parser.add_argument("--seed", type=int, default=None, help="seed of the first chunk (default: random)")
    parser.add_argument("--chunk", type=int, default=200, help="inputs per Hypothesis run")
    options = parser.parse_args()
    first_seed = options.seed if options.seed is not None else random.SystemRandom().randrange(2**31)
    print(f"fuzzing for {options.seconds:g} s from seed {first_seed}", flush=True)

    started = time.monotonic()
    chunks = 0
    status = 0
    try:
        while time.monotonic() - started < options.seconds:
            run_chunk(first_seed + chunks, options.chunk)
            chunks += 1
    except Exception:
        status = 1
        raise
    finally:
        inputs = sum(sampler_fuzz.calls.values())
        print(f"\n{sampler_fuzz.calls['NeighborSampler']} constructor and {sampler_fuzz.calls['sample']} sample "
              f"calls ({inputs} inputs) in {chunks} chunks, {time.monotonic() - started:.0f} s")
        print("outcomes:")
        for outcome, count in sampler_fuzz.outcomes.most_common():
            print(f"  {count:8d}  {outcome}")
        print("FAILED" if status else "no crash, no sanitizer report, no inconsistent result")
    return status


if __name__ == "__main__":
    sys.exit(main())
