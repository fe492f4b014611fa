#pragma once

#include "lumo_upl/lumo_av_encoder.hpp"

// The upload client's output presets: 0 "流畅" (480x360 at 15/s, 300 kbit/s
// video), 1 "标清" (640x480 at the source's rate, 600 kbit/s) and 2 "高清"
// (1280x720 at the source's rate, 900 kbit/s), all with 48 kHz stereo
// audio (64, 96 and 128 kbit/s). An index outside 0-2 leaves `params` as
// it was.
void preset_params(int index, transcode_params& params);
