"""The ``strandel`` command's own logic, without a network: where each option
goes (Client keyword, request keyword, header), the request it plans, the
URLs it refuses itself, and the exit status of each failure."""

import inspect

import pytest

from strandel_package import strandel
from strandel import _cli, _cli_options

URL = "http://127.0.0.1:8/x"


def parsed(*argv):
    return _cli.build_parser().parse_args([*argv, URL])


# argv before the URL; the Client keywords, the request keywords, and the
# planned method, headers and body.
PLANS = [
    pytest.param([], {}, {"follow_redirects": False}, "GET", [], None, id="defaults"),
    pytest.param(["-L", "--max-redirects", "3", "--timeout", "2.5", "-k", "-A", "a/1",
                  "--impersonate", "chrome", "--http-version", "3", "--namespace", "n",
                  "--no-cache"],
                 {"max_redirects": 3, "timeout": 2.5, "verify": False, "user_agent": "a/1",
                  "impersonate": "chrome", "http_version": "h3", "profile_namespace": "n",
                  "cache": False},
                 {"follow_redirects": True}, "GET", [], None, id="engine"),
    pytest.param(["--http-version", "auto"], {}, {"follow_redirects": False}, "GET", [], None,
                 id="auto-is-the-default"),
    pytest.param(["-I"], {}, {"follow_redirects": False}, "HEAD", [], None, id="-I"),
    pytest.param(["-I", "-X", "GET"], {}, {"follow_redirects": False}, "GET", [], None,
                 id="-X-over-I"),
    pytest.param(["-d", "a", "-X", "PUT"], {}, {"follow_redirects": False}, "PUT",
                 [("Content-Type", "application/x-www-form-urlencoded")], b"a", id="-d"),
    pytest.param(["--json", "[]"], {}, {"follow_redirects": False}, "POST",
                 [("Content-Type", "application/json"), ("Accept", "application/json")], b"[]",
                 id="--json"),
    pytest.param(["-u", "a:b", "-H", "authorization: mine", "-H", "X: 1"], {},
                 {"follow_redirects": False}, "GET", [("authorization", "mine"), ("X", "1")],
                 None, id="-H-over-u"),
    pytest.param(["-x", "socks5h://p:1", "-U", "u:p:w"],
                 {"proxy": "socks5h://p:1", "proxy_auth": ("u", "p:w")},
                 {"follow_redirects": False}, "GET", [], None, id="proxy"),
    pytest.param(["-u", "a:b"], {}, {"follow_redirects": False}, "GET",
                 [("Authorization", "Basic YTpi")], None, id="-u"),
]


@pytest.mark.parametrize("argv, client, per_request, method, headers, body", PLANS)
def test_where_the_options_go(argv, client, per_request, method, headers, body):
    args = parsed(*argv)
    assert _cli.keywords(args, "client") == client
    assert _cli.keywords(args, "request") == per_request
    assert _cli.plan(args) == _cli.Plan(method, URL, headers, body)


def test_form_parts_in_their_order(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "part.txt").write_bytes(b"from a file")
    args = parsed("-F", "a=1=2", "-F", "f=@part.txt;type=text/x-part", "-F", "g=@part.txt")
    assert _cli.plan(args) == _cli.Plan("POST", URL, [], None, [
        ("a", (None, b"1=2", None)), ("f", ("part.txt", b"from a file", "text/x-part")),
        ("g", ("part.txt", b"from a file", None))])


def test_every_keyword_of_the_table_is_taken():
    taken = {"client": set(inspect.signature(strandel.Client.__init__).parameters),
             "request": set(inspect.signature(strandel.Client.request).parameters)}
    for option in _cli_options.OPTIONS:
        if option.to is not None and option.to[0] != "header":
            assert option.to[1] in taken[option.to[0]], option.flags


@pytest.mark.parametrize("given, url", [
    ("localhost:8000/a", "http://localhost:8000/a"), ("HTTPS://h/", "HTTPS://h/"),
    ("http://[::1]:80/", "http://[::1]:80/")])
def test_urls_taken(given, url):
    assert _cli.check_url(given) == url


@pytest.mark.parametrize("given, reason", [
    ("ws://h/", "unsupported scheme 'ws' (http or https)"), ("http://h:x/", "Port"),
    ("http://h\t/", "it contains spaces or control characters"), ("http://:80/", "no host"),
    ("http://[::1/", "Invalid IPv6 URL")])
def test_urls_refused(given, reason):
    with pytest.raises(_cli.Failure) as refused:
        _cli.check_url(given)
    assert refused.value.status == 3
    assert refused.value.message.startswith(f"bad URL {given!r}: {reason}")


class NarrowTimeout(strandel.TimeoutException):
    """A class the package may add: its base decides."""


@pytest.mark.parametrize("error, status, words", [
    (strandel.TLSError("Tls (Chromium net error -202)"), 35, "TLS failure with"),
    (strandel.ConnectError("Network (Chromium net error -102)"), 7, "cannot connect to"),
    (NarrowTimeout("Timeout"), 28, "timed out waiting for"),
    (strandel.TooManyRedirects("Redirect"), 47, "too many redirects from"),
    (strandel.ReadError("Network (Chromium net error -101)"), 56, "the connection broke on"),
    (strandel.RemoteProtocolError("Network"), 56, "the server broke the protocol on"),
    (strandel.InvalidRequest("InvalidArgument"), 2, "the request to http://127.0.0.1:8/x or"),
    (strandel.CacheMiss("CacheMiss"), 1, "the request to"),
    (strandel.ProxyError("Proxy (Chromium net error -130)"), 97, "the proxy failed"),
    (strandel.HTTPError("ProfileUnsupported", kind="ProfileUnsupported"), 2, "--impersonate"),
])
def test_failure_statuses(error, status, words):
    got, message = _cli.describe(error, URL)
    assert got == status
    assert message.startswith(words) and f": {error}" in message


@pytest.mark.parametrize("error, status, line", [
    (ValueError("header value must be str, not NoneType"), 2,
     "strandel: error: header value must be str, not NoneType\n"),
    (OverflowError("timeout is too large"), 2, "strandel: error: timeout is too large\n"),
    (type("InvalidURL", (Exception,), {"__module__": "strandel._errors"})("no\nhost"), 3,
     f"strandel: error: bad URL {URL}: no host\n"),
])
def test_errors_of_the_package_end_in_one_line(monkeypatch, capsys, error, status, line):
    def refuse(*args, **kwargs):
        raise error

    monkeypatch.setattr(_cli.strandel, "Client", refuse)
    assert _cli.main([URL]) == status
    assert capsys.readouterr() == ("", line)


@pytest.mark.parametrize("flags, shown", [([], True), (["-s"], False), (["-s", "-S"], True)])
def test_silent_hides_the_error_line_only(monkeypatch, capsys, flags, shown):
    def refuse(*args, **kwargs):
        raise strandel.ConnectError("Network (Chromium net error -102)")

    monkeypatch.setattr(_cli.strandel, "Client", refuse)
    assert _cli.main([*flags, URL]) == 7
    err = capsys.readouterr().err
    assert err == (f"strandel: error: cannot connect to {URL}: Network (Chromium net error "
                   "-102)\n" if shown else "")


def test_other_faults_are_not_hidden(monkeypatch):
    def broken(*args, **kwargs):
        raise KeyError("a fault of the command itself")

    monkeypatch.setattr(_cli.strandel, "Client", broken)
    with pytest.raises(KeyError):
        _cli.main([URL])
