// The five Core WebSocket callbacks, bound to one shared state.
#pragma once

#include "client/websocket_shared.h"
#include "halvane/hv_abi.h"

namespace halvane {

// The callback table of a creation record, with `shared` as user data.
hv_websocket_callbacks callback_table(WebSocketShared &shared);

}  // namespace halvane
