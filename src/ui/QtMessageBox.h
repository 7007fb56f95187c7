#pragma once
// Shows the program's message boxes (logger fallback, safe formatting,
// command errors, the save prompt) as Qt message boxes.
void InstallQtMessageBoxHook();
