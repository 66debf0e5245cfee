// Memory for large outputs, recycled between arrays of the same size.
#pragma once

#include "pfnc/pfnc.hpp"

namespace pfnc::pixels {

// Binds the Block type and the block() function in the module.
[[nodiscard]] bool define_blocks(pfnc::Module& m) noexcept;

}  // namespace pfnc::pixels
