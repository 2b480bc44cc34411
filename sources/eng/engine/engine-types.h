/* Records shared by the engine sources, and the export marker of the
 * routines that native callers reach by their plain names. */
#ifndef ENGINE_TYPES_H
#define ENGINE_TYPES_H

#ifdef __cplusplus
#define ENGINE_EXTERN_C extern "C"
#else
#define ENGINE_EXTERN_C
#endif

#define ENGINE_API ENGINE_EXTERN_C __attribute__((visibility("default")))

/* An anchor position: x, y, z, 12 bytes without gaps. */
typedef struct {
    float x;
    float y;
    float z;
} anchor_pos_t;

/* A 3-D vector with the layout of anchor_pos_t. */
typedef struct {
    float x;
    float y;
    float z;
} vec3d_t;

#endif
