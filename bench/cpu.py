"""CPU time of a measurement, for measure.py and measure_cache.py: this
process's (all its threads: a client's network thread counts too) and, when
the config names the server's process ("server_pid"), the server's."""

import time
from pathlib import Path


def process_cpu_seconds(pid):
    """The CPU time of another process's threads, to the nanosecond
    (/proc/PID/stat counts in ticks of 10 ms)."""
    tasks = Path(f"/proc/{pid}/task")
    return sum(int((task / "schedstat").read_text().split()[0]) for task in tasks.iterdir()) / 1e9


def cpu_seconds(cfg):
    """The CPU time used so far by this process (all its threads) and by the
    server's process (None when the config names none)."""
    server = process_cpu_seconds(cfg["server_pid"]) if cfg.get("server_pid") else None
    return time.process_time(), server


def cpu_used(start, end, count):
    """Microseconds of CPU per unit of `count` (requests) between two
    cpu_seconds(), for this process and for the server."""
    used = {"cpu_us": (end[0] - start[0]) / count * 1e6}
    if start[1] is not None:
        used["server_cpu_us"] = (end[1] - start[1]) / count * 1e6
    return used
