"""The strandel package's own logic: headers, query parameters, request
bodies and the engine options table."""

import email.parser
import email.policy
import inspect
import io

import pytest

from strandel_package import strandel
from strandel import _config, _content


def test_headers_keep_order_and_duplicates_and_match_any_case():
    h = strandel.Headers([("X-Dup", "1"), ("Accept", "a"), ("x-DUP", "2")])
    assert (h["x-dup"], h.get_list("X-DUP"), len(h), list(h)) == \
        ("1, 2", ["1", "2"], 2, ["x-dup", "accept"])
    assert "ACCEPT" in h and "missing" not in h and 1 not in h
    assert h.items() == [("x-dup", "1, 2"), ("accept", "a")]
    h["X-DUP"] = "3"  # one value, at the first one's place
    h.add("New", "n")
    assert h.multi_items() == [("X-DUP", "3"), ("Accept", "a"), ("New", "n")]
    del h["accept"]
    with pytest.raises(KeyError):
        del h["accept"]
    with pytest.raises(KeyError):
        h["accept"]
    assert h == {"x-dup": "3", "NEW": "n"} and h == [("New", "n"), ("X-Dup", "3")]
    assert h != {"x-dup": "3"}
    copy = h.copy()
    copy.update({"new": "m"}, Other="o")
    assert (copy.multi_items(), h["new"]) == ([("X-DUP", "3"), ("new", "m"), ("Other", "o")], "n")


def test_raw_head_parsing():
    from strandel._headers import parse_head, parse_status_line

    block = (b"HTTP/1.1 404 Not Found\r\nA: 1\r\nFolded: first\r\n second\r\n"
             b"no colon\r\nB: caf\xc3\xa9\r\nC: caf\xe9\r\n\r\n")
    line, headers = parse_head(block)
    assert (line.http_version, line.status_code, line.reason_phrase) == \
        ("HTTP/1.1", 404, "Not Found")
    assert headers.multi_items() == [("A", "1"), ("Folded", "first second"), ("B", "café"),
                                     ("C", "café")]
    short = parse_status_line(b"HTTP/2 200\r\n")
    assert (short.http_version, short.status_code, short.reason_phrase) == ("HTTP/2", 200, "")
    assert parse_status_line(b"garbage") is None


@pytest.mark.parametrize("head,version", [
    (b"HTTP/1.1 200 OK\r\n\r\n", "HTTP/1.1"), (b"HTTP/2 200\r\n\r\n", "HTTP/2"),
    (b"HTTP/1.0 200 OK\r\n\r\n", "HTTP/1.0"), (b"HTTP/3 204\r\n\r\n", "HTTP/3"),
    (b"HTTP/1.1\r\n\r\n", "HTTP/1.1"), (b"HTTP/2\r\n", "HTTP/2"),
    (b"HTTP/1.10 200\r\n", "HTTP/1.10"),
    (b"garbage", "HTTP/1.1"), (b"", "HTTP/1.1"),
])
def test_http_version_is_the_status_lines(head, version):
    response = strandel.Response(200, head, request=strandel.Request("GET", "http://h/"),
                                 url="http://h/", content=b"")
    assert response.http_version == version


@pytest.mark.parametrize("url,params,expected", [
    ("http://h/p", {"q": "a b", "n": [1, 2]}, "http://h/p?q=a+b&n=1&n=2"),
    ("http://h/p?x=1#f", [("y", True), ("z", None), ("w", 1.5)],
     "http://h/p?x=1&y=true&z=&w=1.5#f"),
    ("http://h/p", "raw=1&as=is", "http://h/p?raw=1&as=is"),
    ("http://h/p", {}, "http://h/p"),
])
def test_params(url, params, expected):
    assert _content.merge_params(url, params) == expected


@pytest.mark.parametrize("base,url,expected", [
    ("http://h/api", "/users", "http://h/api/users"),
    ("http://h/api/", "users", "http://h/api/users"),
    ("http://h/api", "https://other/x", "https://other/x"),
    ("http://h/api", "", "http://h/api"),
    ("", "/users", "/users"),
])
def test_join_url(base, url, expected):
    assert _content.join_url(base, url) == expected


