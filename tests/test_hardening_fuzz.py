"""A short, fixed run of the fuzz property of tests/fuzz: malformed constructor and sample
arguments end in a result or in a Python exception. tools/fuzz.sh runs it for longer, at random,
against the sanitizer build."""

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from fuzz import sampler_fuzz
from sanitized import examples


@settings(max_examples=examples(300), derandomize=True, deadline=None, database=None,
          suppress_health_check=list(HealthCheck))
@given(st.data())
def test_malformed_inputs_end_in_a_result_or_an_exception(data):
    sampler_fuzz.exercise(data)
