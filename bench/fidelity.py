"""How close each impersonation profile comes to its browser, part by part.

One fingerprinting server (tests/python/net/fingerprint_server.py) on
127.0.0.1 measures, in the same run, our module under each profile and
curl_cffi (PyPI, a patched libcurl on BoringSSL) under its matching target.
The browser's own column is computed by the same code from the browser's
published parameters (ClientHello contents, header lines, HTTP/2 SETTINGS),
so that all three columns go through one JA3/JA4 implementation.

Each client runs in a process of its own, so that one client's libraries
and connections never touch another's measurement.

Run: STRANDEL_MODULE_DIR=build/<dir> python bench/fidelity.py [--out docs/impersonation.md]
The tables replace the part of the document between the fidelity markers.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
NET = ROOT / "tests" / "python" / "net"
sys.path.insert(0, str(NET))

import fingerprint_server as fs  # noqa: E402

G = 0x0A0A  # a GREASE value: left out of JA3 and JA4 by their definitions
CHROME_CIPHERS = [G, 0x1301, 0x1302, 0x1303, 0xC02B, 0xC02F, 0xC02C, 0xC030, 0xCCA9, 0xCCA8,
                  0xC013, 0xC014, 0x009C, 0x009D, 0x002F, 0x0035]
CHROME_ACCEPT = ("text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,"
                 "image/apng,*/*;q=0.8,application/signed-exchange;v=b3;q=0.7")
SAFARI_CIPHERS = [G, 0x1301, 0x1302, 0x1303, 0xC02C, 0xC02B, 0xCCA9, 0xC030, 0xC02F, 0xCCA8,
                  0xC00A, 0xC009, 0xC014, 0xC013, 0x009D, 0x009C, 0x0035, 0x002F, 0xC008,
                  0xC012, 0x000A]
SAFARI_HELLO = {
    "ciphers": SAFARI_CIPHERS,
    "extensions": [G, 0, 23, 65281, 10, 11, 16, 5, 13, 18, 51, 45, 43, 27, 21, G],
    "groups": [G, 29, 23, 24, 25],
    "sigalgs": [0x0403, 0x0804, 0x0401, 0x0503, 0x0805, 0x0805, 0x0501, 0x0806, 0x0601, 0x0201],
    "versions": [G, 0x0304, 0x0303, 0x0302, 0x0301],
}
SAFARI_H2 = "2:0;3:100;4:2097152;8:1;9:1|10420225|0|m,s,a,p"


CHROME_SIGALGS = [0x0403, 0x0804, 0x0401, 0x0503, 0x0805, 0x0501, 0x0806, 0x0601]


def chromium_browser(brand, ua, major=131):
    """Chrome 131 as published; 152 as the reference client's capture shows it."""
    if major == 131:
        brands = f'"{brand}";v="131", "Chromium";v="131", "Not_A Brand";v="24"'
        alps, more, sigalgs, last = [17513], [], CHROME_SIGALGS, []
    else:
        brands = f'"Chromium";v="152", "Not?A_Brand";v="24", "{brand}";v="152"'
        alps, more, sigalgs = [17613], [51764], [0x0904, 0x0905, 0x0906] + CHROME_SIGALGS
        last = [("cache-control", "max-age=0")]
    return {
        "hello": {
            "ciphers": CHROME_CIPHERS,
            # Chrome permutes its extensions on every connection; JA4 sorts them.
            "extensions": [G, 0, 5, 10, 11, 13, 16, 18, 23, 27, 35, 43, 45, 51] + alps + more
                          + [65037, 65281, G],
            "groups": [G, 4588, 29, 23, 24],
            "key_share": [G, 4588, 29] if major != 131 else [],
            "sigalgs": sigalgs,
            "versions": [G, 0x0304, 0x0303],
        },
        "headers": [
            ("sec-ch-ua", brands), ("sec-ch-ua-mobile", "?0"),
            ("sec-ch-ua-platform", '"macOS"'), ("upgrade-insecure-requests", "1"),
            ("user-agent", ua), ("accept", CHROME_ACCEPT), ("sec-fetch-site", "none"),
            ("sec-fetch-mode", "navigate"), ("sec-fetch-user", "?1"),
            ("sec-fetch-dest", "document"), ("accept-encoding", "gzip, deflate, br, zstd"),
            ("accept-language", "en-US,en;q=0.9"), ("priority", "u=0, i")] + last,
        "h2": "1:65536;2:0;4:6291456;6:262144|15663105|0|m,a,s,p",
        "permuted": True,
    }


