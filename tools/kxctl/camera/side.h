// kxctl camera itself: the camera side, running until a stop signal.
#pragma once

#include "session.h"

namespace kxctl {

// Loads the scenario and the recording first: a bad file is refused
// (status 2) before anything is bound.
int runCameraSide(const OutputOptions &out, const CameraSetup &setup);

} // namespace kxctl
