// The parts of a browser profile that the transports take apart: its header
// entries and the settings of its TLS ClientHello. Plain data, so that the
// profiles need neither libcurl nor the TLS library.
#pragma once

#include <string>

namespace hvcore {

// Where a default header is sent: browsers write some fields only on one
// HTTP version (Connection on HTTP/1.1; TE and Chromium's and Safari's
// priority on HTTP/2 and HTTP/3, which Http2 stands for).
enum class SentOn { Any, Http1, Http2 };

struct ProfileHeader {
  std::string name;  // spelled as the browser writes it on HTTP/1.1
  std::string value;
  SentOn only = SentOn::Any;
};

struct TlsProfile {
  std::string ciphers;         // TLS 1.2 suites, OpenSSL names, in the browser's order
  std::string tls13_ciphers;   // TLS 1.3 suites, in order
  std::string groups;          // supported groups, in order; OpenSSL names and ffdhe2048/3072
  std::string sigalgs;         // signature algorithms, in order
  bool status_request = true;  // OCSP stapling asked for, never required
  bool sct = true;             // signed certificate timestamps asked for, never required
  bool session_ticket = true;
  bool padding = false;  // pads a ClientHello of 256 to 511 bytes to 512, as the browser does
  // Our own TLS library only (not the system OpenSSL):
  bool grease = false;                // GREASE values in suites, groups, extensions and versions
  bool permute_extensions = false;    // a new extension order for every connection
  bool alps = false;                  // application settings offered for h2
  bool ech_grease = false;            // an encrypted-client-hello GREASE extension
  std::string cert_compression;       // offered algorithms in order: "zlib", "brotli", "zstd"
  bool alps_new_codepoint = false;    // application settings on their new code point (17613)
  int key_shares = 0;                 // key shares for the first N groups; 0: the library's choice
  std::string delegated_credentials;  // algorithms offered for them, in order; none is accepted
  int record_size_limit = 0;          // offered (RFC 8449); 0: not offered
  std::string trust_anchors;          // the trust anchor identifiers' payload as sent; empty: none
};

}  // namespace hvcore
