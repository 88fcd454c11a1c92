// A thread-safe callable run after every admitted Core event of a request or
// WebSocket, on the Core thread that delivered it, with no layer lock held.
#pragma once

#include <functional>
#include <memory>

namespace halvane {

using EventCallback = std::function<void()>;
using EventCallbackPtr = std::shared_ptr<const EventCallback>;

}  // namespace halvane
