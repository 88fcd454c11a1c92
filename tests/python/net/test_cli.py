"""The ``strandel`` command against the local servers: what it sends, what it
writes where, its exit statuses and one-line errors; in-process through
main(argv), and as ``python -m strandel`` in a process of its own. The
shell examples of the guide's command-line page run here too."""

from __future__ import annotations

import base64
import hashlib
import io
import os
import re
import shlex
import signal
import subprocess
import sys
from pathlib import Path
from typing import NamedTuple

import pytest

import servers

ROOT = Path(__file__).resolve().parents[3]
GUIDE_PAGE = ROOT / "docs" / "guide" / "command-line.md"
SH_BLOCK = re.compile(r"^```sh\n(.*?)^```", re.DOTALL | re.MULTILINE)
ONE_ERROR_LINE = re.compile(r"strandel: error: [^\n]+\n")


class Ran(NamedTuple):
    status: int
    out: bytes
    err: str


@pytest.fixture(scope="session")
def cli(native):
    try:
        import strandel  # noqa: F401
    except ImportError:  # not installed: the source tree's
        sys.path.insert(0, str(ROOT / "python"))
    from strandel import _cli

    return _cli


@pytest.fixture
def run(cli, capsysbinary, monkeypatch, tmp_path):
    """main(argv) with stdin given and stdout and stderr captured, in a
    folder and state folder of the test's own."""
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path / "state"))

    def run_cli(*argv: str, stdin: bytes = b"") -> Ran:
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin)))
        status = cli.main(list(argv))
        out, err = capsysbinary.readouterr()
        return Ran(status, out, err.decode())

    return run_cli


@pytest.fixture(scope="session")
def ca_file(workdir, ca_pem):
    path = workdir / "cli-ca.pem"
    path.write_bytes(ca_pem)
    return str(path)


def child_env(cli) -> dict:
    """The environment of a `python -m strandel` child: this run's package
    and native module first on its path."""
    import strandel_native36

    paths = [str(Path(cli.__file__).parents[1]), str(Path(strandel_native36.__file__).parent)]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(paths + [os.environ.get("PYTHONPATH", "")]))


