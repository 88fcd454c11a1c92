// The stand-in Core's own delivery thread: scripted callbacks posted here run
// one after another, in order, on a thread that is not the test's.
#pragma once

#include <cstdint>
#include <functional>

namespace fake {

// Queues `action` for the delivery thread (started on first use).
void post(std::function<void()> action);
// Blocks until every posted action has run.
void wait_idle();
// True when called on the delivery thread.
bool on_worker_thread();

}  // namespace fake

extern "C" {
// Blocks until every posted action has run; returns 1.
int fake_wait_idle(void);
// Queues a pause of `ms` milliseconds on the delivery thread.
void fake_post_sleep(uint32_t ms);
}
