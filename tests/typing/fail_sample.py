"""Mistakes that `mypy --strict` must report, each on the line marked with
the fragment its message holds."""

import strandel


def mistakes(c: strandel.Client, url: str) -> None:
    c.get(url, tiemout=5)  # E: Unexpected keyword argument "tiemout"
    strandel.AsyncClient(bogus=1)  # E: Unexpected keyword argument "bogus"
    c.get(url, content=b"x")  # E: Unexpected keyword argument "content"
    strandel.get(url, json={})  # E: Unexpected keyword argument "json"
    c.get(url, cache="no-store")  # E: Argument "cache"
    c.get(url, follow_redirects="no")  # E: Argument "follow_redirects"
    c.get(url, timeout="5")  # E: Argument "timeout"
    c.get(123)  # E: Argument 1
    strandel.Client(proxy_username="u")  # E: Unexpected keyword argument "proxy_username"
    strandel.Client(http_version="h9")  # E: Argument "http_version"
    c.post(url, priority="high")  # E: Argument "priority"
    strandel.get(url, cache_enabled=False)  # E: Unexpected keyword argument "cache_enabled"
