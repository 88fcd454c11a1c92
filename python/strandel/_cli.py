"""The ``strandel`` command: one request from a shell, curl's way.

    strandel https://example.org/                 # the body on stdout
    strandel -i -H "Accept: text/plain" URL       # the head, then the body
    strandel -L -o page.html URL                  # follow redirects, save the body

A response of any status is a success (exit 0) unless ``-f`` is given; a
request that fails prints one line on stderr, ``strandel: error: <what>``,
and exits with a status of EXIT_STATUSES (curl's numbers, so that scripts
written for it read them alike)."""

from __future__ import annotations

import argparse
import base64
import importlib
import math
import os
import sys
from typing import (IO, Any, BinaryIO, Dict, Iterable, Iterator, List, NamedTuple, Optional,
                    Sequence, Tuple)
from urllib.parse import urlsplit

import strandel

PROG = "strandel"

# Exit statuses besides 0 (a response came, whatever its status) and 2 (bad
# arguments, argparse's). The numbers are curl's.
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_BAD_URL = 3
EXIT_HTTP_ERROR = 22
EXIT_WRITE = 23
EXIT_INTERRUPTED = 130

# A failed request's exit status and the words that go before its error's
# own text, by exception class name; the first class of the error's MRO
# named here decides. Names, not classes: a class the package adds later
# (a narrower timeout, say) falls under its base until it is named here.
EXIT_STATUSES: Dict[str, Tuple[int, str]] = {
    "TLSError": (35, "TLS failure with {url}"),
    "TimeoutException": (28, "timed out waiting for {url}"),
    "TooManyRedirects": (47, "too many redirects from {url}"),
    "ConnectError": (7, "cannot connect to {url}"),
    "InvalidURL": (EXIT_BAD_URL, "bad URL {url}"),
    "InvalidRequest": (EXIT_USAGE, "the request to {url} or an option was refused as given"),
    "ProxyError": (97, "the proxy failed the request to {url}"),
    "RemoteProtocolError": (56, "the server broke the protocol on {url}"),
    "NetworkError": (56, "the connection broke on {url}"),
    "HTTPError": (EXIT_FAILED, "the request to {url} failed"),
    # Values the package refuses before sending: its message says it all.
    "ValueError": (EXIT_USAGE, ""),
    "TypeError": (EXIT_USAGE, ""),
    "OverflowError": (EXIT_USAGE, ""),
}

# What ends the command with one line; any other exception is a fault of
# the command, shown whole.
EXPECTED = (strandel.HTTPError, strandel.StreamError, ValueError, TypeError, OverflowError)

# Failures of the engine's options, told apart by the error's kind: they
# come before any request.
KIND_STATUSES: Dict[str, Tuple[int, str]] = {
    "ProfileUnsupported": (EXIT_USAGE, "--impersonate names no browser profile of this engine"),
    "ProfileConflict": (EXIT_FAILED, "the --namespace is bound to another browser profile"),
}

# Said after a TLS failure: the two ways out a user has.
TLS_HINT = "--cacert FILE trusts another CA, -k skips verification"


class Failure(Exception):
    """Ends the command with `status` and the one-line `message`."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status
        self.message = message


# ---- argument values ---------------------------------------------------------


def _header(text: str) -> Tuple[str, str]:
    name, colon, value = text.partition(":")
    if not colon or not name or name != name.strip() or any(c.isspace() for c in name):
        raise argparse.ArgumentTypeError(f'expected "Name: value", got {text!r}')
    return name, value.strip()


def _method(text: str) -> str:
    if not text or any(c.isspace() or ord(c) < 0x20 or c in '()<>@,;:\\"/[]?={}' for c in text):
        raise argparse.ArgumentTypeError(f"expected a method name, got {text!r}")
    return text


def _read_source(text: str) -> bytes:
    """DATA as UTF-8, or `@file`'s bytes as they are (`@-`: stdin's)."""
    if not text.startswith("@"):
        return text.encode("utf-8")
    path = text[1:]
    if path == "-":
        return sys.stdin.buffer.read()
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise argparse.ArgumentTypeError(f"cannot read {path!r}: {e.strerror or e}") from None


# A part of a multipart form: (field name, (file name, content, type)); a
# plain field has no file name.
FormPart = Tuple[str, Tuple[Optional[str], bytes, Optional[str]]]


def _form_part(text: str) -> FormPart:
    """curl's -F: "name=value", or "name=@path" (";type=TYPE" after it)."""
    name, equals, value = text.partition("=")
    if not equals or not name:
        raise argparse.ArgumentTypeError(f'expected "name=value" or "name=@FILE", got {text!r}')
    if not value.startswith("@"):
        return name, (None, value.encode("utf-8"), None)
    path, _, kind = value[1:].partition(";type=")
    return name, (os.path.basename(path) or "upload", _read_source(f"@{path}"), kind or None)


