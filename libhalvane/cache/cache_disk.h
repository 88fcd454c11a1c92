// The disk store: a profile namespace's HTTP cache, in the namespace's
// database, shared with the other processes that use it.
//
// An entry is a row of cache_entries and its body rows of cache_chunks
// (about 256 KiB each, written while the body streams). Rows of an entry being
// written carry complete = 0 and are invisible; commit flips the flag to 1,
// drops the URL's older entry and evicts by last_used, a counter that grows
// with every use, in one transaction.
//
// A reader of a body too large to come with the lookup holds a lease on its
// entry, a row of cache_readers that runs out unless renewed by reading. An
// entry replaced, removed or evicted while leased is retired (complete = 2):
// invisible to lookups, still counted against the bound, and deleted with its
// last lease, so that readers in this process or another finish the body they
// started. Heads are stored without Set-Cookie.
#pragma once

#include <cstdint>
#include <memory>

#include "base/sqlite_db.h"
#include "cache/cache_store.h"

namespace hvcore::cache {

// Creates the cache tables when missing; run inside the caller's transaction.
bool create_disk_tables(sql::Connection &db);

// Removes entries that were never committed and were begun before
// `older_than` (seconds since the epoch): what a crashed writer left; and the
// leases that ran out with the retired entries they held: what a crashed
// reader left.
bool remove_abandoned_writes(sql::Connection &db, Seconds older_than);

// A store on `db` (tables created) bounded to `bound` bytes; nothing when its
// statements cannot be prepared. Every use locks db->mutex().
std::shared_ptr<Store> make_disk_store(std::shared_ptr<sql::Connection> db, uint64_t bound);

}  // namespace hvcore::cache
