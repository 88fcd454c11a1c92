"""Certificates for the local servers, shared by the network tests and the
benchmarks: a CA made for the run (trustme) and the server certificates it
signs, and certificates made to measure in its name (`issue`), some of which
a browser refuses. Nothing here is trusted outside the process that made
it."""

import datetime
import ipaddress
import math
import secrets
import ssl
import tempfile
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


def server_context(cert, legacy=False):
    """A TLS server context that presents `cert`. `legacy`: OpenSSL's security
    level 0, without which it refuses to load a weak key or a SHA-1 signature."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    if legacy:
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
    cert.configure_cert(context)
    return context


# ---- certificates made to measure ----------------------------------------------

class Issued:
    """A certificate made here, used as trustme's are (`configure_cert`)."""

    def __init__(self, cert, key):
        from cryptography.hazmat.primitives import serialization

        self.pem = cert.public_bytes(serialization.Encoding.PEM)
        self.key_pem = key.private_bytes(serialization.Encoding.PEM,
                                         serialization.PrivateFormat.PKCS8,
                                         serialization.NoEncryption())

    def configure_cert(self, context):
        with tempfile.TemporaryDirectory() as directory:
            pem, key = Path(directory) / "cert.pem", Path(directory) / "key.pem"
            pem.write_bytes(self.pem)
            key.write_bytes(self.key_pem)
            context.load_cert_chain(str(pem), str(key))


def _probable_prime(bits):
    while True:
        n = secrets.randbits(bits) | (3 << (bits - 2)) | 1
        d, s = n - 1, 0
        while d % 2 == 0:
            d, s = d // 2, s + 1

        def composite_witness(a):
            x = pow(a, d, n)
            if x in (1, n - 1):
                return False
            for _ in range(s - 1):
                x = pow(x, 2, n)
                if x == n - 1:
                    return False
            return True

        if not any(composite_witness(secrets.randbelow(n - 3) + 2) for _ in range(40)):
            return n


def weak_rsa_key(bits=768):
    """An RSA key below what `cryptography` agrees to generate."""
    from cryptography.hazmat.primitives.asymmetric import rsa

    e = 65537
    while True:
        p, q = _probable_prime(bits // 2), _probable_prime(bits // 2)
        if p != q and math.gcd(e, (p - 1) * (q - 1)) == 1:
            break
    d = pow(e, -1, (p - 1) * (q - 1))
    numbers = rsa.RSAPrivateNumbers(p, q, d, rsa.rsa_crt_dmp1(d, p), rsa.rsa_crt_dmq1(d, q),
                                    rsa.rsa_crt_iqmp(p, q), rsa.RSAPublicNumbers(e, p * q))
    return numbers.private_key()


def _der(tag, body):
    size = len(body)
    if size < 0x80:
        return bytes([tag, size]) + body
    octets = size.to_bytes((size.bit_length() + 7) // 8, "big")
    return bytes([tag, 0x80 | len(octets)]) + octets + body


def _der_header(element):
    """The sizes of a DER element's header and contents."""
    size = element[1]
    if size < 0x80:
        return 2, size
    return 2 + (size & 0x7F), int.from_bytes(element[2:2 + (size & 0x7F)], "big")


def _der_fields(sequence):
    """The elements of a DER sequence, each with its header."""
    header, _ = _der_header(sequence)
    body, fields = sequence[header:], []
    while body:
        header, size = _der_header(body)
        fields.append(body[:header + size])
        body = body[header + size:]
    return fields


# ecdsa-with-SHA1 (1.2.840.10045.4.1) as an AlgorithmIdentifier.
_ECDSA_SHA1 = bytes.fromhex("300906072a8648ce3d0401")


def _signed_with_sha1(cert, signer):
    """`cert` signed again by the (EC) key `signer` over SHA-1, which
    `cryptography` no longer writes itself."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import ec

    fields = _der_fields(cert.tbs_certificate_bytes)
    fields[2] = _ECDSA_SHA1  # version, serial, then the signature algorithm
    tbs = _der(0x30, b"".join(fields))
    signature = signer.sign(tbs, ec.ECDSA(hashes.SHA1()))
    return x509.load_der_x509_certificate(
        _der(0x30, tbs + _ECDSA_SHA1 + _der(0x03, b"\0" + signature)))


def issue(ca, names=(HOST, "localhost"), common_name=None, uris=(), digest="sha256", key=None,
          forged=False):
    """A leaf certificate in `ca`'s name (a trustme CA): `names` become DNS or
    IP subject alternative names, `uris` URI ones (no extension without
    either); signed over `digest` ("sha256" or "sha1") by the CA's key, or
    when `forged` by another key; `key` is the leaf's own (a fresh P-256 one
    by default)."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    ca_cert = x509.load_pem_x509_certificate(ca.cert_pem.bytes())
    ca_key = serialization.load_pem_private_key(ca.private_key_pem.bytes(), None)
    key = key or ec.generate_private_key(ec.SECP256R1())
    now = datetime.datetime.now(datetime.timezone.utc)
    subject = [x509.NameAttribute(NameOID.COMMON_NAME, common_name)] if common_name else []
    builder = (x509.CertificateBuilder()
               .subject_name(x509.Name(subject))
               .issuer_name(ca_cert.subject)
               .public_key(key.public_key())
               .serial_number(x509.random_serial_number())
               .not_valid_before(now - datetime.timedelta(hours=1))
               .not_valid_after(now + datetime.timedelta(days=30))
               .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
               .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(
                   ca_key.public_key()), critical=False))
    alternatives = []
    for name in names:
        try:
            alternatives.append(x509.IPAddress(ipaddress.ip_address(name)))
        except ValueError:
            alternatives.append(x509.DNSName(name))
    alternatives += [x509.UniformResourceIdentifier(uri) for uri in uris]
    if alternatives:
        builder = builder.add_extension(x509.SubjectAlternativeName(alternatives), critical=False)
    signer = ec.generate_private_key(ec.SECP256R1()) if forged else ca_key
    cert = builder.sign(signer, hashes.SHA256())
    if digest == "sha1":
        cert = _signed_with_sha1(cert, signer)
    return Issued(cert, key)


def make_refused_certificates(ca):
    """Certificates in `ca`'s name that a browser refuses though it trusts
    `ca`, by kind: only a common name ("localhost" or 127.0.0.1), a URI as
    the only alternative name, a SHA-1 signature, an RSA-768 key, a
    signature that is not the CA's."""
    return {
        "no_san_name": issue(ca, names=(), common_name="localhost"),
        "no_san_address": issue(ca, names=(), common_name=HOST),
        "uri_san_only": issue(ca, names=(), common_name=HOST, uris=[f"https://{HOST}/"]),
        "sha1": issue(ca, digest="sha1"),
        "rsa_768": issue(ca, key=weak_rsa_key(768)),
        "forged": issue(ca, forged=True),
    }
