#include "generator/reply_parser.h"

DeviceFlags g_dev;

bool SearchKnownString(const char*, const char*, uint32_t, uint32_t, uint32_t*) { return false; }
void ParseDeviceReply(char*, uint32_t) {}
