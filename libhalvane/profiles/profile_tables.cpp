// What each browser sends, by era. Desktop browsers are taken as running on
// macOS; safari_ios as Safari on an iPhone. Names are spelled as on HTTP/1.1;
// HTTP/2 writes them in lower case.
#include "profiles/profile_tables.h"

namespace hvcore::profile_data {
namespace {

constexpr auto Any = SentOn::Any;
constexpr auto H1 = SentOn::Http1;
constexpr auto H2 = SentOn::Http2;

// ---- Chromium: Chrome and Edge -------------------------------------------

constexpr Header kChromiumNavigation[] = {
    {"Connection", "keep-alive", H1},
    {"sec-ch-ua", "{brands}"},
    {"sec-ch-ua-mobile", "?0"},
    {"sec-ch-ua-platform", "\"macOS\""},
    {"Upgrade-Insecure-Requests", "1"},
    {"User-Agent", "{ua}"},
    {"Accept", "{accept}"},
    {"Sec-Fetch-Site", "none"},
    {"Sec-Fetch-Mode", "navigate"},
    {"Sec-Fetch-User", "?1"},
    {"Sec-Fetch-Dest", "document"},
    {"Accept-Encoding", "{encoding}"},
    {"Accept-Language", "{language}"},
    // From 124 the RFC 9218 priority of a navigation rides along on HTTP/2
    // and HTTP/3, never on HTTP/1.1.
    {"priority", "u=0, i", H2, 124},
    // The capture of 152 (the reference client's) ends with it; earlier ones
    // did not.
    {"Cache-Control", "max-age=0", Any, 152},
};

constexpr Header kChromiumWebSocket[] = {
    {"Host", ""},
    {"Connection", "Upgrade"},
    {"Pragma", "no-cache"},
    {"Cache-Control", "no-cache"},
    {"User-Agent", "{ua}"},
    {"Upgrade", ""},
    {"Origin", ""},
    {"Sec-WebSocket-Version", ""},
    {"Accept-Encoding", "{encoding}"},
    {"Accept-Language", "{language}"},
    {"Sec-WebSocket-Key", ""},
    {"Sec-WebSocket-Extensions", ""},
    {"Sec-WebSocket-Protocol", ""},
};

constexpr std::string_view kChromiumCiphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "ECDHE-RSA-AES128-SHA:ECDHE-RSA-AES256-SHA:AES128-GCM-SHA256:AES256-GCM-SHA384:"
    "AES128-SHA:AES256-SHA";
constexpr std::string_view kChromiumTls13 =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";
// Chrome 152's trust anchor identifiers (extension 51764), as measured: a
// list of length-prefixed relative object identifiers.
constexpr std::string_view kChromeTrustAnchors{
    "\x00\xb8\x05\x82\xdf\x13\x02\x0e\x05\x82\xdf\x13\x02\x0d\x04\xd6\x79\x09\x08"
    "\x04\xd6\x79\x09\x0a\x04\xd6\x79\x09\x0b\x04\xd6\x79\x09\x05\x08\x83\x9a\x64"
    "\x8c\x9b\x2d\x01\x09\x05\x82\xdf\x13\x02\x13\x05\x82\xdf\x13\x02\x0f\x08\x83"
    "\x9a\x64\x8c\x9b\x2d\x01\x0b\x08\x83\x9a\x64\x8c\x9b\x2d\x01\x07\x08\x83\x9a"
    "\x64\x8c\x9b\x2d\x01\x0d\x04\xd6\x79\x09\x06\x04\xd6\x79\x09\x01\x04\xd6\x79"
    "\x09\x07\x08\x83\x9a\x64\x8c\x9b\x2d\x01\x12\x05\x82\xdf\x13\x02\x01\x05\x82"
    "\xdf\x13\x02\x14\x05\x82\xdf\x13\x02\x12\x04\xd6\x79\x09\x0d\x05\x82\xdf\x13"
    "\x02\x06\x04\xd6\x79\x09\x0f\x08\x83\x9a\x64\x8c\x9b\x2d\x01\x0c\x08\x83\x9a"
    "\x64\x8c\x9b\x2d\x01\x08\x04\xd6\x79\x09\x04\x08\x83\x9a\x64\x8c\x9b\x2d\x01"
    "\x0a\x04\xd6\x79\x09\x0c\x08\x83\x9a\x64\x8c\x9b\x2d\x01\x13",
    186};

constexpr std::string_view kChromiumSigalgs =
    "ECDSA+SHA256:rsa_pss_rsae_sha256:RSA+SHA256:ECDSA+SHA384:rsa_pss_rsae_sha384:RSA+SHA384:"
    "rsa_pss_rsae_sha512:RSA+SHA512";

// Until 116 the ClientHello was small enough for BoringSSL to pad it; the
// encrypted-client-hello GREASE of 117 made it too long for that.
constexpr Tls kChromiumTls110 = {.ciphers = kChromiumCiphers,
                                 .tls13_ciphers = kChromiumTls13,
                                 .groups = "X25519:P-256:P-384",
                                 .sigalgs = kChromiumSigalgs,
                                 .sct = true,
                                 .padding = true,
                                 .grease = true,
                                 .permute_extensions = true,
                                 .alps = true,
                                 .cert_compression = "brotli"};
constexpr Tls kChromiumTls117 = [] {
  Tls t = kChromiumTls110;
  t.padding = false;
  t.ech_grease = true;
  return t;
}();

// 131 brought the post-quantum group (124 - 130 had a draft one AWS-LC lacks).
// Then (see docs/impersonation.md for what is measured and what is derived):
// application settings on their new code point from 133, and what the
// capture of 152 adds: ML-DSA signatures accepted and the trust anchor
// identifiers it trusts.
constexpr Tls kChromiumTls131 = [] {
  Tls t = kChromiumTls117;
  t.groups = "X25519MLKEM768:X25519:P-256:P-384";
  return t;
}();
constexpr Tls kChromiumTls133 = [] {
  Tls t = kChromiumTls131;
  t.alps_new_codepoint = true;
  return t;
}();
constexpr Tls kChromiumTls152 = [] {
  Tls t = kChromiumTls133;
  t.sigalgs =
      "mldsa44:mldsa65:mldsa87:ECDSA+SHA256:rsa_pss_rsae_sha256:RSA+SHA256:ECDSA+SHA384:"
      "rsa_pss_rsae_sha384:RSA+SHA384:rsa_pss_rsae_sha512:RSA+SHA512";
  t.trust_anchors = kChromeTrustAnchors;
  return t;
}();

constexpr Era kChromiumEras[] = {
    {.first = 110,
     .navigation = kChromiumNavigation,
     .websocket = kChromiumWebSocket,
     .accept = "text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,"
               "image/apng,*/*;q=0.8,application/signed-exchange;v=b3;q=0.7",
     .encoding = "gzip, deflate, br",
     .tls = &kChromiumTls110,
     .http2 = "1:65536;2:0;4:6291456;6:262144|15663105|0|m,a,s,p"},
    {.first = 117, .tls = &kChromiumTls117},
    {.first = 123, .encoding = "gzip, deflate, br, zstd"},
    {.first = 131, .tls = &kChromiumTls131},
    {.first = 133, .tls = &kChromiumTls133},
    {.first = 152, .tls = &kChromiumTls152},
};

// ---- Firefox ------------------------------------------------------------------

constexpr Header kFirefoxNavigation[] = {
    {"User-Agent", "{ua}"},
    {"Accept", "{accept}"},
    {"Accept-Language", "{language}"},
    {"Accept-Encoding", "{encoding}"},
    {"Connection", "keep-alive", H1},
    {"Upgrade-Insecure-Requests", "1"},
    {"Sec-Fetch-Dest", "document"},
    {"Sec-Fetch-Mode", "navigate"},
    {"Sec-Fetch-Site", "none"},
    {"Sec-Fetch-User", "?1"},
    // 128 sends the navigation's priority, on every HTTP version.
    {"Priority", "u=0, i", Any, 128},
    {"TE", "trailers", H2},
};

constexpr Header kFirefoxWebSocket[] = {
    {"Host", ""},
    {"User-Agent", "{ua}"},
    {"Accept", "*/*"},
    {"Accept-Language", "{language}"},
    {"Accept-Encoding", "{encoding}"},
    {"Sec-WebSocket-Version", ""},
    {"Origin", ""},
    {"Sec-WebSocket-Protocol", ""},
    {"Sec-WebSocket-Extensions", ""},
    {"Sec-WebSocket-Key", ""},
    {"Connection", "keep-alive, Upgrade"},
    {"Sec-Fetch-Dest", "websocket"},
    {"Sec-Fetch-Mode", "websocket"},
    {"Sec-Fetch-Site", "same-origin"},
    {"Pragma", "no-cache"},
    {"Cache-Control", "no-cache"},
    {"Upgrade", ""},
};

constexpr std::string_view kFirefoxCiphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-AES256-SHA:ECDHE-ECDSA-AES128-SHA:ECDHE-RSA-AES128-SHA:ECDHE-RSA-AES256-SHA:"
    "AES128-GCM-SHA256:AES256-GCM-SHA384:AES128-SHA:AES256-SHA";
constexpr std::string_view kFirefoxTls13 =
    "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384";
constexpr std::string_view kFirefoxGroups = "X25519:P-256:P-384:P-521:ffdhe2048:ffdhe3072";
// The SHA-1 entries are offered only where OpenSSL's security level allows.
constexpr std::string_view kFirefoxSigalgs =
    "ECDSA+SHA256:ECDSA+SHA384:ECDSA+SHA512:rsa_pss_rsae_sha256:rsa_pss_rsae_sha384:"
    "rsa_pss_rsae_sha512:RSA+SHA256:RSA+SHA384:RSA+SHA512:ECDSA+SHA1:RSA+SHA1";

// Padded until encrypted-client-hello GREASE lengthened the hello (119),
// which came with certificate compression. NSS sends key shares for X25519
// and P-256, offers delegated credentials (ECDSA only) and a record size limit.
constexpr Tls kFirefoxTls115 = {
    .ciphers = kFirefoxCiphers,
    .tls13_ciphers = kFirefoxTls13,
    .groups = kFirefoxGroups,
    .sigalgs = kFirefoxSigalgs,
    .padding = true,
    .key_shares = 2,
    .delegated_credentials = "ECDSA+SHA256:ECDSA+SHA384:ECDSA+SHA512:ECDSA+SHA1",
    .record_size_limit = 16385};
constexpr Tls kFirefoxTls119 = [] {
  Tls t = kFirefoxTls115;
  t.padding = false;
  t.ech_grease = true;
  t.cert_compression = "zlib,brotli,zstd";
  return t;
}();

// 133 (the first version whose values we have with it) sends the
// post-quantum group and a third key share for it; the capture of 147 also
// asks for certificate timestamps.
constexpr Tls kFirefoxTls133 = [] {
  Tls t = kFirefoxTls119;
  t.groups = "X25519MLKEM768:X25519:P-256:P-384:P-521:ffdhe2048:ffdhe3072";
  t.key_shares = 3;
  return t;
}();
constexpr Tls kFirefoxTls147 = [] {
  Tls t = kFirefoxTls133;
  t.sct = true;
  return t;
}();

constexpr Era kFirefoxEras[] = {
    {.first = 115,
     .navigation = kFirefoxNavigation,
     .websocket = kFirefoxWebSocket,
     .accept = "text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,*/"
               "*;q=0.8",
     .encoding = "gzip, deflate, br",
     .tls = &kFirefoxTls115,
     .http2 = "1:65536;2:0;4:131072;5:16384|12517377|0|m,p,a,s"},
    {.first = 119, .tls = &kFirefoxTls119},
    {.first = 126, .encoding = "gzip, deflate, br, zstd"},
    {.first = 128, .accept = "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"},
    {.first = 133, .tls = &kFirefoxTls133},
    {.first = 147, .language = "en-US,en;q=0.9", .tls = &kFirefoxTls147},
};

// ---- Safari (macOS and iOS) ------------------------------------------------

constexpr Header kSafariNavigation[] = {
    {"Accept", "{accept}"},
    {"Sec-Fetch-Site", "none"},
    {"Accept-Encoding", "{encoding}"},
    {"Sec-Fetch-Mode", "navigate"},
    {"User-Agent", "{ua}"},
    {"Accept-Language", "{language}"},
    {"Sec-Fetch-Dest", "document"},
    {"Connection", "keep-alive", H1},
};

// Safari 18 reordered the navigation and added its priority, which it sends
// on HTTP/2 and HTTP/3 only.
constexpr Header kSafariNavigation18[] = {
    {"Sec-Fetch-Dest", "document"},   {"User-Agent", "{ua}"},
    {"Accept", "{accept}"},           {"Sec-Fetch-Site", "none"},
    {"Sec-Fetch-Mode", "navigate"},   {"Accept-Language", "{language}"},
    {"Priority", "u=0, i", H2},       {"Accept-Encoding", "{encoding}"},
    {"Connection", "keep-alive", H1},
};

// 26 as the capture of 27 shows it: typed navigations reported as
// same-origin, and the iPhone asking for secure upgrades last.
constexpr Header kSafariNavigation26[] = {
    {"Sec-Fetch-Dest", "document"},   {"User-Agent", "{ua}"},
    {"Accept", "{accept}"},           {"Sec-Fetch-Site", "same-origin"},
    {"Sec-Fetch-Mode", "navigate"},   {"Accept-Language", "{language}"},
    {"Priority", "u=0, i", H2},       {"Accept-Encoding", "{encoding}"},
    {"Connection", "keep-alive", H1},
};
constexpr Header kSafariIosNavigation26[] = {
    {"Sec-Fetch-Dest", "document"},
    {"User-Agent", "{ua}"},
    {"Accept", "{accept}"},
    {"Sec-Fetch-Site", "same-origin"},
    {"Sec-Fetch-Mode", "navigate"},
    {"Accept-Language", "{language}"},
    {"Priority", "u=0, i", H2},
    {"Accept-Encoding", "{encoding}"},
    {"Upgrade-Insecure-Requests", "1"},
    {"Connection", "keep-alive", H1},
};

constexpr Header kSafariWebSocket[] = {
    {"Host", ""},
    {"Upgrade", ""},
    {"Connection", "Upgrade"},
    {"Origin", ""},
    {"Pragma", "no-cache"},
    {"Cache-Control", "no-cache"},
    {"Sec-WebSocket-Key", ""},
    {"Sec-WebSocket-Version", ""},
    {"Sec-WebSocket-Extensions", ""},
    {"Sec-WebSocket-Protocol", ""},
    {"User-Agent", "{ua}"},
    {"Accept-Language", "{language}"},
    {"Accept-Encoding", "{encoding}"},
};

// Safari offers no session ticket extension, and 3DES last (left out where
// OpenSSL's security level forbids it, as are the SHA-1 signatures).
constexpr std::string_view kSafariCiphers =
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-CHACHA20-POLY1305:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-CHACHA20-POLY1305:"
    "ECDHE-ECDSA-AES256-SHA:ECDHE-ECDSA-AES128-SHA:ECDHE-RSA-AES256-SHA:ECDHE-RSA-AES128-SHA:"
    "AES256-GCM-SHA384:AES128-GCM-SHA256:AES256-SHA:AES128-SHA:"
    "ECDHE-ECDSA-DES-CBC3-SHA:ECDHE-RSA-DES-CBC3-SHA:DES-CBC3-SHA";
constexpr std::string_view kSafariTls13 =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";
constexpr std::string_view kSafariGroups = "X25519:P-256:P-384:P-521";
// Safari lists rsa_pss_rsae_sha384 twice (OpenSSL takes each algorithm once).
constexpr Tls kSafariTls16 = {
    .ciphers = kSafariCiphers,
    .tls13_ciphers = kSafariTls13,
    .groups = kSafariGroups,
    .sigalgs =
        "ECDSA+SHA256:rsa_pss_rsae_sha256:RSA+SHA256:ECDSA+SHA384:ECDSA+SHA1:"
        "rsa_pss_rsae_sha384:rsa_pss_rsae_sha384:RSA+SHA384:rsa_pss_rsae_sha512:RSA+SHA512:"
        "RSA+SHA1",
    .sct = true,
    .session_ticket = false,
    .padding = true,
    .grease = true,
    .cert_compression = "zlib"};
// 18 dropped ECDSA with SHA-1.
constexpr Tls kSafariTls18 = [] {
  Tls t = kSafariTls16;
  t.sigalgs =
      "ECDSA+SHA256:rsa_pss_rsae_sha256:RSA+SHA256:ECDSA+SHA384:rsa_pss_rsae_sha384:"
      "rsa_pss_rsae_sha384:RSA+SHA384:rsa_pss_rsae_sha512:RSA+SHA512:RSA+SHA1";
  return t;
}();

// 26 (derived from the capture of 27): the post-quantum group, the TLS 1.3
// suites reordered, no padding, zstd; the iPhone's user agent keeps its
// system at 18.
constexpr Tls kSafariTls26 = [] {
  Tls t = kSafariTls18;
  t.tls13_ciphers = "TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_128_GCM_SHA256";
  t.groups = "X25519MLKEM768:X25519:P-256:P-384:P-521";
  t.padding = false;
  return t;
}();

#define SAFARI_ERAS_TO_18                                                                    \
  {.first = 16,                                                                              \
   .navigation = kSafariNavigation,                                                          \
   .websocket = kSafariWebSocket,                                                            \
   .accept = "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8",              \
   .encoding = "gzip, deflate, br",                                                          \
   .version = "16.6",                                                                        \
   .tls = &kSafariTls16,                                                                     \
   .http2 = "4:4194304;3:100|10485760|0|m,s,p,a"},                                           \
      {.first = 17, .version = "17.0"}, {                                                    \
    .first = 18, .navigation = kSafariNavigation18, .version = "18.0", .tls = &kSafariTls18, \
    .http2 = "2:0;3:100;4:2097152;8:1;9:1|10420225|0|m,s,a,p"                                \
  }

constexpr Era kSafariEras[] = {
    SAFARI_ERAS_TO_18,
    {.first = 26,
     .navigation = kSafariNavigation26,
     .encoding = "gzip, deflate, br, zstd",
     .version = "26.0",
     .tls = &kSafariTls26,
     .http2 = "2:0;3:100;4:2097152;9:1|10420225|0|m,s,a,p"},
    {.first = 27, .version = "27.0"},
};
constexpr Era kSafariIosEras[] = {
    SAFARI_ERAS_TO_18,
    {.first = 26,
     .navigation = kSafariIosNavigation26,
     .encoding = "gzip, deflate, br, zstd",
     .version = "26.0",
     .os = "18_6",
     .tls = &kSafariTls26,
     .http2 = "2:0;3:100;4:2097152;9:1|10420225|0|m,s,a,p"},
    {.first = 27, .version = "27.0", .os = "18_7"},
};
#undef SAFARI_ERAS_TO_18

constexpr Family kFamilies[] = {
    {"chrome", 110, 152,
     "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/{major}.0.0.0 Safari/537.36",
     "Google Chrome", "en-US,en;q=0.9", kChromiumEras},
    {"edge", 110, 152,
     "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/{major}.0.0.0 Safari/537.36 Edg/{major}.0.0.0",
     "Microsoft Edge", "en-US,en;q=0.9", kChromiumEras},
    {"firefox", 115, 155,
     "Mozilla/5.0 (Macintosh; Intel Mac OS X 10.15; rv:{major}.0) Gecko/20100101 "
     "Firefox/{major}.0",
     "", "en-US,en;q=0.5", kFirefoxEras},
    {"safari", 16, 27,
     "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) "
     "Version/{version} Safari/605.1.15",
     "", "en-US,en;q=0.9", kSafariEras, true},
    {"safari_ios", 16, 27,
     "Mozilla/5.0 (iPhone; CPU iPhone OS {os_} like Mac OS X) AppleWebKit/605.1.15 (KHTML, "
     "like Gecko) Version/{version} Mobile/15E148 Safari/604.1",
     "", "en-US,en;q=0.9", kSafariIosEras, true},
};

}  // namespace

std::span<const Family> families() { return kFamilies; }

}  // namespace hvcore::profile_data