def sha(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


# ---- what is sent ---------------------------------------------------------------

FORM = "application/x-www-form-urlencoded"
JSON = "application/json"

# argv before the URL, stdin; the method, the headers (lower-case names, each
# expected once) and the body the echo route must have seen.
SENT = [
    pytest.param([], b"", "GET", {}, b"", id="get"),
    pytest.param(["-X", "PUT"], b"", "PUT", {}, b"", id="-X"),
    pytest.param(["-d", "a=1", "-d", "b=two"], b"", "POST", {"content-type": FORM}, b"a=1&b=two",
                 id="-d-joined"),
    pytest.param(["-d", "@-"], b"\x00raw\r\nbytes", "POST", {"content-type": FORM},
                 b"\x00raw\r\nbytes", id="-d-stdin"),
    pytest.param(["-d", "@body.bin", "-X", "PATCH"], b"", "PATCH", {"content-type": FORM},
                 bytes(range(256)), id="-d-file"),
    pytest.param(["--json", '{"x": [1, 2]}'], b"", "POST",
                 {"content-type": JSON, "accept": JSON}, b'{"x": [1, 2]}', id="--json"),
    pytest.param(["-H", "Content-Type: text/plain", "-d", "x"], b"", "POST",
                 {"content-type": "text/plain"}, b"x", id="-H-wins-over-implied"),
    pytest.param(["-H", "X-One: 1", "-H", "X-Two:  two words "], b"", "GET",
                 {"x-one": "1", "x-two": "two words"}, b"", id="-H"),
    pytest.param(["-u", "user:pa:ss"], b"", "GET",
                 {"authorization": "Basic " + base64.b64encode(b"user:pa:ss").decode()}, b"",
                 id="-u"),
    pytest.param(["-A", "cli-test/1.0"], b"", "GET", {"user-agent": "cli-test/1.0"}, b"",
                 id="-A"),
]


@pytest.mark.parametrize("argv, stdin, method, headers, body", SENT)
def test_what_is_sent(run, app, tmp_path, argv, stdin, method, headers, body):
    (tmp_path / "body.bin").write_bytes(bytes(range(256)))
    ran = run(*argv, app.url("/echo"), stdin=stdin)
    assert (ran.status, ran.err) == (0, "")
    import json
    echoed = json.loads(ran.out)
    assert echoed["method"] == method
    assert (echoed["body_length"], echoed["body_sha256"]) == (len(body), sha(body))
    for name, value in headers.items():
        assert [v for n, v in echoed["headers"] if n == name] == [value]


def test_a_multipart_form(run, app, tmp_path):
    import json
    (tmp_path / "notes.txt").write_bytes(b"line one\nline two\n")
    ran = run("-F", "title=two lines", "-F", "doc=@notes.txt;type=text/plain", app.url("/form"))
    assert ran.status == 0, ran.err
    assert json.loads(ran.out) == {"fields": [["title", "two lines"]],
                                   "files": [["doc", "notes.txt", "text/plain",
                                              "line one\nline two\n"]]}


def test_engine_options_reach_the_engine(run, app, ca_file):
    import json
    ran = run("--impersonate", "chrome", "--http-version", "2", "--cacert", ca_file,
              app.url("/echo", tls=True))
    assert ran.status == 0, ran.err
    echoed = json.loads(ran.out)
    assert echoed["http_version"] == "2"
    assert "Chrome/" in dict(echoed["headers"])["user-agent"]


def test_namespace_keeps_the_cache_that_no_cache_skips(run, app):
    url = app.url("/counted")  # a fresh number from each answer of the origin, cacheable
    first = run("--namespace", "cli", url)
    assert first.status == 0 and first.out.isdigit()
    assert run("--namespace", "cli", url).out == first.out  # a new engine, the same store
    fresh = run("--namespace", "cli", "--no-cache", url)
    assert fresh.status == 0 and int(fresh.out) > int(first.out)
    assert int(run(url).out) > int(fresh.out)  # no namespace: a store of the engine's own


# ---- what is written where ------------------------------------------------------

def test_body_head_and_verbose(run, app):
    url = app.url("/slow?chunks=3&delay=0")
    assert run(url) == Ran(0, b"0;1;2;", "")

    head = run("-I", url)
    assert head.status == 0 and head.out.startswith(b"HTTP/1.1 200 ")
    assert head.out.endswith(b"\r\n\r\n") and head.out.count(b"\r\n\r\n") == 1

    included = run("-i", url)
    assert included.out.startswith(b"HTTP/1.1 200 ")
    assert included.out.endswith(b"\r\n\r\n0;1;2;") and included.out.count(b"\r\n\r\n") == 1

    moved = app.url("/redirect?status=307&to=/slow?chunks=1")
    verbose = run("-v", "-L", "-H", "X-Seen: yes", moved)
    assert verbose.out == b"0;"
    lines = verbose.err.splitlines()
    assert lines[:4] == [f"> GET {moved}", "> X-Seen: yes", ">", "< HTTP/1.1 307 "]
    assert f"* redirected: GET {app.url('/slow?chunks=1')}" in lines
    assert lines[lines.index("< HTTP/1.1 200 ") - 1].startswith("* redirected:")
    assert lines[-1] == "<"


def test_redirects_are_followed_with_l_only(run, app):
    url = app.url("/chain/2")
    assert run(url).out == b""  # the first 302, bodiless
    followed = run("-L", "-i", url)
    assert followed.status == 0
    heads, _, body = followed.out.rpartition(b"\r\n\r\n")
    assert [h.split(b" ")[1] for h in heads.split(b"\r\n\r\n")] == [b"302"] * 3 + [b"200"]
    assert b'"path": "/echo"' in body
    over = run("-L", "--max-redirects", "1", url)
    assert over.status == 47 and over.out == b""
    assert ONE_ERROR_LINE.fullmatch(over.err) and "too many redirects from" in over.err


class Tty(io.StringIO):
    def isatty(self) -> bool:
        return True


@pytest.mark.parametrize("terminal, with_tqdm, flags, bar", [
    (False, True, [], False), (True, True, [], True), (True, False, [], False),
    (True, True, ["-s"], False)])
def test_output_file_with_progress_on_a_terminal(run, app, tmp_path, monkeypatch, terminal,
                                                 with_tqdm, flags, bar):
    if with_tqdm:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm", None)  # import tqdm fails
    tty = Tty()
    if terminal:
        monkeypatch.setattr(sys, "stderr", tty)
    from asgi_app import block

    ran = run(*flags, "-o", "blocks.bin", app.url("/bytes?blocks=4"))
    assert (ran.status, ran.out, ran.err) == (0, b"", "")
    assert (tmp_path / "blocks.bin").read_bytes() == b"".join(block(i) for i in range(4))
    shown = tty.getvalue()
    assert ("256k" in shown and "blocks.bin" in shown) if bar else shown == ""


class TtyBytes(io.BytesIO):
    def isatty(self) -> bool:
        return True


def answer(body: bytes):
    def serve(sock, head, rest):
        sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body))
    return serve


