#pragma once

#include <memory>

#include "Kavrin/DX/AdapterDescription.h"

namespace Kavrin::DX {

// One adapter as enumerated by a DXGIFactory: a copyable value holding the
// description as it was when enumerated. Thread-safe (immutable).
class DXGIAdapter {
public:
    explicit DXGIAdapter(std::shared_ptr<const AdapterDescription> description)
        : description(std::move(description)) {}

    const std::shared_ptr<const AdapterDescription>& GetDescription() const noexcept {
        return description;
    }

private:
    std::shared_ptr<const AdapterDescription> description;
};

}  // namespace Kavrin::DX
