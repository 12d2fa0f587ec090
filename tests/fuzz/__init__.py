"""The fuzz harness of the sampler: input strategies (sampler_fuzz) and a time-bounded driver (run)."""
