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
import importlib
import os
import sys
from typing import (IO, Any, BinaryIO, Dict, Iterable, Iterator, List, NamedTuple, Optional,
                    Sequence, Tuple)
from urllib.parse import urlsplit

import strandel

from ._cli_options import PROG, FormPart, build_parser, check_options, keywords

# Exit statuses besides 0 (a response came, whatever its status) and 2 (bad
# arguments, argparse's). The numbers are curl's.
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_BAD_URL = 3
EXIT_HTTP_ERROR = 22  # -f's help says it too
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
