/* Records shared by the engine sources; their routines carry the cores'
 * export marker. */
#ifndef ENGINE_TYPES_H
#define ENGINE_TYPES_H

#include "export.h"

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
