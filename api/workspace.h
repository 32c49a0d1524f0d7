// The one static record in which the C entry points work: the coding state
// (ring, match trees, match result; codec/ring_trees.h) and the file pair
// with both buffers (streams/file_stream.h). It is zero at load, about
// 61 KiB, with the run index beside it about 230 KiB. The C++ codec objects
// use the same record for their file streams; each thread of a compression
// spread over several owns a RingTrees of its own.
//
// The fields keep their names through the composition (ws.ring, ws.parent,
// ws.in_buf, ...); no code relies on their order.
#ifndef LZRING_API_WORKSPACE_H
#define LZRING_API_WORKSPACE_H

#include "codec/ring_trees.h"
#include "streams/file_stream.h"

namespace lzring {

struct Workspace : RingTrees, FilePair {};

}  // namespace lzring

#endif  // LZRING_API_WORKSPACE_H