@pytest.fixture(scope="module")
def canned():
    server = servers.ScriptedServer({"/binary": answer(b"\0\x01binary"),
                                     "/text": answer(b"plain text\n")})
    yield server
    server.stop()


@pytest.mark.parametrize("argv, path, status, written", [
    ([], "/binary", 23, b""), ([], "/text", 0, b"plain text\n"),
    (["-o", "-"], "/binary", 0, b"\0\x01binary")])
def test_binary_is_not_written_to_a_terminal(run, canned, monkeypatch, argv, path, status,
                                             written):
    terminal = TtyBytes()
    monkeypatch.setattr(sys, "stdout", io.TextIOWrapper(terminal))
    ran = run(*argv, canned.url(path))
    assert (ran.status, terminal.getvalue()) == (status, written)
    assert ran.err == ("" if status == 0 else "strandel: error: the body is binary and stdout "
                       "is a terminal: -o FILE saves it, -o - writes it anyway\n")


# ---- failures ---------------------------------------------------------------------

# argv ("{url}" is the app's, "{port}" a port nothing listens on), the exit
# status, and a pattern of the one line on stderr after "strandel: error: ".
FAILURES = [
    pytest.param(["http://127.0.0.1:{port}/"], 7,
                 r"cannot connect to http://127\.0\.0\.1:\d+/: .+", id="refused"),
    pytest.param(["not a url"], 3, r"bad URL 'not a url': it contains spaces .+", id="spaces"),
    pytest.param(["ftp://127.0.0.1/"], 3,
                 r"bad URL 'ftp://127\.0\.0\.1/': unsupported scheme 'ftp' \(http or https\)",
                 id="scheme"),
    pytest.param(["http://127.0.0.1:99999/"], 3, r"bad URL 'http://127\.0\.0\.1:99999/': .+",
                 id="port"),
    pytest.param(["http:///path"], 3, r"bad URL 'http:///path': no host", id="no-host"),
    pytest.param(["--timeout", "0.5", "{url}/stall"], 28, r"timed out waiting for .+/stall: .+",
                 id="timeout"),
    pytest.param(["-f", "{url}/nowhere"], 22, r".+/nowhere answered 404 Not Found", id="fail"),
    pytest.param(["--impersonate", "netscape_4", "{url}/echo"], 2,
                 r"--impersonate names no browser profile of this engine: .+", id="profile"),
    pytest.param(["-o", "missing/dir/file", "{url}/echo"], 23,
                 r"cannot write 'missing/dir/file': No such file or directory", id="output"),
]


