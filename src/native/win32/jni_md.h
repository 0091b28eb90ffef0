/* The machine-dependent JNI definitions for Windows builds with MinGW-w64, used with the JDK's
 * own jni.h: exports from the DLL, __stdcall native methods (which matters on x86 only), and
 * the Windows widths of the Java integer types. */
#ifndef TARVOLEX_WIN32_JNI_MD_H
#define TARVOLEX_WIN32_JNI_MD_H

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef int jint;
typedef long long jlong;
typedef signed char jbyte;

#endif
