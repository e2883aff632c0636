// Not part of any program: the layers test compiles this with the link
// layer's include directories and passes only when the compiler finds the
// link layer's own header but not the device layer's.
#include "link/frame.h"
#include "device/api.h"
