#pragma once

#include <cstdint>
#include <string>

namespace veltrix {

// Settings the agent initialises the encoder with.
struct EncoderConfig {
    std::int32_t width = 1920;
    std::int32_t height = 1080;
    std::int32_t fps = 10;  // the encoder's time base is 1/fps
    std::int32_t bitrateKbps = 500;
    std::int32_t keyframeInterval = 60;  // frames
    std::int32_t crf = 45;               // constant-quality level
    std::string preset = "8";            // a speed preset: a number or a name
};

}  // namespace veltrix
