// What the WebSocket layer queues for its consumers: one value per Core event.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "client/error.h"

namespace halvane {

// Core message types 1 and 2 are the RFC 6455 text and binary opcodes.
enum class MessageKind : uint8_t { Text, Binary, Other };

MessageKind message_kind(int32_t core_type);

// A terminal failure: reported by the Core, or raised by this layer for a
// queue overflow (response code 0) or a failing callback (response code -1).
struct WebSocketFailure {
  Error error;
  std::string message;  // not part of the display text
  int32_t net_error = 0;
  int32_t response_code = 0;

  // "BufferLimit (Chromium net error 0, response 0)".
  std::string display() const;
};

struct WebSocketEvent {
  struct Open {
    std::string protocol;
    std::string extensions;
  };
  struct Message {
    std::vector<uint8_t> data;
    MessageKind kind = MessageKind::Binary;
    bool fin = true;  // stored as the Core gave it, never interpreted here
  };
  struct Closing {};
  struct Closed {
    uint16_t code = 0;
    std::string reason;
    bool was_clean = false;
  };
  using Failure = WebSocketFailure;

  std::variant<Open, Message, Closing, Closed, Failure> value;

  // Bytes this event counts against the queue's budget, saturating at 2^32 - 1.
  uint32_t size() const;
  // Closed and Failure end the stream.
  bool is_terminal() const;

  template <typename T>
  const T *get_if() const {
    return std::get_if<T>(&value);
  }
};

}  // namespace halvane
