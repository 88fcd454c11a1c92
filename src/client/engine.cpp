#include "client/engine.h"

#include <cstring>

#include "client/request_record.h"

namespace halvane {

namespace {

// A temporary copy of an optional text; absent and empty both give (NULL, 0).
struct TextCopy {
  explicit TextCopy(const std::optional<std::string> &text) {
    if (text && !text->empty()) bytes.assign(text->begin(), text->end());
  }
  bool fits() const { return fits_u32(bytes.size()); }
  const uint8_t *ptr() const { return bytes.empty() ? nullptr : bytes.data(); }
  uint32_t len() const { return static_cast<uint32_t>(bytes.size()); }
  std::vector<uint8_t> bytes;
};

}  // namespace

Result<Engine> Engine::create(EngineConfig config) {
  if (hv_abi_version() != abi_version()) return Error::Kind::UnsupportedAbi;

  const TextCopy user_agent(config.user_agent), proxy(config.proxy),
      proxy_username(config.proxy_username), proxy_password(config.proxy_password),
      accept_language(config.accept_language), impersonate(config.impersonate),
      profile_namespace(config.profile_namespace);

  // The record carries 32-bit lengths.
  for (const TextCopy *text : {&user_agent, &proxy, &proxy_username, &proxy_password,
                               &accept_language, &impersonate, &profile_namespace})
    if (!text->fits()) return Error::Kind::InvalidArgument;
  if (config.ca_pem && !fits_u32(config.ca_pem->size())) return Error::Kind::InvalidArgument;

  hv_engine_record record;
  std::memset(&record, 0, sizeof record);
  record.size = sizeof record;
  record.abi = HV_ABI_VERSION;
  record.user_agent = user_agent.ptr();
  record.user_agent_len = user_agent.len();
  record.proxy = proxy.ptr();
  record.proxy_len = proxy.len();
  record.proxy_username = proxy_username.ptr();
  record.proxy_username_len = proxy_username.len();
  record.proxy_password = proxy_password.ptr();
  record.proxy_password_len = proxy_password.len();
  record.disable_cache = config.disable_cache ? 1 : 0;
  record.accept_language = accept_language.ptr();
  record.accept_language_len = accept_language.len();
  record.impersonate = impersonate.ptr();
  record.impersonate_len = impersonate.len();
  record.profile_namespace = profile_namespace.ptr();
  record.profile_namespace_len = profile_namespace.len();
  record.http_version = static_cast<uint32_t>(config.http_version);
  record.tls_verification = static_cast<uint32_t>(config.tls_verification);
  // The bundle is not copied: the record points into the configuration.
  if (config.ca_pem && !config.ca_pem->empty()) {
    record.ca_pem = config.ca_pem->data();
    record.ca_pem_len = static_cast<uint32_t>(config.ca_pem->size());
  }

  hv_handle handle = 0;
  const int32_t code = hv_engine_create(&record, &handle);
  if (auto err = Error::from_code(code)) return *err;
  if (handle == 0) return Error::Kind::InitializationFailed;
  return Engine(std::make_shared<EngineInner>(handle));
}

std::optional<std::string> Engine::core_version() {
  const char *text = hv_version_string();
  if (text == nullptr) return std::nullopt;
  return std::string(text);
}

}  // namespace halvane
