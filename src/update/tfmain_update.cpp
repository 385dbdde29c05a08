// Placeholder while the version check is written; replaced in the same change.
#include "shell/tfmain.h"
void TFMain::CheckForNewVersion(bool) {}
void TFMain::Sprawdczyjestnowawersja1Click() {}
void TFMain::UpdateTimerTimer() {}