CHROME_UA = ("Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36 (KHTML, like "
             "Gecko) Chrome/131.0.0.0 Safari/537.36")


def safari_browser(ua):
    return {
        "hello": SAFARI_HELLO,
        "headers": [
            ("sec-fetch-dest", "document"), ("user-agent", ua),
            ("accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"),
            ("sec-fetch-site", "none"), ("sec-fetch-mode", "navigate"),
            ("accept-language", "en-US,en;q=0.9"), ("priority", "u=0, i"),
            ("accept-encoding", "gzip, deflate, br")],
        "h2": SAFARI_H2,
    }


def safari27_browser(ua, iphone):
    """As the reference client's capture of Safari 27 shows it."""
    return {
        "hello": {
            "ciphers": [G, 0x1302, 0x1303, 0x1301] + SAFARI_CIPHERS[4:],
            "extensions": [G, 0, 23, 65281, 10, 11, 16, 5, 13, 18, 51, 45, 43, 27, G],
            "groups": [G, 4588, 29, 23, 24, 25],
            "key_share": [G, 4588, 29],
            "sigalgs": SAFARI_HELLO["sigalgs"],
            "versions": [G, 0x0304, 0x0303],
        },
        "headers": [
            ("sec-fetch-dest", "document"), ("user-agent", ua),
            ("accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"),
            ("sec-fetch-site", "same-origin"), ("sec-fetch-mode", "navigate"),
            ("accept-language", "en-US,en;q=0.9"), ("priority", "u=0, i"),
            ("accept-encoding", "gzip, deflate, br, zstd")]
        + ([("upgrade-insecure-requests", "1")] if iphone else []),
        "h2": "2:0;3:100;4:2097152;9:1|10420225|0|m,s,a,p",
    }


def firefox147_browser(major):
    """As the reference client's capture of Firefox 147 shows it."""
    return {
        "hello": {
            "ciphers": [0x1301, 0x1303, 0x1302, 0xC02B, 0xC02F, 0xCCA9, 0xCCA8, 0xC02C, 0xC030,
                        0xC00A, 0xC009, 0xC013, 0xC014, 0x009C, 0x009D, 0x002F, 0x0035],
            "extensions": [0, 23, 65281, 10, 11, 35, 16, 5, 34, 18, 51, 43, 13, 45, 28, 27,
                           65037],
            "groups": [4588, 29, 23, 24, 25, 256, 257],
            "key_share": [4588, 29, 23],
            "sigalgs": [0x0403, 0x0503, 0x0603, 0x0804, 0x0805, 0x0806, 0x0401, 0x0501, 0x0601,
                        0x0203, 0x0201],
            "versions": [0x0304, 0x0303],
        },
        "headers": [
            ("user-agent", f"Mozilla/5.0 (Macintosh; Intel Mac OS X 10.15; rv:{major}.0) "
                           f"Gecko/20100101 Firefox/{major}.0"),
            ("accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"),
            ("accept-language", "en-US,en;q=0.9"), ("accept-encoding", "gzip, deflate, br, zstd"),
            ("upgrade-insecure-requests", "1"), ("sec-fetch-dest", "document"),
            ("sec-fetch-mode", "navigate"), ("sec-fetch-site", "none"), ("sec-fetch-user", "?1"),
            ("priority", "u=0, i"), ("te", "trailers")],
        "h2": "1:65536;2:0;4:131072;5:16384|12517377|0|m,p,a,s",
    }


CHROME152_UA = CHROME_UA.replace("131.0.0.0", "152.0.0.0")

