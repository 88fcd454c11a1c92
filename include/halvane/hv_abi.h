/* The Core's C interface: records, callback types and hv_* functions.
 *
 * Every record and embedded callback table begins with its own size in bytes
 * and the ABI number. Texts and byte strings are (pointer, length) pairs with
 * no terminator; they are valid only during the create call. On 32-bit x86
 * the records have fixed sizes (84, 92 and 80 bytes), checked below. */
#ifndef HALVANE_HV_ABI_H
#define HALVANE_HV_ABI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HV_ABI_VERSION 8u

/* ---- numbers ------------------------------------------------------------ */

/* Result codes of every hv_* function and of on_complete / on_failure. Any
 * other value is a code of the Core's own. */
#define HV_OK 0
#define HV_ERR_INVALID_ARGUMENT 1
#define HV_ERR_UNSUPPORTED_ABI 2
#define HV_ERR_OUT_OF_MEMORY 3
#define HV_ERR_INITIALIZATION_FAILED 4
#define HV_ERR_INVALID_STATE 5
#define HV_ERR_TIMEOUT 6
#define HV_ERR_CANCELED 7
#define HV_ERR_NETWORK 8
#define HV_ERR_TLS 9
#define HV_ERR_PROXY 10
#define HV_ERR_PROTOCOL 11
#define HV_ERR_REDIRECT 12
#define HV_ERR_CACHE_MISS 13
#define HV_ERR_PROFILE_CONFLICT 14
#define HV_ERR_PROFILE_UNSUPPORTED 15
#define HV_RESULT_MAX HV_ERR_PROFILE_UNSUPPORTED

/* hv_engine_record.http_version */
#define HV_HTTP_AUTO 0
#define HV_HTTP_1 1
#define HV_HTTP_2 2
#define HV_HTTP_3 3
#define HV_HTTP_VERSION_MAX HV_HTTP_3

/* hv_engine_record.tls_verification */
#define HV_TLS_DEFAULT 0
#define HV_TLS_CUSTOM_CA 1
#define HV_TLS_DISABLED 2
#define HV_TLS_VERIFICATION_MAX HV_TLS_DISABLED

/* hv_request_record.body_kind */
#define HV_BODY_NONE 0
#define HV_BODY_BYTES 1
#define HV_BODY_STREAMED 2
#define HV_BODY_KIND_MAX HV_BODY_STREAMED

/* hv_request_record.cache_mode */
#define HV_CACHE_DEFAULT 0
#define HV_CACHE_VALIDATE 1
#define HV_CACHE_BYPASS 2
#define HV_CACHE_NO_STORE 3
#define HV_CACHE_FORCE 4
#define HV_CACHE_ONLY_IF_CACHED 5
#define HV_CACHE_MODE_MAX HV_CACHE_ONLY_IF_CACHED

/* hv_request_record.redirect_mode */
#define HV_REDIRECT_FOLLOW 0
#define HV_REDIRECT_MANUAL 1
#define HV_REDIRECT_ERROR 2
#define HV_REDIRECT_MODE_MAX HV_REDIRECT_ERROR

/* hv_request_record.priority */
#define HV_PRIORITY_DEFAULT 0
#define HV_PRIORITY_HIGHEST 1
#define HV_PRIORITY_MEDIUM 2
#define HV_PRIORITY_LOW 3
#define HV_PRIORITY_LOWEST 4
#define HV_PRIORITY_IDLE 5
#define HV_PRIORITY_MAX HV_PRIORITY_IDLE

/* hv_websocket_send type and on_message type */
#define HV_MESSAGE_TEXT 1
#define HV_MESSAGE_BINARY 2
#define HV_MESSAGE_TYPE_MAX HV_MESSAGE_BINARY

typedef uintptr_t hv_handle;

/* ---- engine ---------------------------------------------------------- */

typedef struct hv_engine_record {
  uint32_t size;
  uint32_t abi;
  const uint8_t *user_agent;
  uint32_t user_agent_len;
  const uint8_t *proxy;
  uint32_t proxy_len;
  const uint8_t *proxy_username;
  uint32_t proxy_username_len;
  const uint8_t *proxy_password;
  uint32_t proxy_password_len;
  uint32_t disable_cache;
  const uint8_t *accept_language;
  uint32_t accept_language_len;
  const uint8_t *impersonate;
  uint32_t impersonate_len;
  const uint8_t *profile_namespace;
  uint32_t profile_namespace_len;
  uint32_t http_version;
  uint32_t tls_verification;
  const uint8_t *ca_pem;
  uint32_t ca_pem_len;
} hv_engine_record;

