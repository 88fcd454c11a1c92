// The Core's four request callbacks, bound to one request's shared state.
#pragma once

#include "halvane/hv_abi.h"

namespace halvane {

struct RequestShared;

// The callback table of a request record, with `shared` as user data.
hv_request_callbacks callback_table(RequestShared &shared);

}  // namespace halvane
