#include "websocket/proxy_connect.h"

namespace hvcore {

std::string base64_encode(std::string_view data) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    const uint32_t v = static_cast<uint8_t>(data[i]) << 16 |
                       static_cast<uint8_t>(data[i + 1]) << 8 | static_cast<uint8_t>(data[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const size_t rest = data.size() - i;
  if (rest > 0) {
    uint32_t v = static_cast<uint8_t>(data[i]) << 16;
    if (rest == 2) v |= static_cast<uint8_t>(data[i + 1]) << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string connect_request(const std::string &host, uint16_t port, const std::string &username,
                            const std::string &password, const std::string &user_agent) {
  const bool ipv6 = host.find(':') != std::string::npos;
  const std::string authority = (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
  std::string request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
  if (!username.empty() || !password.empty())
    request += "Proxy-Authorization: Basic " + base64_encode(username + ":" + password) + "\r\n";
  if (!user_agent.empty()) request += "User-Agent: " + user_agent + "\r\n";
  request += "Proxy-Connection: Keep-Alive\r\n\r\n";
  return request;
}

}  // namespace hvcore
