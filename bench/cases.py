"""The registry of measurement cases: measure.py and measure_cache.py each
register theirs with @case(name), and measure.py runs one by name."""

CASES = {}


def case(name):
    def register(function):
        CASES[name] = function
        return function

    return register
