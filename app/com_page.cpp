#include "app/com_page.h"

ComPageHandles g_com;

void CreateComPageControls(platform::Wnd) {}
