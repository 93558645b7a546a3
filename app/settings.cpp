#include "app/settings.h"

SettingsState g_settings;

void LoadSettings() {}
void SaveSettings() {}
