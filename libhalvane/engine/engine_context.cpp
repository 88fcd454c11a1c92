#include "engine/engine_context.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "base/codes.h"
#include "base/core_thread.h"
#include "engine/asio_loop.h"
#include "namespaces/cookie_bound.h"
#include "namespaces/cookie_lines.h"
#include "namespaces/namespace_store.h"
#include "profiles/profiles.h"

namespace hvcore {
namespace {

constexpr long kIdlePollMs = 1000;
// Cookies the namespace's database did not take (another process held it)
// are tried again after this wait, doubled at each failure up to the bound.
constexpr std::chrono::milliseconds kCookieRetryFirst{250};
constexpr std::chrono::milliseconds kCookieRetryMax{8000};

}  // namespace

EngineContext::EngineContext(EngineSettings settings)
    : settings_(std::move(settings)),
      multi_(curl_multi_init()),
      share_(curl_share_init()),
      cookie_retry_wait_(kCookieRetryFirst) {
  if (share_) {
    // Transfers use the share on the network thread, WebSocket handshakes
    // read and fill the jar on theirs. Connections are pooled by the multi
    // handle itself.
    curl_share_setopt(share_.get(), CURLSHOPT_LOCKFUNC, &EngineContext::lock_share);
    curl_share_setopt(share_.get(), CURLSHOPT_UNLOCKFUNC, &EngineContext::unlock_share);
    curl_share_setopt(share_.get(), CURLSHOPT_USERDATA, static_cast<void *>(this));
    curl_share_setopt(share_.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    curl_share_setopt(share_.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share_.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  }
}

EngineContext::~EngineContext() = default;

void EngineContext::lock_share(CURL *, curl_lock_data data, curl_lock_access, void *self) {
  if (data >= 0 && data < CURL_LOCK_DATA_LAST)
    static_cast<EngineContext *>(self)->share_locks_[data].lock();
}

void EngineContext::unlock_share(CURL *, curl_lock_data data, void *self) {
  if (data >= 0 && data < CURL_LOCK_DATA_LAST)
    static_cast<EngineContext *>(self)->share_locks_[data].unlock();
}

int32_t EngineContext::start(EngineSettings settings, std::unique_ptr<ContextUse> &out) {
  ensure_curl_global();
  std::shared_ptr<Namespace> profile;
  if (!settings.profile_namespace.empty()) {
    // The namespace is bound to the profile's canonical name.
    static const std::string kNoProfile;
    const std::string &impersonate = settings.profile ? settings.profile->name : kNoProfile;
    if (const int32_t code = open_namespace(settings.profile_namespace, impersonate, profile);
        code != kOk)
      return code;
  }
  std::shared_ptr<EngineContext> context(new EngineContext(std::move(settings)));
  if (!context->multi_ || !context->share_) return kInitializationFailed;
  if (!context->settings_.disable_cache) {
    // The namespace's cache lives as long as the namespace does.
    context->cache_ = profile ? std::shared_ptr<cache::Store>(profile, &profile->cache())
                              : cache::make_memory_store();
  }
  context->cookie_bound_ = profile ? std::shared_ptr<CookieBound>(profile, &profile->cookie_bound())
                                   : std::make_shared<CookieBound>();
  context->alt_services_ = profile ? std::shared_ptr<AltServices>(profile, &profile->alt_services())
                                   : std::make_shared<AltServices>();
  context->namespace_ = std::move(profile);
  out = std::make_unique<ContextUse>(context);
  context->thread_ = start_core_thread([context] { context->run(); });
  return kOk;
}

CURLSH *EngineContext::share() const { return namespace_ ? namespace_->share() : share_.get(); }

std::string EngineContext::cookie_header(const std::string &url) {
  EasyPtr easy(curl_easy_init());
  if (!easy || curl_easy_setopt(easy.get(), CURLOPT_SHARE, share()) != CURLE_OK) return {};
  if (namespace_) namespace_->load_cookies(easy.get());
  return cookie_header_for(easy.get(), url);
}

void EngineContext::store_cookies(const std::string &url,
                                  const std::vector<std::string> &set_cookies) {
  if (set_cookies.empty()) return;
  EasyPtr easy(curl_easy_init());
  if (!easy || curl_easy_setopt(easy.get(), CURLOPT_SHARE, share()) != CURLE_OK) return;
  store_set_cookies(easy.get(), url, set_cookies);
  cookie_bound_->apply(easy.get());
  if (namespace_) namespace_->save_cookies(easy.get());
}

void EngineContext::bound_cookies() {
  // A handle of its own: the transfer's may have taken as many cookies as
  // libcurl lets one response set, and would refuse the removing lines.
  EasyPtr easy(curl_easy_init());
  if (!easy || curl_easy_setopt(easy.get(), CURLOPT_SHARE, share()) != CURLE_OK) return;
  cookie_bound_->apply(easy.get());
}

void EngineContext::post(Command command) {
  std::lock_guard lock(queue_mutex_);
  queue_.push_back(std::move(command));
  // Under the lock, so that the thread cannot have ended and freed the multi
  // handle meanwhile. A thread that is awake checks the queue before it
  // sleeps (under this lock), so only a sleeping one needs the wake-up, and
  // only one wake-up however many commands arrive.
  if (sleeping_ && !wake_sent_) {
    wake_sent_ = true;
    curl_multi_wakeup(multi_.get());
  }
}

AsioLoop &EngineContext::asio_loop() {
  std::lock_guard lock(asio_mutex_);
  if (!asio_) {
    auto loop = std::make_unique<AsioLoop>();
    // The thread keeps the context, and so the loop, alive until it ends.
    asio_thread_ = start_core_thread([self = shared_from_this(), raw = loop.get()] { raw->run(); });
    asio_ = std::move(loop);
  }
  return *asio_;
}

void EngineContext::drop_use() {
  if (uses_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  {
    std::lock_guard lock(queue_mutex_);
    stopping_ = true;
    if (multi_) curl_multi_wakeup(multi_.get());
  }
  // The last use may go on either thread itself (a request or WebSocket
  // ending there); that thread then ends on its own.
  if (thread_.joinable()) {
    if (on_network_thread())
      thread_.detach();
    else
      thread_.join();
  }
  stop_asio_loop();
}

void EngineContext::stop_asio_loop() {
  AsioLoop *loop = nullptr;
  {
    std::lock_guard lock(asio_mutex_);
    loop = asio_.get();
  }
  if (loop == nullptr) return;
  // Every WebSocket held a use, so nothing is left for the loop to do.
  loop->release_work();
  if (!asio_thread_.joinable()) return;
  if (loop->on_loop_thread())
    asio_thread_.detach();
  else
    asio_thread_.join();
}

bool EngineContext::on_network_thread() const {
  return thread_id_.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

void EngineContext::track(std::shared_ptr<MultiWork> transfer) {
  MultiWork *key = transfer.get();
  transfers_.emplace(key, std::move(transfer));
}

void EngineContext::untrack(MultiWork *transfer) {
  auto it = transfers_.find(transfer);
  if (it == transfers_.end()) return;
  retired_.push_back(std::move(it->second));
  transfers_.erase(it);
}

void EngineContext::run_commands() {
  std::vector<Command> commands;
  {
    std::lock_guard lock(queue_mutex_);
    commands.swap(queue_);
  }
  for (Command &command : commands) command();
}

void EngineContext::finish_transfers() {
  int left = 0;
  while (CURLMsg *msg = curl_multi_info_read(multi_.get(), &left)) {
    if (msg->msg != CURLMSG_DONE) continue;
    void *owner = nullptr;
    curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &owner);
    const CURLcode result = msg->data.result;
    auto it = transfers_.find(static_cast<MultiWork *>(owner));
    if (it != transfers_.end()) it->second->on_done(result);
  }
}

long EngineContext::poll_timeout_ms() const {
  long timeout = kIdlePollMs;
  const auto now = MultiWork::Clock::now();
  auto wake_by = [&](MultiWork::Clock::time_point deadline) {
    // Clamped before narrowing: long is 32 bits on i386, where a deadline
    // 25 days away would wrap to a negative wait and spin this thread.
    const int64_t ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
    timeout = static_cast<long>(std::clamp<int64_t>(ms, 0, timeout));
  };
  for (const auto &[key, transfer] : transfers_)
    if (auto deadline = transfer->wake_deadline()) wake_by(*deadline);
  if (cookie_retry_at_) wake_by(*cookie_retry_at_);
  return timeout;
}

void EngineContext::expire_deferred() {
  const auto now = MultiWork::Clock::now();
  std::vector<MultiWork *> due;
  for (const auto &[key, transfer] : transfers_)
    if (auto deadline = transfer->wake_deadline(); deadline && now >= *deadline) due.push_back(key);
  for (MultiWork *transfer : due) transfer->tick(now);  // ending one never ends another
}

// Cookie saves that found the namespace's database held by another process
// (on this thread or the WebSocket loop's) are tried again here, on a timer,
// until one succeeds or the engine ends. Any engine of the namespace may
// succeed first; the others then find nothing left to save.
void EngineContext::retry_cookie_save() {
  if (!namespace_ || !namespace_->cookies_unsaved()) {
    cookie_retry_at_.reset();
    cookie_retry_wait_ = kCookieRetryFirst;
    return;
  }
  const auto now = MultiWork::Clock::now();
  if (!cookie_retry_at_) {
    cookie_retry_at_ = now + cookie_retry_wait_;
    return;
  }
  if (now < *cookie_retry_at_) return;
  if (save_cookies_now()) {
    cookie_retry_at_.reset();
    cookie_retry_wait_ = kCookieRetryFirst;
    return;
  }
  cookie_retry_wait_ = std::min(cookie_retry_wait_ * 2, kCookieRetryMax);
  cookie_retry_at_ = now + cookie_retry_wait_;
}

bool EngineContext::save_cookies_now() {
  EasyPtr easy(curl_easy_init());
  return easy && curl_easy_setopt(easy.get(), CURLOPT_SHARE, share()) == CURLE_OK &&
         namespace_->save_cookies(easy.get());
}

void EngineContext::await_news(long timeout_ms) {
  {
    std::lock_guard lock(queue_mutex_);
    if (!queue_.empty() || stopping_) return;
    sleeping_ = true;
    wake_sent_ = false;
  }
  curl_multi_poll(multi_.get(), nullptr, 0, static_cast<int>(timeout_ms), nullptr);
  std::lock_guard lock(queue_mutex_);
  sleeping_ = false;
}

void EngineContext::run() {
  thread_id_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  mark_core_thread();
  pthread_setname_np(pthread_self(), "halvane-net");
  for (;;) {
    run_commands();
    retired_.clear();
    {
      std::lock_guard lock(queue_mutex_);
      if (stopping_) break;
    }
    int running = 0;
    curl_multi_perform(multi_.get(), &running);
    finish_transfers();
    expire_deferred();
    retired_.clear();
    retry_cookie_save();
    await_news(poll_timeout_ms());
  }
  // Every caller's request has ended (each held a use); what runs still is
  // the engine's own, which ends now. Then close the pooled connections.
  std::vector<std::shared_ptr<MultiWork>> left;
  for (auto &[work, held] : transfers_) left.push_back(held);
  for (const auto &work : left) work->abandon();
  left.clear();
  transfers_.clear();
  retired_.clear();
  // A last try for cookies still unsaved: the namespace may outlive this
  // engine, but no timer of its goes on.
  if (namespace_ && namespace_->cookies_unsaved()) save_cookies_now();
  MultiPtr multi;
  {
    std::lock_guard lock(queue_mutex_);
    multi.swap(multi_);
  }
  multi.reset();
  share_.reset();
}

ContextUse::ContextUse(std::shared_ptr<EngineContext> context) : context_(std::move(context)) {
  context_->add_use();
}

ContextUse::~ContextUse() {
  if (counted_) context_->drop_use();
}

}  // namespace hvcore