/* ---- request ----------------------------------------------------------- */

typedef void (*hv_on_response_fn)(void *user, hv_handle request, int32_t status,
                                  const uint8_t *headers, uint32_t headers_len);
typedef int (*hv_on_body_fn)(void *user, hv_handle request, const uint8_t *data, uint32_t len);
typedef void (*hv_on_complete_fn)(void *user, hv_handle request, int32_t code, int32_t net_error);
typedef void (*hv_on_redirect_fn)(void *user, hv_handle request, int32_t status,
                                  const uint8_t *headers, uint32_t headers_len,
                                  const uint8_t *first, uint32_t first_len, const uint8_t *second,
                                  uint32_t second_len);

typedef struct hv_request_callbacks {
  uint32_t size;
  uint32_t abi;
  void *user_data;
  hv_on_response_fn on_response;
  hv_on_body_fn on_body;
  hv_on_complete_fn on_complete;
  hv_on_redirect_fn on_redirect;
} hv_request_callbacks;

typedef struct hv_header {
  const uint8_t *name;
  uint32_t name_len;
  const uint8_t *value;
  uint32_t value_len;
} hv_header;

typedef struct hv_request_record {
  uint32_t size;
  uint32_t abi;
  const uint8_t *url;
  uint32_t url_len;
  const uint8_t *method;
  uint32_t method_len;
  const hv_header *headers;
  uint32_t header_count;
  uint64_t timeout_ms;
  hv_request_callbacks callbacks;
  const uint8_t *body;
  uint32_t body_len;
  uint32_t body_kind;
  uint32_t cache_mode;
  uint32_t redirect_mode;
  uint32_t priority;
} hv_request_record;

/* ---- websocket --------------------------------------------------------- */

typedef void (*hv_ws_on_open_fn)(void *user, hv_handle ws, const uint8_t *protocol,
                                 uint32_t protocol_len, const uint8_t *extensions,
                                 uint32_t extensions_len);
typedef void (*hv_ws_on_message_fn)(void *user, hv_handle ws, int32_t type, int32_t fin,
                                    const uint8_t *data, uint32_t len);
typedef void (*hv_ws_on_closing_fn)(void *user, hv_handle ws);
typedef void (*hv_ws_on_closed_fn)(void *user, hv_handle ws, int32_t clean, uint32_t code,
                                   const uint8_t *reason, uint32_t reason_len);
typedef void (*hv_ws_on_failure_fn)(void *user, hv_handle ws, int32_t code, int32_t net_error,
                                    int32_t response_code, const uint8_t *message,
                                    uint32_t message_len);

typedef struct hv_websocket_callbacks {
  uint32_t size;
  uint32_t abi;
  void *user_data;
  hv_ws_on_open_fn on_open;
  hv_ws_on_message_fn on_message;
  hv_ws_on_closing_fn on_closing;
  hv_ws_on_closed_fn on_closed;
  hv_ws_on_failure_fn on_failure;
} hv_websocket_callbacks;

typedef struct hv_protocol {
  const uint8_t *name;
  uint32_t name_len;
} hv_protocol;

typedef struct hv_websocket_record {
  uint32_t size;
  uint32_t abi;
  const uint8_t *url;
  uint32_t url_len;
  const uint8_t *origin;
  uint32_t origin_len;
  const hv_protocol *protocols;
  uint32_t protocol_count;
  const hv_header *headers;
  uint32_t header_count;
  hv_websocket_callbacks callbacks;
  uint64_t timeout_ms;
} hv_websocket_record;

/* ---- extensions of our own Core: optional; the module looks each up at load time ----
 *
 * Our networked Core exports these beside the functions above, at the same
 * symbol version. Another Core may lack any of them: the module finds each
 * by name in the loaded Core (core_extensions.h) and keeps working without
 * it. Every extension record begins with its own size in bytes, so that it
 * can grow; a Core reads only the fields the size covers. */

/* hv_ext_request_create: a request with options beyond the base record. */
typedef struct hv_ext_request_options {
  uint32_t size;
  uint64_t connect_timeout_ms; /* establishing the connection; 0: no bound of its own */
} hv_ext_request_options;

