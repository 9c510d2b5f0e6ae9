// The script's check boxes on the main window.
#pragma once

#include "shell/context.h"

namespace tv {

// The slot holding the mark, or -1 (an empty mark finds the lowest free slot).
int FindCheckBox(const ScriptContext& ctx, const Bytes& mark);
// Where the box of a slot stands, from the Run button's rectangle.
Rect CheckBoxRect(int slot, const Rect& runButton);
void DestroyAllCheckBoxes(ScriptContext& ctx);
// An operator click on the box with this mark (headless operator channel).
void ClickCheckBox(ScriptContext& ctx, const Bytes& mark);

}  // namespace tv
