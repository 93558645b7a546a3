#include "platform/version.h"

// The generated header changes with every commit; only this file sees it.
#include "lrx_version.h"

const char* AppVersion() {
    return "V" LRX_VERSION;
}