# family: (our profile, curl_cffi target or None, the browser's parameters)
FAMILIES = {
    "Chrome 152 (macOS)": ("chrome_152", "chrome152_macos",
                           chromium_browser("Google Chrome", CHROME152_UA, 152)),
    "Edge 152 (macOS)": ("edge_152", None, chromium_browser(
        "Microsoft Edge", CHROME152_UA + " Edg/152.0.0.0", 152)),
    "Firefox 147 (macOS)": ("firefox_147", "firefox147", firefox147_browser(147)),
    "Safari 27 (macOS)": ("safari_27", "safari270", safari27_browser(
        "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like "
        "Gecko) Version/27.0 Safari/605.1.15", False)),
    "Safari 27 (iPhone)": ("safari_ios_27", "safari270_ios", safari27_browser(
        "Mozilla/5.0 (iPhone; CPU iPhone OS 18_7 like Mac OS X) AppleWebKit/605.1.15 (KHTML, "
        "like Gecko) Version/27.0 Mobile/15E148 Safari/604.1", True)),
    "Chrome 131 (macOS)": ("chrome_131", "chrome131", chromium_browser("Google Chrome", CHROME_UA)),
    "Edge 131 (macOS)": ("edge_131", None, chromium_browser(
        "Microsoft Edge", CHROME_UA + " Edg/131.0.0.0")),
    "Firefox 133 (macOS)": ("firefox_133", "firefox133", {
        "hello": {
            "ciphers": [0x1301, 0x1303, 0x1302, 0xC02B, 0xC02F, 0xCCA9, 0xCCA8, 0xC02C, 0xC030,
                        0xC00A, 0xC009, 0xC013, 0xC014, 0x009C, 0x009D, 0x002F, 0x0035],
            "extensions": [0, 23, 65281, 10, 11, 35, 16, 5, 34, 51, 43, 13, 45, 28, 27, 65037],
            "groups": [4588, 29, 23, 24, 25, 256, 257],
            "sigalgs": [0x0403, 0x0503, 0x0603, 0x0804, 0x0805, 0x0806, 0x0401, 0x0501, 0x0601,
                        0x0203, 0x0201],
            "versions": [0x0304, 0x0303],
        },
        "headers": [
            ("user-agent", "Mozilla/5.0 (Macintosh; Intel Mac OS X 10.15; rv:133.0) "
                           "Gecko/20100101 Firefox/133.0"),
            ("accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"),
            ("accept-language", "en-US,en;q=0.5"), ("accept-encoding", "gzip, deflate, br, zstd"),
            ("upgrade-insecure-requests", "1"), ("sec-fetch-dest", "document"),
            ("sec-fetch-mode", "navigate"), ("sec-fetch-site", "none"), ("sec-fetch-user", "?1"),
            ("priority", "u=0, i"), ("te", "trailers")],
        "h2": "1:65536;2:0;4:131072;5:16384|12517377|0|m,p,a,s",
    }),
    "Safari 18 (macOS)": ("safari_18", "safari180", safari_browser(
        "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like "
        "Gecko) Version/18.0 Safari/605.1.15")),
    "Safari 18 (iPhone)": ("safari_ios_18", "safari180_ios", safari_browser(
        "Mozilla/5.0 (iPhone; CPU iPhone OS 18_0 like Mac OS X) AppleWebKit/605.1.15 (KHTML, "
        "like Gecko) Version/18.0 Mobile/15E148 Safari/604.1")),
}


# ---- measuring, one client per process -----------------------------------------------

CHILD = """
import json, sys
client, name, url, ca_file = sys.argv[1:5]
if client == "ours":
    sys.path.insert(0, {net!r})
    from conftest import _load_module
    native = _load_module()
    engine = native.PyEngine(impersonate=name, ca_pem=open(ca_file, "rb").read())
    request = engine.request("GET", url)
    request.start()
    request.await_response()
    print(bytes(request.read_body()).decode())
else:
    from curl_cffi import requests
    print(requests.get(url, impersonate=name, verify=ca_file).text)
"""


def measure(client, name, url, ca_file):
    out = subprocess.run([sys.executable, "-c", CHILD.format(net=str(NET)), client, name, url,
                          ca_file], capture_output=True, text=True, timeout=120)
    if out.returncode != 0:
        return {"error": (out.stderr.strip().splitlines() or ["failed"])[-1]}
    return json.loads(out.stdout)


