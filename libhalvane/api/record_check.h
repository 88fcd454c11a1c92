// Reading the caller's records: every pointer, size, ABI number, enum value
// and text is checked before anything is copied into the Core's own settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "base/settings.h"
#include "halvane/hv_abi.h"

namespace hvcore {

// RFC 9110 token: the form of methods and header names.
bool is_token(std::string_view text);

// RFC 9110 field value: no control characters but horizontal tab, so that
// nothing can end the line early, smuggle another header or reach the peer
// raw.
bool is_header_value(std::string_view text);

// The most a request or handshake head may hold: the request line and every
// header line. Servers refuse far less; larger heads only tie up the
// network thread and the connection.
inline constexpr size_t kMaxRequestHead = 256 * 1024;

// The length a request's headers declare for its body: one or more
// Content-Length fields, all the same run of digits. Nothing otherwise.
std::optional<uint64_t> declared_content_length(const std::vector<HeaderField> &headers);

// Reads the extension records (hv_abi.h) into settings already read from the
// base record; returns a result code.
int32_t read_request_options(const hv_ext_request_options *options, RequestSettings &settings);
int32_t read_websocket_options(const hv_ext_websocket_options *options,
                               WebSocketSettings &settings);

// Fills `out` from the engine record; returns a result code.
int32_t read_engine_record(const hv_engine_record *record, EngineSettings &out);

// Fills `out` and `callbacks` from the request record; returns a result code.
int32_t read_request_record(const hv_request_record *record, RequestSettings &settings,
                            Callbacks &callbacks);

// Fills `settings` and `callbacks` from the WebSocket record; returns a
// result code.
int32_t read_websocket_record(const hv_websocket_record *record, WebSocketSettings &settings,
                              WebSocketCallbacks &callbacks);

}  // namespace hvcore
