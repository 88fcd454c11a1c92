// What the HTTP cache stores a response under: one key for every spelling of
// a URL, and whether a caller's Host names the URL's own authority.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "base/url.h"

namespace hvcore {
namespace {

struct KeyCase {
  const char *url;
  std::optional<std::string> key;
};

TEST(CacheKey, OneKeyForEverySpelling) {
  const std::vector<KeyCase> cases = {
      {"http://127.0.0.1:8080/a/b?q=1", "http://127.0.0.1:8080/a/b?q=1"},
      // The fragment is never sent.
      {"http://h/x#frag", "http://h/x"},
      {"http://h/x?q#frag", "http://h/x?q"},
      // Scheme and host in lower case.
      {"HTTP://LOCALHOST/X", "http://localhost/X"},
      {"http://[::FFFF:1]/", "http://[::ffff:1]/"},
      // The default port, given or not, explicit or empty.
      {"http://h:80/x", "http://h/x"},
      {"http://h:080/x", "http://h/x"},
      {"http://h:/x", "http://h/x"},
      {"https://h:443/x", "https://h/x"},
      {"http://[::1]:80/", "http://[::1]/"},
      {"http://h:443/x", "http://h:443/x"},
      {"https://h:80/x", "https://h:80/x"},
      // An empty path is "/".
      {"http://h", "http://h/"},
      {"http://h?q", "http://h/?q"},
      // Credentials are the request's, not the resource's, and stay off disk.
      {"http://alice:pw@h/x", "http://h/x"},
      {"http://alice@h/x", "http://h/x"},
      // Unreserved characters plain, other encodings with upper-case digits.
      {"http://h/%7Euser", "http://h/~user"},
      {"http://h/%7euser", "http://h/~user"},
      {"http://h/%41%7a%30%2D%2E%5F", "http://h/Az0-._"},
      {"http://h/a%2fb%3F", "http://h/a%2Fb%3F"},
      {"http://h/caf%c3%a9", "http://h/caf%C3%A9"},
      {"http://h/caf\xc3\xa9", "http://h/caf%C3%A9"},
      {"http://h/a{b}", "http://h/a%7Bb%7D"},
      {"http://h/a%7Bb%7d", "http://h/a%7Bb%7D"},
      {"http://h/50%", "http://h/50%"},
      {"http://h/a%zz", "http://h/a%zz"},
      {"http://h/x?a=%7e&b=%2f&c=%41", "http://h/x?a=~&b=%2F&c=A"},
      {"http://h/x?", "http://h/x?"},  // sent with its '?'
      // Dot-segments, also those an encoding hid.
      {"http://h/a/./b/../c", "http://h/a/c"},
      {"http://h/a/%2E%2E/b", "http://h/b"},
      {"http://h/a/%2e/b", "http://h/a/b"},
      {"http://h/a/%2E", "http://h/a/"},
      {"http://h/a/b/%2E%2E", "http://h/a/"},
      {"http://h/%2E%2E", "http://h/"},
      {"http://h/%2E%2E/%2E%2E/x", "http://h/x"},
      {"http://h/a//b/", "http://h/a//b/"},
      {"http://h/.a/..b", "http://h/.a/..b"},
      // Not a URL a request can have.
      {"", std::nullopt},
      {"/x", std::nullopt},
      {"ftp://h/x", std::nullopt},
      {"ws://h/x", std::nullopt},
      {"http://h/a b", std::nullopt},
      {"http://:80/x", std::nullopt},
      {"http://h:99999/x", std::nullopt},
  };
  for (const KeyCase &c : cases) EXPECT_EQ(cache_key(c.url), c.key) << c.url;
}

struct HostCase {
  const char *url;
  const char *host;
  bool names;
};

TEST(CacheKey, HostNamesTheUrlsAuthority) {
  const std::vector<HostCase> cases = {
      {"http://127.0.0.1:8080/x", "127.0.0.1:8080", true},
      {"http://h/x", "h", true},
      {"http://h/x", "H", true},
      {"http://h/x", "h:80", true},
      {"http://h:80/x", "h", true},
      {"http://h/x", " h\t", true},
      {"https://h/x", "h:443", true},
      {"http://[::1]:8080/", "[::1]:8080", true},
      {"http://alice:pw@h/x", "h", true},
      {"http://127.0.0.1:8080/x", "127.0.0.1", false},
      {"http://127.0.0.1:8080/x", "127.0.0.1:8081", false},
      {"http://127.0.0.1:8080/x", "evil.test:8080", false},
      {"http://h/x", "h:443", false},
      {"https://h/x", "h:80", false},
      {"http://h/x", "", false},
      {"http://h/x", "h/x", false},
      {"http://h/x", "a@h", false},
      {"http://h/x", "%68", false},
      {"http://h/x", "h:8o", false},
      {"http://h/x", "h h", false},
  };
  for (const HostCase &c : cases)
    EXPECT_EQ(names_authority(c.url, c.host), c.names) << c.url << " / " << c.host;
}

}  // namespace
}  // namespace hvcore
