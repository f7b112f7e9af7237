#pragma once

#include "status/Snapshot.h"

namespace glimmet {

enum class UsageProvider { Claude, Codex, Grok, Kimi };

// Where the status document's quota values come from: the latest reading of each
// provider, copied under the source's own lock. Implemented by the usage fetcher.
class UsageSource {
public:
    virtual ~UsageSource() = default;
    virtual ProviderUsage usage(UsageProvider provider) const = 0;
};

} // namespace glimmet