/* hv_ext_websocket_create: a WebSocket with options beyond the base record. */
typedef struct hv_ext_websocket_options {
  uint32_t size;
  uint64_t max_message_size; /* bytes of one message; 0: the Core's default (4 MiB) */
} hv_ext_websocket_options;

/* One cookie of an engine's jar. `domain` has no leading dot; `host_only`
 * is 1 for a cookie that goes to that host alone (set without a Domain
 * attribute); `expires` is in seconds since the epoch, 0 for a session
 * cookie. */
typedef struct hv_ext_cookie {
  uint32_t size;
  const uint8_t *name;
  uint32_t name_len;
  const uint8_t *value;
  uint32_t value_len;
  const uint8_t *domain;
  uint32_t domain_len;
  const uint8_t *path;
  uint32_t path_len;
  uint32_t secure;
  uint32_t http_only;
  uint32_t host_only;
  int64_t expires;
} hv_ext_cookie;

/* Called once per cookie by hv_ext_cookies_list, on the calling thread; the
 * record and its texts are valid only during the call. */
typedef void (*hv_ext_cookie_fn)(void *user, const hv_ext_cookie *cookie);

/* hv_ext_request_cache_state: how the Core answered a request whose
 * response head has been delivered. */
#define HV_EXT_CACHE_STATE_UNKNOWN 0     /* no response head yet */
#define HV_EXT_CACHE_STATE_NETWORK 1     /* from the origin */
#define HV_EXT_CACHE_STATE_CACHE 2       /* from a stored entry, origin not contacted */
#define HV_EXT_CACHE_STATE_REVALIDATED 3 /* stored entry confirmed by a 304 */
#define HV_EXT_CACHE_STATE_MAX HV_EXT_CACHE_STATE_REVALIDATED

/* ---- functions ----------------------------------------------------------- */

uint32_t hv_abi_version(void);
const char *hv_version_string(void);

int32_t hv_engine_create(const hv_engine_record *record, hv_handle *out_engine);
void hv_engine_release(hv_handle engine);

int32_t hv_request_create(hv_handle engine, const hv_request_record *record,
                          hv_handle *out_request);
int32_t hv_request_start(hv_handle request);
int32_t hv_request_cancel(hv_handle request);
int32_t hv_request_follow_redirect(hv_handle request);
int32_t hv_request_resume_read(hv_handle request);
int32_t hv_request_upload_write(hv_handle request, const uint8_t *data, uint32_t len,
                                uint32_t final_chunk);
void hv_request_release(hv_handle request);

int32_t hv_websocket_create(hv_handle engine, const hv_websocket_record *record,
                            hv_handle *out_websocket);
int32_t hv_websocket_start(hv_handle websocket);
int32_t hv_websocket_send(hv_handle websocket, uint32_t type, const uint8_t *data, uint32_t len);
int32_t hv_websocket_close(hv_handle websocket, uint32_t code, const uint8_t *reason,
                           uint32_t reason_len);
int32_t hv_websocket_cancel(hv_handle websocket);
void hv_websocket_release(hv_handle websocket);

/* Extensions (see above): each may be missing from a Core. */
/* "connect_timeout": hv_request_create with `options` as well. */
int32_t hv_ext_request_create(hv_handle engine, const hv_request_record *record,
                              const hv_ext_request_options *options, hv_handle *out_request);
/* "cache_state": one of HV_EXT_CACHE_STATE_*. */
int32_t hv_ext_request_cache_state(hv_handle request, uint32_t *out_state);
/* "cookies": the engine's jar (its namespace's, when it has one). Changes
 * apply to the next request at once, and a namespace persists them. */
int32_t hv_ext_cookies_list(hv_handle engine, hv_ext_cookie_fn fn, void *user);
/* Stores `cookie`, replacing one of the same name, domain and path.
 * InvalidArgument when the jar refuses it. */
int32_t hv_ext_cookie_set(hv_handle engine, const hv_ext_cookie *cookie);
/* Deletes the cookies matching every filter given (NULL: any; the domain
 * without a leading dot, compared exactly); all three NULL empty the jar. */
int32_t hv_ext_cookies_delete(hv_handle engine, const uint8_t *domain, uint32_t domain_len,
                              const uint8_t *path, uint32_t path_len, const uint8_t *name,
                              uint32_t name_len, uint32_t *out_count);
