// The worker threads of the parallel encoder and the pieces of source they
// share with the coding thread.
//
// The coding thread reads the source into pieces and publishes them in
// order; every worker does its trees' operations for each piece (see
// tree_worker.h) and writes the matches it finds into the piece's records;
// once all workers are through a piece the coding thread turns its records
// into units. Two pieces are in use at once, so the workers go on with one
// while the coding thread codes the other and reads the next: memory stays
// the same whatever the size of the source.
//
// Between pieces the trees can change owner when the measured work shows
// a better split: the workers meet, the new owners copy the trees in, and
// the old owners let them go, before any of them goes on.
#ifndef LZRING_CODEC_TREE_POOL_H
#define LZRING_CODEC_TREE_POOL_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "codec/tree_split.h"
#include "codec/tree_worker.h"
#include "io/thread.h"

namespace lzring {

// A piece of source and what the workers found in it.
struct Piece {
  std::unique_ptr<std::uint8_t[]> bytes;  // MAX_MATCH bytes of history, then the piece
  std::unique_ptr<MatchRecord[]> records;
  SourcePiece view{};
  std::uint64_t records_begin = 0;  // the positions the workers enter for this piece
  std::uint64_t records_end = 0;
  // When set, the trees change owner to owner[] before the piece is worked.
  bool resplit = false;
  std::uint8_t owner[kTreeCount] = {};
  unsigned done = 0;  // workers through with it
};

class TreePool {
 public:
  static constexpr unsigned kPieces = 2;
  // More workers than this cannot be kept busy by 256 trees.
  static constexpr unsigned kMaxWorkers = 64;

  TreePool() = default;
  ~TreePool();
  TreePool(const TreePool&) = delete;
  TreePool& operator=(const TreePool&) = delete;

  // Allocates the pieces, of up to `piece_size` source bytes, for
  // `workers` workers. Returns 0, or ENOMEM.
  int Allocate(unsigned workers, std::size_t piece_size);
  // Allocates the workers and starts their threads with trees owned as
  // `owner` says. Returns 0, ENOMEM, or the error of a thread that could not
  // start (those started are stopped again).
  int Start(const std::uint8_t owner[kTreeCount], ThreadStartFn start);

  unsigned workers() const { return count_; }
  std::size_t piece_size() const { return piece_size_; }
  Piece& PieceFor(std::uint64_t k) { return pieces_[k % kPieces]; }
  // Lets the workers at piece k, which is ready.
  void Publish(std::uint64_t k);
  // Waits until every worker is through with piece k.
  void WaitDone(std::uint64_t k);
  // Adds to weight[] the nodes each tree's walks visited in piece k, once
  // WaitDone(k) has returned.
  void AddVisits(std::uint64_t k, std::uint64_t weight[kTreeCount]) const;
  // Stops the workers (wherever they are) and waits for them to end.
  void Stop();

 private:
  struct Worker {
    TreeWorker trees;
    std::uint64_t visits[kPieces][kTreeCount];
    TreePool* pool;
    unsigned index;
    ThreadHandle thread;
    bool started;
  };

  static void ThreadMain(void* worker);
  void Work(Worker& w);
  bool Meet();
  bool Resplit(Worker& w, const std::uint8_t owner[kTreeCount]);

  std::unique_ptr<std::unique_ptr<Worker>[]> workers_;
  unsigned count_ = 0;
  std::size_t piece_size_ = 0;
  Piece pieces_[kPieces];
  std::uint8_t owner_[kTreeCount] = {};  // the owners in force

  Monitor monitor_;
  // Guarded by monitor_:
  std::uint64_t published_ = 0;  // pieces 0..published_-1 are ready
  bool stop_ = false;
  unsigned arrived_ = 0;  // workers waiting in Meet()
  std::uint64_t meetings_ = 0;
};

}  // namespace lzring

#endif  // LZRING_CODEC_TREE_POOL_H
