// The five Core WebSocket callbacks, bound to one shared state.
#pragma once

#include "core/hv_abi.h"
#include "websocket/websocket_shared.h"

namespace halvane {

// The callback table of a creation record, with `shared` as user data.
hv_websocket_callbacks callback_table(WebSocketShared &shared);

}  // namespace halvane