/* "max_message_size": hv_websocket_create with `options` as well. */
int32_t hv_ext_websocket_create(hv_handle engine, const hv_websocket_record *record,
                                const hv_ext_websocket_options *options, hv_handle *out_websocket);
/* "websocket_ping": sends a ping frame with `data` (at most 125 bytes) on an
 * open WebSocket; the pong is not reported. */
int32_t hv_ext_websocket_ping(hv_handle websocket, const uint8_t *data, uint32_t len);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* ---- layout on the 32-bit x86 target ------------------------------------ */

#if defined(__i386__)
#ifdef __cplusplus
#define HV_STATIC_ASSERT static_assert
#else
#define HV_STATIC_ASSERT _Static_assert
#endif
HV_STATIC_ASSERT(sizeof(hv_engine_record) == 84, "engine record is 84 bytes");
HV_STATIC_ASSERT(offsetof(hv_engine_record, user_agent) == 8, "user_agent");
HV_STATIC_ASSERT(offsetof(hv_engine_record, proxy) == 16, "proxy");
HV_STATIC_ASSERT(offsetof(hv_engine_record, proxy_username) == 24, "proxy_username");
HV_STATIC_ASSERT(offsetof(hv_engine_record, proxy_password) == 32, "proxy_password");
HV_STATIC_ASSERT(offsetof(hv_engine_record, disable_cache) == 40, "disable_cache");
HV_STATIC_ASSERT(offsetof(hv_engine_record, accept_language) == 44, "accept_language");
HV_STATIC_ASSERT(offsetof(hv_engine_record, impersonate) == 52, "impersonate");
HV_STATIC_ASSERT(offsetof(hv_engine_record, profile_namespace) == 60, "namespace");
HV_STATIC_ASSERT(offsetof(hv_engine_record, http_version) == 68, "http_version");
HV_STATIC_ASSERT(offsetof(hv_engine_record, tls_verification) == 72, "tls");
HV_STATIC_ASSERT(offsetof(hv_engine_record, ca_pem) == 76, "ca_pem");

HV_STATIC_ASSERT(sizeof(hv_request_callbacks) == 28, "request callbacks are 28 bytes");
HV_STATIC_ASSERT(sizeof(hv_header) == 16, "header entry is 16 bytes");
HV_STATIC_ASSERT(sizeof(hv_request_record) == 92, "request record is 92 bytes");
HV_STATIC_ASSERT(offsetof(hv_request_record, url) == 8, "url");
HV_STATIC_ASSERT(offsetof(hv_request_record, method) == 16, "method");
HV_STATIC_ASSERT(offsetof(hv_request_record, headers) == 24, "headers");
HV_STATIC_ASSERT(offsetof(hv_request_record, header_count) == 28, "header_count");
HV_STATIC_ASSERT(offsetof(hv_request_record, timeout_ms) == 32, "timeout");
HV_STATIC_ASSERT(offsetof(hv_request_record, callbacks) == 40, "callbacks");
HV_STATIC_ASSERT(offsetof(hv_request_record, callbacks.user_data) == 48, "user data");
HV_STATIC_ASSERT(offsetof(hv_request_record, callbacks.on_response) == 52, "on_response");
HV_STATIC_ASSERT(offsetof(hv_request_record, callbacks.on_body) == 56, "on_body");
HV_STATIC_ASSERT(offsetof(hv_request_record, callbacks.on_complete) == 60, "on_complete");
HV_STATIC_ASSERT(offsetof(hv_request_record, callbacks.on_redirect) == 64, "on_redirect");
HV_STATIC_ASSERT(offsetof(hv_request_record, body) == 68, "body");
HV_STATIC_ASSERT(offsetof(hv_request_record, body_len) == 72, "body_len");
HV_STATIC_ASSERT(offsetof(hv_request_record, body_kind) == 76, "body_kind");
HV_STATIC_ASSERT(offsetof(hv_request_record, cache_mode) == 80, "cache_mode");
HV_STATIC_ASSERT(offsetof(hv_request_record, redirect_mode) == 84, "redirect_mode");
HV_STATIC_ASSERT(offsetof(hv_request_record, priority) == 88, "priority");

