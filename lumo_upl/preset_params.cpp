#include "lumo_upl/preset_params.hpp"

void preset_params(int index, transcode_params& params) {
    switch (index) {
        case 0:
            params = {480, 360, 15.0, 300000, 48000, 2, 64000};
            break;
        case 1:
            params = {640, 480, 0, 600000, 48000, 2, 96000};
            break;
        case 2:
            params = {1280, 720, 0, 900000, 48000, 2, 128000};
            break;
        default:
            break;
    }
}
