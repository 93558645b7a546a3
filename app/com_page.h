#pragma once
// The communication page's controls (left and middle of the page).
#include "page/page.h"

void CreateComPageControls(platform::Wnd page);
