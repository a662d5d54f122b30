// Conditions of the definition files: when a usage-C module or a 1C/2C attribute is required,
// and the type overrides that an IOD gives the attributes of one of its modules.
#pragma once

#include "velmar/defs.h"

namespace velmar::defs {

// Longest message of a condition syntax error.
constexpr size_t kConditionMessageSize = 160;

// An element without a value: length 0, or a sequence without items.
bool elementHasNoValue(const DicomElement *el);

// Checks the syntax of a condition: true when it is one; otherwise false with the reason in
// message (kConditionMessageSize characters).
bool checkCondition(const char *text, char *message);

// Evaluates a condition over the elements of container (the object's root or an item):
// 1 it holds, 0 it does not, -1 it cannot be evaluated (empty or malformed).
int evaluateCondition(AppData *app, const char *text, const DicomElement *container);

// Checks a type override list "(gggg,eeee)=T (gggg,eeee)=T ...": as checkCondition.
bool checkTypeOverrides(const char *text, char *message);
// Gives the module's top-level attributes the types that the list names.
void applyTypeOverrides(ModuleEntry *module, const char *text);

}  // namespace velmar::defs