@pytest.mark.parametrize("argv, status, message", FAILURES)
def test_failures_exit_with_one_line(run, app, argv, status, message):
    given = [a.format(url=app.url(""), port=servers.free_port()) for a in argv]
    ran = run(*given)
    assert ran.status == status
    assert ONE_ERROR_LINE.fullmatch(ran.err), ran.err
    assert re.fullmatch(message, ran.err[len("strandel: error: "):-1]), ran.err
    if status == 22:
        assert ran.out == b""


# Arguments argparse refuses: exit 2, usage, then its one error line.
BAD_ARGUMENTS = [
    pytest.param([], "the following arguments are required: URL", id="no-url"),
    pytest.param(["-H", "no colon", "{url}"], "argument -H/--header: expected", id="header"),
    pytest.param(["-X", "GET /", "{url}"], "argument -X/--request: expected a method name",
                 id="method"),
    pytest.param(["--timeout", "-1", "{url}"], "argument --timeout: expected a positive",
                 id="timeout"),
    pytest.param(["--max-redirects", "x", "{url}"], "argument --max-redirects: expected",
                 id="max-redirects"),
    pytest.param(["--http-version", "4", "{url}"], "argument --http-version: expected one of",
                 id="http-version"),
    pytest.param(["-u", "nopassword", "{url}"], "argument -u/--user: expected", id="user"),
    pytest.param(["-d", "@no-such-file", "{url}"], "argument -d/--data: cannot read",
                 id="data-file"),
    pytest.param(["--cacert", "no-such.pem", "{url}"], "argument --cacert: cannot read",
                 id="cacert"),
    pytest.param(["-d", "x", "--json", "{{}}", "{url}"], "argument --json: not allowed",
                 id="two-bodies"),
    pytest.param(["-I", "-d", "x", "{url}"], "argument -I/--head: a HEAD request sends no body",
                 id="head-with-body"),
    pytest.param(["--json", "1", "-F", "a=b", "{url}"],
                 "argument -F/--form: not allowed with argument --json", id="form-and-json"),
    pytest.param(["-F", "novalue", "{url}"], 'argument -F/--form: expected "name=value"',
                 id="form-part"),
]


@pytest.mark.parametrize("argv, message", BAD_ARGUMENTS)
def test_bad_arguments_exit_2(run, app, argv, message):
    ran = run(*[a.format(url=app.url("/echo")) for a in argv])
    assert ran.status == 2 and ran.out == b""
    assert ran.err.startswith("usage: strandel ")
    assert ran.err.splitlines()[-1].startswith(f"strandel: error: {message}")


def test_through_a_proxy(run, proxy, nginx):
    url = nginx.url("http1", "/small.bin")
    with_user = proxy.url.replace("http://", f"http://{proxy.USER}:{proxy.PASSWORD}@")
    for argv in (["-x", with_user], ["-x", proxy.url, "-U", f"{proxy.USER}:{proxy.PASSWORD}"]):
        assert run(*argv, url) == Ran(0, nginx.small, "")
    # To a plain http:// URL the proxy's refusal is the answer, as curl has it.
    refused = run("-f", "-x", proxy.url, "-U", "nobody:wrong", url)
    assert (refused.status, refused.out) == (22, b"")
    assert refused.err.startswith(f"strandel: error: {url} answered 40")  # tinyproxy: 401
    # To an https:// one the tunnel is refused: a failure of the proxy.
    tunnel = run("-k", "-x", proxy.url, "-U", "nobody:wrong", nginx.url("https", "/small.bin"))
    assert tunnel.status == 97 and ONE_ERROR_LINE.fullmatch(tunnel.err)
    assert tunnel.err.startswith("strandel: error: the proxy failed the request to https://")


