// A plain GET answered from the engine's memory cache inside start(), on the
// caller's thread. Going through the network thread would cost two thread
// hand-overs (a wake-up each way), many times the lookup and the copy. The
// callbacks are those the network thread would make, in the same order.
#include "base/diag.h"
#include "transfer/transfer.h"

namespace hvcore {

bool Transfer::answer_at_start() {
  std::string head, body;
  int status = 0;
  try {
    std::optional<cache::Entry> entry = TransferCache::plain_fresh_entry(
        *context_, request_.cache_mode, request_.url, request_.headers);
    if (!entry) return false;
    if (entry->body_size > 0 &&
        (!entry->body->read(0, static_cast<size_t>(entry->body_size), body) ||
         body.size() != entry->body_size))
      return false;
    head = TransferCache::delivered_head(entry->meta);
    status = entry->meta.status;
    diag::request(handle_, request_.method, request_.url);
    diag::cache(handle_, "hit");
  } catch (const std::bad_alloc &) {
    return false;  // the network thread tries again, and reports what fails
  }
  // From here on nothing allocates: the answer goes out whole.
  head_delivered_ = true;
  done_ = true;
  cache_state_.store(HV_EXT_CACHE_STATE_CACHE, std::memory_order_release);
  if (callbacks_.on_response)
    callbacks_.on_response(callbacks_.user, handle_, status,
                           reinterpret_cast<const uint8_t *>(head.data()),
                           static_cast<uint32_t>(head.size()));
  // A pause asked for now holds nothing back: this is the whole body.
  if (!body.empty() && callbacks_.on_body)
    callbacks_.on_body(callbacks_.user, handle_, reinterpret_cast<const uint8_t *>(body.data()),
                       static_cast<uint32_t>(body.size()));
  {
    std::lock_guard lock(mutex_);
    finished_ = true;
    answering_ = false;
  }
  upload_.close(kInvalidState);
  diag::end(handle_, kOk);
  if (callbacks_.on_complete) callbacks_.on_complete(callbacks_.user, handle_, kOk, 0);
  return true;
}

}  // namespace hvcore
