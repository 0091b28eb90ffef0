// Failures reach Java only as exceptions raised here.
#pragma once

#include <jni.h>

namespace tarvolex {

// Raises a new exception of the class with the slash-separated name, carrying the message. The
// native method returns at once afterwards. When the class cannot be found, the virtual machine
// has already left its own exception pending.
void raiseJavaError(JNIEnv *env, const char *className, const char *message);

} // namespace tarvolex