HV_STATIC_ASSERT(sizeof(hv_websocket_callbacks) == 32, "ws callbacks are 32 bytes");
HV_STATIC_ASSERT(sizeof(hv_protocol) == 8, "protocol entry is 8 bytes");
HV_STATIC_ASSERT(sizeof(hv_websocket_record) == 80, "websocket record is 80 bytes");
HV_STATIC_ASSERT(offsetof(hv_websocket_record, url) == 8, "url");
HV_STATIC_ASSERT(offsetof(hv_websocket_record, origin) == 16, "origin");
HV_STATIC_ASSERT(offsetof(hv_websocket_record, protocols) == 24, "protocols");
HV_STATIC_ASSERT(offsetof(hv_websocket_record, headers) == 32, "headers");
HV_STATIC_ASSERT(offsetof(hv_websocket_record, callbacks) == 40, "callbacks");
HV_STATIC_ASSERT(offsetof(hv_websocket_record, callbacks.user_data) == 48, "user");
HV_STATIC_ASSERT(offsetof(hv_websocket_record, callbacks.on_open) == 52, "on_open");
HV_STATIC_ASSERT(offsetof(hv_websocket_record, callbacks.on_failure) == 68, "failure");
HV_STATIC_ASSERT(offsetof(hv_websocket_record, timeout_ms) == 72, "timeout");

HV_STATIC_ASSERT(sizeof(hv_ext_request_options) == 12, "request options are 12 bytes");
HV_STATIC_ASSERT(offsetof(hv_ext_request_options, connect_timeout_ms) == 4, "connect timeout");
HV_STATIC_ASSERT(sizeof(hv_ext_websocket_options) == 12, "websocket options are 12 bytes");
HV_STATIC_ASSERT(offsetof(hv_ext_websocket_options, max_message_size) == 4, "max message");
HV_STATIC_ASSERT(sizeof(hv_ext_cookie) == 56, "cookie record is 56 bytes");
HV_STATIC_ASSERT(offsetof(hv_ext_cookie, name) == 4, "cookie name");
HV_STATIC_ASSERT(offsetof(hv_ext_cookie, value) == 12, "cookie value");
HV_STATIC_ASSERT(offsetof(hv_ext_cookie, domain) == 20, "cookie domain");
HV_STATIC_ASSERT(offsetof(hv_ext_cookie, path) == 28, "cookie path");
HV_STATIC_ASSERT(offsetof(hv_ext_cookie, secure) == 36, "cookie secure");
HV_STATIC_ASSERT(offsetof(hv_ext_cookie, host_only) == 44, "cookie host_only");
HV_STATIC_ASSERT(offsetof(hv_ext_cookie, expires) == 48, "cookie expires");
#endif

#ifdef __cplusplus
/* The same families as scoped C++ enums, so that both sides of the interface
 * name them from this one place. */
namespace hv {
enum class HttpVersion : uint32_t {
  Auto = HV_HTTP_AUTO,
  Http1 = HV_HTTP_1,
  Http2 = HV_HTTP_2,
  Http3 = HV_HTTP_3
};
enum class TlsVerification : uint32_t {
  Default = HV_TLS_DEFAULT,
  CustomCa = HV_TLS_CUSTOM_CA,
  Disabled = HV_TLS_DISABLED
};
enum class BodyKind : uint32_t {
  None = HV_BODY_NONE,
  Bytes = HV_BODY_BYTES,
  Streamed = HV_BODY_STREAMED
};
enum class RedirectMode : uint32_t {
  Follow = HV_REDIRECT_FOLLOW,
  Manual = HV_REDIRECT_MANUAL,
  Error = HV_REDIRECT_ERROR
};
enum class CacheMode : uint32_t {
  Default = HV_CACHE_DEFAULT,
  Validate = HV_CACHE_VALIDATE,
  Bypass = HV_CACHE_BYPASS,
  NoStore = HV_CACHE_NO_STORE,
  Force = HV_CACHE_FORCE,
  OnlyIfCached = HV_CACHE_ONLY_IF_CACHED
};
enum class Priority : uint32_t {
  Default = HV_PRIORITY_DEFAULT,
  Highest = HV_PRIORITY_HIGHEST,
  Medium = HV_PRIORITY_MEDIUM,
  Low = HV_PRIORITY_LOW,
  Lowest = HV_PRIORITY_LOWEST,
  Idle = HV_PRIORITY_IDLE
};
}  // namespace hv
#endif

#endif /* HALVANE_HV_ABI_H */
