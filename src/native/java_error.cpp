#include "java_error.h"

namespace tarvolex {

void raiseJavaError(JNIEnv *env, const char *className, const char *message) {
    const jclass type = env->FindClass(className);
    if (type != nullptr) {
        env->ThrowNew(type, message);
    }
}

} // namespace tarvolex