def _readable_file(path: str) -> str:
    try:
        with open(path, "rb"):
            return path
    except OSError as e:
        raise argparse.ArgumentTypeError(f"cannot read {path!r}: {e.strerror or e}") from None


def _basic_credentials(text: str) -> str:
    user, password = _credentials(text)
    token = base64.b64encode(f"{user}:{password}".encode("utf-8")).decode("ascii")
    return f"Basic {token}"


def _credentials(text: str) -> Tuple[str, str]:
    user, colon, password = text.partition(":")
    if not colon:
        raise argparse.ArgumentTypeError('expected "user:password"')
    return user, password


def _seconds(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        seconds = math.nan
    if not (seconds > 0 and math.isfinite(seconds)):
        raise argparse.ArgumentTypeError(f"expected a positive number of seconds, got {text!r}")
    return seconds


def _count(text: str) -> int:
    try:
        count = int(text)
    except ValueError:
        count = -1
    if count < 0:
        raise argparse.ArgumentTypeError(f"expected a whole number >= 0, got {text!r}")
    return count


# The engine's names for the versions offered; "auto" is its default.
HTTP_VERSIONS: Dict[str, Optional[str]] = {"1.1": "h1", "2": "h2", "3": "h3", "auto": None}


def _http_version(text: str) -> Optional[str]:
    if text not in HTTP_VERSIONS:
        choices = ", ".join(HTTP_VERSIONS)
        raise argparse.ArgumentTypeError(f"expected one of {choices}, got {text!r}")
    return HTTP_VERSIONS[text]


# ---- the options ---------------------------------------------------------------


class Option(NamedTuple):
    """A command-line option and where its value goes: `to` is
    ("client", keyword) for a keyword of strandel.Client, ("request",
    keyword) for one of client.stream, ("header", name) for a header sent
    unless -H gives that name, or None for the command's own use. A value
    left at None is not passed, so the package's defaults hold."""

    flags: Tuple[str, ...]
    to: Optional[Tuple[str, str]]
    help: str
    settings: Dict[str, Any] = {}


OPTIONS: Tuple[Option, ...] = (
    Option(("-X", "--request"), None, "the method (default GET; POST with -d, --json or -F)",
           {"metavar": "METHOD", "dest": "method", "type": _method}),
    Option(("-H", "--header"), None, 'a request header "Name: value" (repeatable)',
           {"metavar": "HEADER", "dest": "headers", "action": "append", "type": _header,
            "default": []}),
    Option(("-d", "--data"), None,
           "the request body: DATA, @FILE (its bytes as they are) or @- (stdin); "
           "repeated ones are joined with '&'; sent as a form unless -H says otherwise",
           {"metavar": "DATA", "action": "append", "type": _read_source}),
    Option(("--json",), None,
           "a JSON request body (DATA, @FILE or @-), with Content-Type and Accept "
           "application/json", {"metavar": "DATA", "type": _read_source}),
    Option(("-F", "--form"), None,
           'a multipart form part: "name=value", or "name=@FILE" (";type=TYPE" after it) '
           "to upload a file (repeatable)",
           {"metavar": "PART", "action": "append", "type": _form_part}),
    Option(("-i", "--include"), None, "write the response head before the body",
           {"action": "store_true"}),
    Option(("-I", "--head"), None, "send HEAD (unless -X) and write the response head only",
           {"action": "store_true"}),
    Option(("-o", "--output"), None,
           "write the body to FILE, with a progress bar on a terminal (with tqdm installed)",
           {"metavar": "FILE"}),
    Option(("-f", "--fail"), None, f"exit {EXIT_HTTP_ERROR}, writing no body, on a status >= 400",
           {"action": "store_true"}),
    Option(("-L", "--location"), ("request", "follow_redirects"), "follow redirects",
           {"action": "store_true"}),
    Option(("--max-redirects",), ("client", "max_redirects"),
           "the most redirects -L follows (default 20)", {"metavar": "N", "type": _count}),
    Option(("--timeout",), ("client", "timeout"), "the client's timeout, in seconds",
           {"metavar": "SECONDS", "type": _seconds}),
    Option(("-u", "--user"), ("header", "Authorization"),
           "send Basic credentials", {"metavar": "USER:PASSWORD", "type": _basic_credentials}),
    Option(("-A", "--user-agent"), ("client", "user_agent"), "the User-Agent to send",
           {"metavar": "NAME"}),
    Option(("--impersonate",), ("client", "impersonate"),
           "look like this browser (e.g. chrome, firefox_155)", {"metavar": "NAME"}),
    Option(("--http-version",), ("client", "http_version"),
           "the HTTP version: 1.1, 2, 3 or auto (default)",
           {"metavar": "{1.1,2,3,auto}", "type": _http_version}),
    Option(("--namespace",), ("client", "profile_namespace"),
           "the profile namespace keeping cookies, cache and state across runs",
           {"metavar": "NAME"}),
    Option(("--no-cache",), ("client", "cache"), "do not use the HTTP cache",
           {"action": "store_const", "const": False}),
    Option(("-k", "--insecure"), ("client", "verify"), "do not verify the server's certificate",
           {"action": "store_const", "const": False}),
    Option(("--cacert",), ("client", "ca_file"), "trust the CAs of this PEM FILE",
           {"metavar": "FILE", "type": _readable_file}),
    Option(("-x", "--proxy"), ("client", "proxy"),
           "go through this proxy (http://, https://, socks5://, socks5h://)", {"metavar": "URL"}),
    Option(("-U", "--proxy-user"), ("client", "proxy_auth"), "the proxy's credentials",
           {"metavar": "USER:PASSWORD", "type": _credentials}),
    Option(("-s", "--silent"), None, "no progress bar, and no error line unless -S",
           {"action": "store_true"}),
    Option(("-S", "--show-error"), None, "with -s, write the error line still",
           {"action": "store_true"}),
    Option(("-v", "--verbose"), None, "write the request and response heads on stderr",
           {"action": "store_true"}),
)


def _dest(option: Option) -> str:
    dest = option.settings.get("dest")
    return dest if dest else option.flags[-1].lstrip("-").replace("-", "_")


def keywords(args: argparse.Namespace, where: str) -> Dict[str, Any]:
    """The keywords (or, for "header", the headers) that the options given go
    to at `where`."""
    given = ((option.to[1], getattr(args, _dest(option))) for option in OPTIONS
             if option.to is not None and option.to[0] == where)
    return {name: value for name, value in given if value is not None}


def _core_version() -> str:
    try:
        import strandel_native36
        return str(strandel_native36.PyEngine.core_version())
    except Exception:  # the version line must not fail for want of it
        return "an unknown Core"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Send one HTTP request and write the response.",
        epilog="Exit status: 0 when a response came (any status, unless -f); see the "
               "command-line page of the guide for the others.")
    parser.add_argument("url", metavar="URL", help="http:// or https:// (http:// when none)")
    for option in OPTIONS:
        settings = dict(option.settings)
        settings.setdefault("dest", _dest(option))
        parser.add_argument(*option.flags, help=option.help, **settings)
    parser.add_argument("--version", action="version",
                        version=f"{PROG} {strandel.__version__} on {_core_version()}")
    return parser


