// Placeholder until the request layer lands.
#include "core/request.h"
namespace halvane {
Result<Request> Engine::request(RequestConfig) const { return Error::Kind::InvalidState; }
}  // namespace halvane
