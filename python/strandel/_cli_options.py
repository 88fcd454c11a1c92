"""The options of the ``strandel`` command: their values checked as
argparse reads them, and where each one goes, in one table (OPTIONS)."""

from __future__ import annotations

import argparse
import base64
import math
import os
import sys
from typing import Any, Dict, NamedTuple, Optional, Tuple

import strandel

PROG = "strandel"


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
    Option(("-f", "--fail"), None, "exit 22, writing no body, on a status >= 400",
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
