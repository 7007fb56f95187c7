#include "documents/Dirties.h"

bool TDirty::GetDirty() const { return FDirty; }

void TDirty::SetDirty(bool value) { FDirty = value; }
