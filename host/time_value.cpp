#include "time_value.h"

#include <stdexcept>
#include <string>

namespace {
int gFrameRate = 30;
TimeValue gCurrentTime = 0;
bool gAnimate = false;
}  // namespace

void SetFrameRate(int framesPerSecond) {
    if (framesPerSecond <= 0 || kTicksPerSecond % framesPerSecond != 0) {
        throw std::invalid_argument("frame rate " + std::to_string(framesPerSecond) +
                                    " must be positive and divide 4800 ticks");
    }
    gFrameRate = framesPerSecond;
}
int GetFrameRate() { return gFrameRate; }
int GetTicksPerFrame() { return kTicksPerSecond / gFrameRate; }
TimeValue GetCurrentTime() { return gCurrentTime; }
void SetCurrentTime(TimeValue t) { gCurrentTime = t; }
bool IsAnimateOn() { return gAnimate; }
void SetAnimateMode(bool on) { gAnimate = on; }
