#include "platform/platform.h"

// Placeholder table until the platform layer lands.
static const Platform kTable = {};
const Platform* PlatformNative(void) { return &kTable; }
