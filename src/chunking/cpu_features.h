// CPU feature detection: the CpuFeature bits this CPU has and its OS saves. Platform code.
#pragma once

#include <cstdint>

namespace chunksieve {

std::uint32_t detect_cpu_features();

}  // namespace chunksieve