def test_multipart_body_as_a_mail_parser_reads_it():
    encoded = _content.encode_body(data={"field": "välue", "many": ["a", "b"]}, files=[
        ("plain", io.BytesIO(b"from a stream")),
        ("named", ("report.csv", b"a,b\n")),
        ("typed", ("blob", "text", "application/x-custom", {"X-Extra": "1"})),
        ("odd", ('a"b\r\n.txt', b"")),
    ])
    assert encoded.whole.endswith(b"--\r\n")
    message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
        b"Content-Type: " + encoded.content_type.encode() + b"\r\n\r\n" + encoded.whole)
    parts = [(p.get_param("name", header="content-disposition"), p.get_filename(),
              p.get("content-type"), p.get("x-extra"), p.get_payload(decode=True))
             for p in message.iter_parts()]
    assert parts == [
        ("field", None, None, None, "välue".encode()),
        ("many", None, None, None, b"a"),
        ("many", None, None, None, b"b"),
        ("plain", "upload", "application/octet-stream", None, b"from a stream"),
        ("named", "report.csv", "text/csv", None, b"a,b\n"),
        ("typed", "blob", "application/x-custom", "1", b"text"),
        ("odd", "a%22b%0D%0A.txt", "text/plain", None, b""),
    ]


@pytest.mark.parametrize("kwargs,whole,content_type", [
    ({"content": "é"}, "é".encode(), None),
    ({"content": bytearray(b"x")}, b"x", None),
    ({"data": {"a": ["1", "2"], "b": "é"}}, b"a=1&a=2&b=%C3%A9",
     "application/x-www-form-urlencoded"),
    ({"data": "raw"}, b"raw", None),
    ({"json": {"k": ["é", 1]}}, '{"k":["é",1]}'.encode(), "application/json"),
])
def test_whole_bodies(kwargs, whole, content_type):
    encoded = _content.encode_body(**kwargs)
    assert (encoded.whole, encoded.stream, encoded.content_type) == (whole, None, content_type)


def test_streamed_bodies_are_cut_into_pieces():
    big = b"z" * (_content.UPLOAD_PIECE + 1)
    assert [len(p) for p in _content.sync_pieces(io.BytesIO(big))] == [_content.UPLOAD_PIECE, 1]
    assert list(_content.sync_pieces(iter([b"a", "é", big[:2]]))) == [b"a", "é".encode(), b"zz"]
    with pytest.raises(TypeError, match="^content must yield bytes or str, not int$"):
        list(_content.sync_pieces(iter([b"a", 3])))


def test_the_client_signature_states_the_engine_options():
    params = inspect.signature(strandel.Client).parameters
    declared = {o.name: o.default for o in _config.ENGINE_OPTIONS}
    assert {name: params[name].default for name in declared} == declared
    assert inspect.signature(strandel.AsyncClient) == inspect.signature(strandel.Client)
    kwargs = {"cache": "bypass", "proxy": "http://p", "timeout": 1, "trust_env": False}
    assert _config.call_options(kwargs) == {"proxy": "http://p", "trust_env": False}
    assert kwargs == {"cache": "bypass", "timeout": 1}


PEM = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n"


@pytest.mark.parametrize("given,expected", [
    ({}, {}),
    ({"verify": "ca.pem"}, {"verify": True, "ca_pem": PEM.encode()}),
    ({"verify": False, "ca_pem": PEM}, {"verify": False, "ca_pem": PEM.encode()}),
    ({"proxy": "http://u%40:p%3A@[::1]:8080/"},
     {"proxy": "http://[::1]:8080/", "proxy_username": "u@", "proxy_password": "p:"}),
    ({"proxy": "http://u:p@h", "proxy_auth": ("a", "b")},
     {"proxy": "http://h", "proxy_username": "a", "proxy_password": "b"}),
    ({"cache": False, "impersonate": "chrome_131"}, {"cache": False, "impersonate": "chrome_131"}),
    ({"cache": "no_store"}, {"cache": False}),
    ({"cache": "validate"}, {"cache": True}),
])
def test_engine_options(tmp_path, monkeypatch, given, expected):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "ca.pem").write_text(PEM)
    defaults = {"impersonate": None, "proxy": None, "verify": True, "ca_pem": None,
                "user_agent": None, "accept_language": None, "proxy_username": None,
                "proxy_password": None, "http_version": None, "cache": True,
                "profile_namespace": None}
    options = {o.name: o.default for o in _config.ENGINE_OPTIONS}
    assert _config.engine_options({**options, **given}) == {**defaults, **expected}


def test_a_ca_bundle_given_twice_is_refused():
    with pytest.raises(ValueError, match=r"^give the CA bundle as ca_file \(or verify=path\) or "
                                         r"as ca_pem, not both$"):
        strandel.Client(verify="ca.pem", ca_pem=b"x")
