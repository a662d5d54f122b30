// IOD and module definition sets bound to objects.
#include "velmar/defs.h"

extern "C" {

// No definition set can be bound yet in this build: releasing leaves nothing behind.
VELMAR_API void DoneABCDef(struct ABDef **definitions) {
    if (definitions != nullptr) *definitions = nullptr;
}

}  // extern "C"
