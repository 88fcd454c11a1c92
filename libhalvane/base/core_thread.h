// Marks the Core's own threads (every engine's network thread and WebSocket
// loop), so that calls made from inside a callback never wait for work that
// only such a thread can do.
#pragma once

namespace hvcore {

inline thread_local bool tls_core_thread = false;

inline void mark_core_thread() { tls_core_thread = true; }
inline bool on_core_thread() { return tls_core_thread; }

}  // namespace hvcore
