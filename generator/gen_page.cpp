#include "generator/gen_page.h"

GenPageHandles g_gen;

void CreateGeneratorPage(platform::Wnd) {}