def browser_record(params):
    hello = dict(legacy_version=0x0303, point_formats=[0], alpn=["h2", "http/1.1"],
                 key_share=[], sni="localhost", padding=False)
    hello.update(params["hello"])
    hello.update(fs.ja3(hello))
    hello.update(fs.ja4(hello))
    pseudo = [{"m": ":method", "a": ":authority", "s": ":scheme", "p": ":path"}[c]
              for c in params["h2"].rsplit("|", 1)[1].split(",")]
    return {"tls": hello, "http": {"headers": [list(h) for h in params["headers"]],
                                   "akamai": params["h2"], "pseudo": pseudo},
            "permuted": params.get("permuted", False)}


# ---- the table -----------------------------------------------------------------------

def names(values):
    return ",".join("%04x" % v for v in values if not fs.is_grease(v))


def parts(record):
    """The rows of one column, by name; None where the client failed."""
    if "error" in record:
        return None
    tls, http = record["tls"], record["http"]
    h2 = http.get("akamai", "|||").split("|")
    hints = [v for k, v in http["headers"] if k.lower() == "sec-ch-ua"]
    ja3 = tls["ja3_hash"] + (" (varies: extensions permuted)" if record.get("permuted") else "")
    return {
        "header order": ", ".join(k.lower() for k, _ in http["headers"]),
        "header values": "; ".join(f"{k.lower()}: {v}" for k, v in http["headers"]
                                   if k.lower() not in ("sec-ch-ua",)),
        "client hints (sec-ch-ua)": hints[0] if hints else "(none)",
        "cipher suites, in order": names(tls["ciphers"]),
        "extensions (sorted)": names(sorted(tls["extensions"])),
        "supported groups": names(tls["groups"]),
        **({"key share groups": names(tls["key_share"])} if tls.get("key_share") else {}),
        "signature algorithms": names(tls["sigalgs"]),
        "ALPN": ",".join(tls["alpn"]),
        "JA4 a": tls["ja4_a"],
        "JA4 b": tls["ja4_b"],
        "JA4 c": tls["ja4_c"],
        "JA3": ja3,
        "HTTP/2 SETTINGS": h2[0],
        "HTTP/2 window update": h2[1],
        "HTTP/2 pseudo-header order": h2[3],
    }


def cell(value, reference):
    if value is None:
        return "—"
    text = f"`{value}`" if value else "(empty)"
    return text if reference is None or value == reference else f"**≠** {text}"


def table(title, browser, cffi, ours, cffi_name, our_name):
    lines = [f"### {title}", "",
             f"| Part | Browser | curl_cffi `{cffi_name or '—'}` | Ours `{our_name}` |",
             "|---|---|---|---|"]
    for part, reference in browser.items():
        lines.append(f"| {part} | {cell(reference, None)} | "
                     f"{cell(cffi.get(part) if cffi else None, reference)} | "
                     f"{cell(ours.get(part) if ours else None, reference)} |")
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", default=str(ROOT / "docs" / "impersonation.md"))
    args = parser.parse_args()
    import certs

    ca, issued = certs.make_certificates()
    server = fs.FingerprintServer(issued["good"])
    sections = []
    with tempfile.TemporaryDirectory() as tmp:
        ca_file = os.path.join(tmp, "ca.pem")
        ca.cert_pem.write_to_path(ca_file)
        url = f"https://localhost:{server.port}/"
        try:
            for title, (ours_name, cffi_name, params) in FAMILIES.items():
                browser = parts(browser_record(params))
                ours = parts(measure("ours", ours_name, url, ca_file))
                cffi = parts(measure("curl_cffi", cffi_name, url, ca_file)) if cffi_name else None
                sections.append(table(title, browser, cffi, ours, cffi_name, ours_name))
        finally:
            server.stop()
    generated = "\n".join(sections)
    print(generated)
    doc = Path(args.out)
    begin, end = "<!-- fidelity:begin -->", "<!-- fidelity:end -->"
    if doc.exists() and begin in doc.read_text():
        text = doc.read_text()
        head, rest = text.split(begin, 1)
        doc.write_text(head + begin + "\n\n" + generated + "\n" + end + rest.split(end, 1)[1])


if __name__ == "__main__":
    main()
