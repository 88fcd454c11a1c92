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
// which came with certificate compression.
constexpr Tls kFirefoxTls115 = {.ciphers = kFirefoxCiphers,
                                .tls13_ciphers = kFirefoxTls13,
                                .groups = kFirefoxGroups,
                                .sigalgs = kFirefoxSigalgs,
                                .padding = true};
constexpr Tls kFirefoxTls119 = [] {
  Tls t = kFirefoxTls115;
  t.padding = false;
  t.ech_grease = true;
  t.cert_compression = "zlib,brotli,zstd";
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

constexpr Era kSafariEras[] = {
    {.first = 16,
     .navigation = kSafariNavigation,
     .websocket = kSafariWebSocket,
     .accept = "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8",
     .encoding = "gzip, deflate, br",
     .version = "16.6",
     .tls = &kSafariTls16,
     .http2 = "4:4194304;3:100|10485760|0|m,s,p,a"},
    {.first = 17, .version = "17.0"},
    {.first = 18,
     .navigation = kSafariNavigation18,
     .version = "18.0",
     .tls = &kSafariTls18,
     .http2 = "2:0;3:100;4:2097152;8:1;9:1|10420225|0|m,s,a,p"},
};

constexpr Family kFamilies[] = {
    {"chrome", 110, 131,
     "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/{major}.0.0.0 Safari/537.36",
     "Google Chrome", "en-US,en;q=0.9", kChromiumEras},
    {"edge", 110, 131,
     "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/{major}.0.0.0 Safari/537.36 Edg/{major}.0.0.0",
     "Microsoft Edge", "en-US,en;q=0.9", kChromiumEras},
    {"firefox", 115, 133,
     "Mozilla/5.0 (Macintosh; Intel Mac OS X 10.15; rv:{major}.0) Gecko/20100101 "
     "Firefox/{major}.0",
     "", "en-US,en;q=0.5", kFirefoxEras},
    {"safari", 16, 18,
     "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) "
     "Version/{version} Safari/605.1.15",
     "", "en-US,en;q=0.9", kSafariEras},
    {"safari_ios", 16, 18,
     "Mozilla/5.0 (iPhone; CPU iPhone OS {version_} like Mac OS X) AppleWebKit/605.1.15 (KHTML, "
     "like Gecko) Version/{version} Mobile/15E148 Safari/604.1",
     "", "en-US,en;q=0.9", kSafariEras},
};

}  // namespace

std::span<const Family> families() { return kFamilies; }

}  // namespace hvcore::profile_data
