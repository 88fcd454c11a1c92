// Profile namespaces: state that engines naming the same namespace share, in
// this process and across processes and runs. Each namespace is one SQLite
// database (WAL mode) under $XDG_STATE_HOME/halvane/profiles/ (default
// ~/.local/state/halvane/profiles/). It holds the persistent cookies, the disk
// cache, the HTTP/3 alternatives servers advertised and the impersonation
// profile the namespace is bound to.
//
// The cookies are their owner's alone: our folders have mode 0700 (a wider
// one is narrowed, one another user owns refused), the database and the files
// SQLite keeps beside it mode 0600. A database is recognised as ours by its
// application id before anything is written to it; another program's is
// refused and left exactly as it was.
//
// In the process, one Namespace per namespace is open at a time, shared by the
// engines that name it, and closed (database and jar) when the last of them is
// gone: session cookies live as long as some engine uses the namespace, and
// the next engine to name it opens and checks the file again. A forked child
// opens its own.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/alt_svc.h"
#include "cache/cache_store.h"

namespace hvcore {

class CookieBound;

class Namespace {
 public:
  virtual ~Namespace() = default;

  // The namespace's disk cache.
  virtual cache::Store &cache() = 0;

  // A share handle holding the namespace's cookie jar (also DNS and TLS
  // sessions), with locks: engines on several threads use it.
  virtual CURLSH *share() = 0;

  // Network thread of any engine, with `easy` set to use share(). Loads the
  // cookies other processes stored since the last load (cheap when nothing
  // changed).
  virtual void load_cookies(CURL *easy) = 0;
  // Stores the persistent cookies of the jar that changed since the last
  // save or load, and removes those gone from it. Session cookies stay in
  // memory. On a Core thread it never waits for another process's lock: false
  // when the changes could not be stored, and they stay unsaved until a later
  // save succeeds.
  virtual bool save_cookies(CURL *easy) = 0;
  // True while changes of the jar wait for a save that could not be done.
  // Any thread.
  virtual bool cookies_unsaved() const = 0;

  // The bound of the shared jar (cookie_bound.h): the engines' one. Any thread.
  virtual CookieBound &cookie_bound() = 0;

  // The HTTP/3 alternatives the namespace's engines learnt, read from the
  // database at opening and written back as they change (on a Core thread,
  // skipped while another process holds the database). Any thread.
  virtual AltServices &alt_services() = 0;
};

// True for 1 to 64 letters, digits, '.', '_' and '-', not starting with '.'.
bool valid_namespace_name(std::string_view name);

// Opens (or finds open) the namespace `name` for an engine with the
// impersonation profile `impersonate` (empty: none). Returns kOk with `out`
// set, kInvalidArgument for a bad name, kProfileConflict when the namespace is
// bound to another profile, kInitializationFailed when its folder is another
// user's, or its database cannot be created, read, is locked past a short
// timeout, corrupt or another program's (the file is then left as it was).
// Waits for another process's lock only here, on the caller's thread, and
// before any engine can reach the new connection.
int32_t open_namespace(const std::string &name, const std::string &impersonate,
                       std::shared_ptr<Namespace> &out);

// For tests: the namespace's database path.
std::string namespace_database_path(const std::string &name);

// An engine's disk cache bound; tests may lower it through the environment
// variable HALVANE_DISK_CACHE_BYTES (read once per namespace opening).
uint64_t disk_cache_bound();

}  // namespace hvcore
