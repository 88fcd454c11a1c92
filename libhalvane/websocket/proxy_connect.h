// The HTTP CONNECT request that opens a tunnel through a proxy.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace hvcore {

std::string base64_encode(std::string_view data);

// "CONNECT host:port HTTP/1.1" with Host, Basic credentials when a user name
// or password is set, and the User-Agent when not empty.
std::string connect_request(const std::string &host, uint16_t port, const std::string &username,
                            const std::string &password, const std::string &user_agent);

}  // namespace hvcore
