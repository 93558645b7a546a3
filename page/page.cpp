#include "page/page.h"

ComPageHandles g_com;
