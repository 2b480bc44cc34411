/* The export marker of the numeric cores' routines: C linkage and default
 * visibility, so that native callers (the tests' ctypes, the fuzzers) reach
 * them by their plain names in modules that otherwise hide their symbols.
 * One marker for every core; a core's headers include this one. */
#ifndef QZ_EXPORT_H
#define QZ_EXPORT_H

#ifdef __cplusplus
#define QZ_EXTERN_C extern "C"
#else
#define QZ_EXTERN_C
#endif

#define QZ_API QZ_EXTERN_C __attribute__((visibility("default")))

#endif
