"""Certificates for the local servers, shared by the network tests and the
benchmarks: a CA made for the run (trustme) and the server certificates it
signs. Nothing here is trusted outside the process that made it."""

import datetime
import ssl
from pathlib import Path

HOST = "127.0.0.1"


def make_certificates():
    """The CA and, by name, the certificates it issued: "good" (127.0.0.1 and
    localhost), "wrong_name" (another host only) and "expired"."""
    import trustme

    ca = trustme.CA()
    now = datetime.datetime.now(datetime.timezone.utc)
    issued = {
        "good": ca.issue_cert(HOST, "localhost"),
        "wrong_name": ca.issue_cert("other.test"),
        "expired": ca.issue_cert(HOST, not_before=now - datetime.timedelta(days=30),
                                 not_after=now - datetime.timedelta(days=1)),
    }
    return ca, issued


def write_pem(cert, directory, name):
    """Writes the certificate chain as NAME.pem and its key as NAME.key in
    `directory` (servers read them from files); returns both paths."""
    pem, key = Path(directory) / f"{name}.pem", Path(directory) / f"{name}.key"
    cert.cert_chain_pems[0].write_to_path(str(pem))
    cert.private_key_pem.write_to_path(str(key))
    return pem, key


def server_context(cert):
    """A TLS server context that presents `cert`."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    cert.configure_cert(context)
    return context
