// The operator's commands: Message, Question and Input
// (operator/dialogs.cpp), the check boxes (operator/checkboxes.cpp), Wait,
// Signalize and ShowWindow (operator/wait.cpp).
#pragma once

#include "engine/runner.h"

namespace tv {

extern const CommandDef kMessage;
extern const CommandDef kQuestion;
extern const CommandDef kInput;
extern const CommandDef kShowCheckBox;
extern const CommandDef kHideCheckBox;
extern const CommandDef kSetCheck;
extern const CommandDef kTestCheck;
extern const CommandDef kWaitCheck;
extern const CommandDef kWait;
extern const CommandDef kSignalize;
extern const CommandDef kShowWindow;

}  // namespace tv
