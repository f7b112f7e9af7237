#pragma once

#include "status/UsageSource.h"

#include <array>

namespace glimmet::test {

// Quota readings a test sets, one record per provider; read on any thread while the test
// leaves them alone.
class FixedUsage : public UsageSource {
public:
    ProviderUsage claude, codex, grok, kimi;
    ProviderUsage usage(UsageProvider provider) const override {
        return std::array{claude, codex, grok, kimi}[size_t(provider)];
    }
};

} // namespace glimmet::test
