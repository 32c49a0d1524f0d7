// The working state behind one lzring::codec object: a Workspace of its own,
// zero-filled when the object is made, so that objects never share state and
// every stream starts as a freshly loaded module would, and the encoder's
// index of long runs in the match trees.
#ifndef LZRING_API_CODEC_STATE_H
#define LZRING_API_CODEC_STATE_H

#include "api/workspace.h"
#include "codec/run_index.h"
#include "lzring/lzring.hpp"

struct lzring::codec::state {
  Workspace ws{};
  RunIndex runs{};
};

#endif  // LZRING_API_CODEC_STATE_H