def test_tls_trust(run, app, ca_file):
    url = app.url("/echo", tls=True)
    untrusted = run(url)
    assert untrusted.status == 35 and ONE_ERROR_LINE.fullmatch(untrusted.err)
    assert untrusted.err.startswith(f"strandel: error: TLS failure with {url}: ")
    assert untrusted.err.endswith("(--cacert FILE trusts another CA, -k skips verification)\n")
    for trusting in (["--cacert", ca_file], ["-k"]):
        ran = run(*trusting, url)
        assert (ran.status, ran.err) == (0, "") and b'"path": "/echo"' in ran.out


# ---- as a process of its own --------------------------------------------------------

def test_python_m_strandel(cli, app):
    env = child_env(cli)
    version = subprocess.run([sys.executable, "-m", "strandel", "--version"], env=env,
                             capture_output=True, timeout=60)
    assert version.returncode == 0
    assert re.fullmatch(rb"strandel \S+ on halvane/[^\n]+\n", version.stdout), version

    body = subprocess.run([sys.executable, "-m", "strandel", app.url("/slow?chunks=3&delay=0")],
                          env=env, capture_output=True, timeout=60)
    assert (body.returncode, body.stdout, body.stderr) == (0, b"0;1;2;", b"")

    refused = subprocess.run([sys.executable, "-m", "strandel",
                              f"http://127.0.0.1:{servers.free_port()}/"],
                             env=env, capture_output=True, timeout=60)
    assert refused.returncode == 7 and refused.stdout == b""
    assert ONE_ERROR_LINE.fullmatch(refused.stderr.decode()), refused.stderr


def test_a_closed_pipe_ends_it_quietly(cli, app):
    """``strandel URL | head -c 10``: the reader goes while the body is far
    from written."""
    child = subprocess.Popen([sys.executable, "-m", "strandel", app.url("/bytes?blocks=64")],
                             env=child_env(cli), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert len(child.stdout.read(10)) == 10
        child.stdout.close()
        assert child.wait(timeout=60) == 23
        assert child.stderr.read() == b""
    finally:
        child.kill()
        child.wait()
        child.stderr.close()


def test_ctrl_c_exits_130_quietly(cli, app):
    # A shell runs background jobs with SIGINT ignored, which a child would
    # inherit (and Python then installs no handler): the default is restored.
    child = subprocess.Popen([sys.executable, "-m", "strandel", app.url("/stall")],
                             env=child_env(cli), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        assert child.stdout.read(1000) == b"x" * 1000  # the body has begun: it waits for more
        child.send_signal(signal.SIGINT)
        assert child.wait(timeout=60) == 130
        assert child.stderr.read() == b""
    finally:
        child.kill()
        child.wait()
        child.stdout.close()
        child.stderr.close()


# ---- the guide's examples -----------------------------------------------------------

def guide_commands():
    """(argv, expected exit status) of each command line of the page's sh
    blocks; a comment "exits N" says the status when it is not 0."""
    for block in SH_BLOCK.finditer(GUIDE_PAGE.read_text()):
        for line in block.group(1).splitlines():
            if not line.strip():
                continue
            command, _, comment = line.partition("#")
            exits = re.match(r"\s*exits (\d+)", comment)
            argv = shlex.split(command)
            assert argv[0] == "strandel" or argv[:3] == ["python", "-m", "strandel"], line
            yield pytest.param(argv[1 if argv[0] == "strandel" else 3:],
                               int(exits.group(1)) if exits else 0, id=command.strip())


def test_the_guide_page_has_examples():
    assert len(list(guide_commands())) >= 15


@pytest.mark.parametrize("argv, status", list(guide_commands()))
def test_guide_example(run, app, ca_pem, tmp_path, argv, status):
    (tmp_path / "ca.pem").write_bytes(ca_pem)
    places = {"localhost:8000": app.url("").split("//")[1],
              "localhost:8443": app.url("", tls=True).split("//")[1]}
    for placeholder, address in places.items():
        argv = [a.replace(placeholder, address) for a in argv]
    ran = run(*argv)
    assert ran.status == status, ran.err
    assert ran.err == "" if status == 0 else ONE_ERROR_LINE.fullmatch(ran.err)
