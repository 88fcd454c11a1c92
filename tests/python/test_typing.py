"""`mypy --strict` accepts tests/typing/pass_sample.py and reports exactly the
lines of tests/typing/fail_sample.py marked ``# E: <fragment>``, each with
its fragment."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SAMPLES = ROOT / "tests" / "typing"

pytest.importorskip("mypy")


def _mypy(sample, cache_dir):
    # The native module has no stubs: it is typed Any inside the package.
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--ignore-missing-imports",
         "--cache-dir", str(cache_dir), "--no-error-summary", "--hide-error-context",
         str(SAMPLES / sample)],
        capture_output=True, text=True, cwd=ROOT,
        env={**os.environ, "MYPYPATH": str(ROOT / "python")})
    errors = {}
    for line in result.stdout.splitlines():
        match = re.match(r".*?:(\d+): error: (.*)", line)
        if match:
            errors.setdefault(int(match.group(1)), []).append(match.group(2))
    return result, errors


@pytest.fixture(scope="module")
def cache_dir(tmp_path_factory):
    """One mypy cache for both runs: the second reuses the package's analysis."""
    return tmp_path_factory.mktemp("mypy-cache")


def test_the_pass_sample_passes(cache_dir):
    result, errors = _mypy("pass_sample.py", cache_dir)
    assert errors == {} and result.returncode == 0, result.stdout + result.stderr


def test_the_fail_sample_fails_exactly_where_marked(cache_dir):
    expected = {}
    for number, line in enumerate((SAMPLES / "fail_sample.py").read_text().splitlines(), 1):
        if "# E: " in line:
            expected[number] = line.split("# E: ", 1)[1]
    result, errors = _mypy("fail_sample.py", cache_dir)
    assert set(errors) == set(expected), result.stdout
    for number, fragment in expected.items():
        assert any(fragment in message for message in errors[number]), (number, errors[number])