def check_options(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    bodies = [flag for flag, given in (("-d/--data", args.data), ("--json", args.json),
                                       ("-F/--form", args.form)) if given is not None]
    if len(bodies) > 1:
        parser.error(f"argument {bodies[1]}: not allowed with argument {bodies[0]}")
    if bodies and args.head and args.method is None:
        parser.error(f"argument -I/--head: a HEAD request sends no body ({bodies[0]})")


# ---- the request ---------------------------------------------------------------


def check_url(text: str) -> str:
    """The URL to fetch: http:// is assumed when none is given, as curl does.
    Catches here what would otherwise come back as a bare refusal."""
    url = text if "://" in text else f"http://{text}"
    if any(c.isspace() or ord(c) < 0x20 or c == "\x7f" for c in url):
        raise Failure(EXIT_BAD_URL, f"bad URL {text!r}: it contains spaces or control "
                                    "characters")
    try:
        parts = urlsplit(url)
    except ValueError as e:  # an unclosed IPv6 bracket
        raise Failure(EXIT_BAD_URL, f"bad URL {text!r}: {e}") from None
    if parts.scheme.lower() not in ("http", "https"):
        raise Failure(EXIT_BAD_URL, f"bad URL {text!r}: unsupported scheme {parts.scheme!r} "
                                    "(http or https)")
    try:
        host, _ = parts.hostname, parts.port
    except ValueError as e:  # a port that is no number, or out of range
        raise Failure(EXIT_BAD_URL, f"bad URL {text!r}: {e}") from None
    if not host:
        raise Failure(EXIT_BAD_URL, f"bad URL {text!r}: no host")
    return url


class Plan(NamedTuple):
    """What to send and how to show what comes back."""

    method: str
    url: str
    headers: List[Tuple[str, str]]
    body: Optional[bytes]
    form: Optional[List[FormPart]] = None

    def body_keywords(self) -> Dict[str, Any]:
        return {"files": self.form} if self.form is not None else {"content": self.body}


def plan(args: argparse.Namespace) -> Plan:
    headers: List[Tuple[str, str]] = list(args.headers)
    body: Optional[bytes] = None
    implied = keywords(args, "header")
    if args.data is not None:
        body = b"&".join(args.data)
        implied.setdefault("Content-Type", "application/x-www-form-urlencoded")
    elif args.json is not None:
        body = args.json
        implied.setdefault("Content-Type", "application/json")
        implied.setdefault("Accept", "application/json")
    given = {name.lower() for name, _ in headers}
    headers += [(name, value) for name, value in implied.items() if name.lower() not in given]
    has_body = body is not None or args.form is not None
    method = args.method or ("HEAD" if args.head else "POST" if has_body else "GET")
    return Plan(method, check_url(args.url), headers, body, args.form)


def _head_lines(raw: bytes) -> List[str]:
    return [line for line in raw.decode("latin-1").split("\r\n") if line]


def _show_request(err: IO[str], sent: Plan) -> None:
    lines = [f"{sent.method} {sent.url}"] + [f"{n}: {v}" for n, v in sent.headers]
    if sent.body is not None:
        lines.append(f"(a body of {len(sent.body)} byte{'' if len(sent.body) == 1 else 's'})")
    if sent.form is not None:
        lines.append(f"(a multipart form of {len(sent.form)} part"
                     f"{'' if len(sent.form) == 1 else 's'})")
    err.write("".join(f"> {line}\n" for line in lines) + ">\n")


def _show_response(err: IO[str], response: strandel.Response) -> None:
    for hop in response.history:
        err.write("".join(f"< {line}\n" for line in _head_lines(hop.raw_headers)))
        err.write(f"* redirected: {hop.method} {hop.target}\n")
    err.write("".join(f"< {line}\n" for line in _head_lines(response.raw_headers)) + "<\n")
    err.flush()


def _heads(response: strandel.Response) -> bytes:
    """Every head -i shows: those of the redirects followed, then the last."""
    return b"".join(_terminated(h.raw_headers) for h in response.history) + \
        _terminated(response.raw_headers)


def _terminated(head: bytes) -> bytes:
    return head.rstrip(b"\r\n") + b"\r\n\r\n"


def _expected_size(response: strandel.Response) -> Optional[int]:
    """The body's size for the progress bar: Content-Length counts the bytes
    of the wire, which are the bytes written only without a content coding."""
    headers = response.headers
    length = headers.get("content-length")
    if length is None or headers.get("content-encoding") or not length.isdigit():
        return None
    return int(length)


class _NoBar:
    def update(self, count: int) -> None:
        pass

    def close(self) -> None:
        pass


def progress_bar(stream: IO[str], total: Optional[int], name: str) -> Any:
    """A tqdm bar on `stream` when that is a terminal and tqdm is installed;
    else one that shows nothing."""
    isatty = getattr(stream, "isatty", None)
    if isatty is None or not isatty():
        return _NoBar()
    try:  # by name: an optional package, with no type stubs of its own
        tqdm = importlib.import_module("tqdm").tqdm
    except ImportError:
        return _NoBar()
    return tqdm(total=total, desc=name, file=stream, unit="B", unit_scale=True,
                unit_divisor=1024, leave=True, dynamic_ncols=True)


def _open_output(path: str) -> BinaryIO:
    try:
        return open(path, "wb")
    except OSError as e:
        raise Failure(EXIT_WRITE, f"cannot write {path!r}: {e.strerror or e}") from None


def _write_all(out: BinaryIO, chunks: Iterable[bytes], bar: Any, name: str,
               flush: bool) -> None:
    """`flush`: each piece as it comes, for a reader at the other end of a
    pipe or terminal watching a slow stream."""
    for chunk in chunks:
        try:
            out.write(chunk)
            if flush:
                out.flush()
        except BrokenPipeError:
            raise
        except OSError as e:
            raise Failure(EXIT_WRITE, f"cannot write {name}: {e.strerror or e}") from None
        bar.update(len(chunk))


def _not_binary(chunks: Iterable[bytes]) -> Iterator[bytes]:
    """The body for a terminal: refused when its first piece holds a NUL
    byte, which text never does and which leaves a terminal in disorder."""
    pieces = iter(chunks)
    for chunk in pieces:
        if b"\0" in chunk:
            raise Failure(EXIT_WRITE, "the body is binary and stdout is a terminal: "
                                      "-o FILE saves it, -o - writes it anyway")
        yield chunk
        yield from pieces


def fetch(args: argparse.Namespace, sent: Plan) -> int:
    if args.verbose:
        _show_request(sys.stderr, sent)
    with strandel.Client(**keywords(args, "client")) as client:
        # -L's value always goes (False without it): curl follows no
        # redirect unless asked, where the client's default is to follow.
        with client.stream(sent.method, sent.url, headers=sent.headers, **sent.body_keywords(),
                           **keywords(args, "request")) as response:
            if args.verbose:
                _show_response(sys.stderr, response)
            if args.fail and response.status_code >= 400:
                raise Failure(EXIT_HTTP_ERROR, f"{response.url} answered "
                                               f"{response.status_code} {response.reason_phrase}")
            if args.output is None or args.output == "-":
                write_response(args, response, sys.stdout.buffer, "stdout", _NoBar(), True)
            else:
                with _open_output(args.output) as out:
                    bar = _NoBar() if args.silent else progress_bar(
                        sys.stderr, _expected_size(response), os.path.basename(args.output))
                    try:
                        write_response(args, response, out, repr(args.output), bar, False)
                    finally:
                        bar.close()
    return 0


def write_response(args: argparse.Namespace, response: strandel.Response, out: BinaryIO,
                   name: str, bar: Any, flush: bool) -> None:
    """The heads (-i, -I) and the body (unless -I) to `out`, the body counted
    on `bar`; `flush`: each piece as it comes."""
    if args.include or args.head:
        _write_all(out, [_heads(response)], _NoBar(), name, flush)
    if not args.head:
        chunks: Iterable[bytes] = response.iter_bytes()
        if args.output is None and out.isatty():
            chunks = _not_binary(chunks)
        _write_all(out, chunks, bar, name, flush)
    out.flush()


def describe(error: BaseException, url: str) -> Tuple[int, str]:
    """The exit status and the message of a request's failure."""
    by_kind = KIND_STATUSES.get(getattr(error, "kind", None) or "")
    if by_kind is not None:
        return by_kind[0], f"{by_kind[1]}: {error}"
    for cls in type(error).__mro__:
        if cls.__name__ in EXIT_STATUSES:
            status, words = EXIT_STATUSES[cls.__name__]
            if not words:
                return status, str(error)
            message = f"{words.format(url=url)}: {error}"
            if cls.__name__ == "TLSError":
                message += f" ({TLS_HINT})"
            return status, message
    return EXIT_FAILED, str(error)


def _quiet_stdout() -> None:
    """After a closed pipe (``strandel URL | head``): the interpreter's last
    flush of stdout would fail again and print about it."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):  # no descriptor: captured in-process
        pass


def run(argv: Optional[Sequence[str]]) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        check_options(parser, args)
    except SystemExit as e:  # argparse's own exit: --help, --version, bad arguments
        return e.code if isinstance(e.code, int) else EXIT_USAGE
    try:
        return fetch(args, plan(args))
    except Failure as failure:
        status, message = failure.status, failure.message
    except BrokenPipeError:
        _quiet_stdout()
        return EXIT_WRITE
    except Exception as error:
        # A class the package adds later counts as expected too.
        if not isinstance(error, EXPECTED) and \
                not type(error).__module__.startswith("strandel"):
            raise
        status, message = describe(error, args.url)
    if args.show_error or not args.silent:
        # One line, whatever the error's text holds.
        sys.stderr.write(f"{PROG}: error: {' '.join(message.split())}\n")
        sys.stderr.flush()
    return status


def main(argv: Optional[Sequence[str]] = None) -> int:
    """The command's entry point: `argv` without the program name (default
    sys.argv[1:]); returns the exit status."""
    try:
        return run(argv)
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
