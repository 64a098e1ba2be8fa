// Finding the container at the end of the executable and loading it.
#ifndef SELFPATCH_CONTAINER_CONTAINER_H
#define SELFPATCH_CONTAINER_CONTAINER_H

#include "core/session.h"

// Opens s->own_path, inflates or copies the payload into a temporary file,
// reads and hands over the two texts and records the group-table position.
// Returns 0, 1, 14, 15, 16 or 39.
MsgCode LoadContainer(Session* s);

#endif
