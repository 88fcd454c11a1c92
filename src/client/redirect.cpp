// Taking redirects from a request's queue, and letting deferred ones proceed.
#include "client/bounded_wait.h"
#include "client/request.h"
#include "client/request_shared.h"

namespace halvane {

namespace {

std::optional<Redirect> pop_front(RequestState &state) {
  if (state.redirects.empty()) return std::nullopt;
  Redirect redirect = std::move(state.redirects.front());
  state.redirects.pop_front();
  return redirect;
}

}  // namespace

std::optional<Redirect> Request::take_redirect() {
  RequestShared &shared = *inner_->shared;
  std::lock_guard lock(shared.mutex);
  return pop_front(shared.state);
}

Result<std::optional<Redirect>> Request::wait_for_redirect(Duration timeout) {
  RequestShared &shared = *inner_->shared;
  std::unique_lock lock(shared.mutex);
  if (auto redirect = pop_front(shared.state)) return redirect;

  // One wait only: any event of the request ends it, so that callers can look
  // at the rest of the request in between. An event is a change of the
  // notification count, never a mere wake-up.
  const uint64_t seen = shared.state.notifications;
  const bool notified = wait_at_most(shared.changed, lock, timeout,
                                     [&] { return shared.state.notifications != seen; });

  if (auto redirect = pop_front(shared.state)) return redirect;
  if (notified && shared.state.outcome.is_failed()) return shared.state.outcome.error();
  return std::optional<Redirect>();
}

Status Request::follow_redirect() {
  return check(hv_request_follow_redirect(inner_->handle.get()));
}

}  // namespace halvane
