// Placeholder, replaced by the real translation.
#include "module/engine_options.h"
namespace strandel {
std::optional<halvane::EngineConfig> engine_config(EngineOptions) { return halvane::EngineConfig{}; }
}  // namespace strandel
