// The cause of a failed write: the first failure on the write path notes why, and the writer logs
// it before it reports the object not fully saved.
#pragma once

#include <string>

namespace velmar::codecs {

// Notes the cause (printf format) unless one is already noted since the last take.
void noteWriteFailure(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Whether a cause is noted.
bool writeFailureNoted();
// The noted cause (empty when none), which is then forgotten.
std::string takeWriteFailure();

}  // namespace velmar::codecs
