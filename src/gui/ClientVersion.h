#pragma once

namespace veltrix {

// The desktop client's version, as the application reports it and the home page shows it.
inline constexpr const char* kClientVersion = "1.301";

}  // namespace veltrix
