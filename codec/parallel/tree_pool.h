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
// The coding thread is worker 0 itself: it does its share of a piece when
// it needs that piece done (WaitDone), so that n workers are n threads and
// never more than the processors they were counted for; the trees it owns
// are fewer, by the time its coding takes (AddBusy).
//
// Between pieces the trees can change owner when the measured work shows
// a better split: the workers meet, the new owners copy the trees in, and
// the old owners let them go, before any of them goes on.
//
// The pool keeps its threads and memory from one session of the workers to
// the next, and so from one source to the next: a session ends with its
// threads parked, and the next session wakes them. Threads are started only
// when a session needs more than the pool has, and end when it is destroyed
// or a session needs fewer. A codec object that compresses many sources
// starts its threads and allocates its pieces once.
//
// Work is measured in units that count the same on every platform: the
// nodes that the walks visit, a few per insertion, and a few per position
// that a worker slides over or that the coding thread codes. Whether the
// workers pay is judged in those units alone. The split of the trees
// weighs them by each worker's thread time where the platform counts it
// finely (MeasureCost); never by a clock that some systems advance in
// steps longer than a short piece takes.
//
// A field that more than one thread touches says so where it is declared,
// in one form: "Shared: written by ...; read by ...; ordered by ..." (what
// makes the write seen before the read). The other fields are one thread's:
// the coding thread's (which is worker 0), or a Worker's own thread's.
#ifndef LZRING_CODEC_PARALLEL_TREE_POOL_H
#define LZRING_CODEC_PARALLEL_TREE_POOL_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "codec/parallel/thread_policy.h"
#include "codec/parallel/tree_split.h"
#include "codec/parallel/tree_worker.h"
#include "platform/thread.h"

namespace lzring {

// A piece of source and what the workers found in it. Its place holds piece
// k, then k + kPieces: the coding thread refills it only once WaitDone(k)
// has returned, and the workers see it again only once it is published.
struct Piece {
  // kPieceHistory bytes of history, then the piece.
  // Shared: written by the coding thread (ParallelEncoder::Write, Publish);
  // read by the workers; ordered by TreePool::Publish (the monitor).
  std::unique_ptr<std::uint8_t[]> bytes;
  // The match found at each position the piece enters.
  // Shared: written by every worker, each at the positions of the trees it
  // owns (no two own a tree, so no index is written twice), and by the
  // coding thread before the session's first piece is published; read by
  // the coding thread; ordered by WaitDone (done, under the monitor).
  std::unique_ptr<MatchRecord[]> records;
  // view .. owner: the piece and the trees' owners while it is worked; when
  // `resplit` is set, the trees change to these owners before it.
  // Shared: written by the coding thread (ParallelEncoder::Publish); read by
  // the workers; ordered by TreePool::Publish.
  SourcePiece view{};
  std::uint64_t records_begin = 0;  // the positions the workers enter for this piece
  std::uint64_t records_end = 0;
  bool resplit = false;
  std::uint8_t owner[kTreeCount] = {};
  // Workers through with it.
  // Shared: counted up by each worker; read by the coding thread (WaitDone);
  // ordered by the monitor. Reset by the coding thread without the lock
  // (ParallelEncoder::Publish): safe only because WaitDone ran first for
  // the piece before in this place, and no worker looks at it again until
  // TreePool::Publish.
  unsigned done = 0;
};

// The bytes before a piece that its view repeats: the workers need the 18
// before it, and the coder, when the workers take over from the one-thread
// loop one step ahead of its unit, one more.
inline constexpr std::size_t kPieceHistory = MAX_MATCH + 1;

class TreePool {
 public:
  static constexpr unsigned kPieces = 2;
  // More workers than this cannot be kept busy by 256 trees.
  static constexpr unsigned kMaxWorkers = 64;

  TreePool() = default;
  ~TreePool();
  TreePool(const TreePool&) = delete;
  TreePool& operator=(const TreePool&) = delete;

  // Makes the pieces hold up to `piece_size` source bytes; pieces as large
  // or larger are kept. Returns 0, or ENOMEM.
  int Allocate(std::size_t piece_size);
  // Begins a session of up to `wanted` workers on pieces from `first` on:
  // worker 0 is the calling thread, the others threads of the pool, started now
  // where the pool has fewer (with `start`), ended where it has more. A
  // worker whose memory or thread cannot be had is left out with those
  // after it: returns how many are ready, 0 if not even worker 0 (the
  // session is then over).
  unsigned Start(unsigned wanted, std::uint64_t first, ThreadStartFn start, ThreadTimeFn clock);
  // Gives the ready workers their trees, as `owner` says, before the first
  // piece is published: empty trees for a new source (`from` null), or the
  // trees and ring of `from`, where the one-thread encoder has done every
  // step before `next_step` (see RecordMatches).
  void Assign(const std::uint8_t owner[kTreeCount], const RingTrees* from, std::uint64_t next_step);

  unsigned workers() const { return count_; }
  std::size_t piece_size() const { return piece_size_; }
  Piece& PieceFor(std::uint64_t k) { return pieces_[k % kPieces]; }
  // Lets the workers at piece k, which is ready.
  void Publish(std::uint64_t k);
  // Does worker 0's share of the pieces up to k, then waits until every
  // worker is through with piece k.
  void WaitDone(std::uint64_t k);
  // Counts the coding of `units` units in worker 0's work for piece k,
  // and the thread time (ThreadTime) that the coding and the feeding took.
  void AddCoding(std::uint64_t k, std::uint64_t units, std::uint64_t time);
  // The work each tree took in piece k, once WaitDone(k) has returned: the
  // nodes its walks visited and its insertions, in work units.
  void MeasureWork(std::uint64_t k, double work[kTreeCount]) const;
  // The same work in thread time, and in `coding` worker 0's coding and
  // feeding, for splitting the trees. A node visited or an insertion can
  // cost several times as much in one tree as in another (long runs, a
  // tree that fits the cache), so each worker's work units are weighed by
  // the time they took it in the piece. Where the platform cannot time
  // the piece finely, the work units, and the coding's.
  void MeasureCost(std::uint64_t k, double cost[kTreeCount], double& coding) const;
  // The speed-up over one thread that piece k had, once WaitDone(k) has
  // returned: the work one thread would have done (every worker's, but the
  // slide over the piece once and the workers' own cost of each insertion,
  // kWorkerInsertUnits) over the busiest worker's. The slides of the
  // others run beside it but do no work one thread would do, so a piece
  // that only one worker's trees take keeps two processors busy and gains
  // nothing; nor does a source whose walks are so short that the workers'
  // own costs are most of their work.
  double Parallelism(std::uint64_t k) const;
  // The same, had the busiest worker's trees (and coding) taken `busiest`
  // units: under another split of the trees, from their work in piece k
  // (MeasureWork).
  double Parallelism(std::uint64_t k, double busiest) const;
  // Copies the ring and every tree, as they are once WaitDone(k) has
  // returned for the last piece published, into `ws`.
  void MergeInto(RingTrees& ws, std::uint64_t k);
  // Ends the session: stops the workers wherever they are and waits until
  // every thread of the session has left it. The threads stay, parked, for
  // the next session; nothing of the session's is touched by them any more.
  void Stop();
  // The threads the pool keeps (besides the calling thread).
  unsigned threads() const { return threads_; }

 private:
  struct Worker {
    // Shared: written by this worker (WorkOn, Resplit) and by the coding
    // thread before a session's first piece (Assign); read by the workers
    // that take trees from it (Take, between the two meetings of Resplit)
    // and by the coding thread (MergeInto); ordered by Publish, by Meet and
    // by WaitDone.
    TreeWorker trees;
    // visits .. spent, in the place of piece k: the work of each tree, in
    // work units; the worker's work on the piece (`busy`), the part of it
    // that slid over positions (`slid`) and the part that one thread does
    // without (`extra`); the thread time its tree work took (`spent`).
    // Shared: written by this worker (WorkOn) before it counts piece k done,
    // and for worker 0 by the coding thread (AddCoding, the same thread);
    // read by the coding thread (MeasureWork, MeasureCost, Parallelism);
    // ordered by WaitDone(k). The place is written again only for piece
    // k + kPieces, published after the coding thread has read it.
    std::uint64_t visits[kPieces][kTreeCount];
    std::uint64_t busy[kPieces];
    std::uint64_t slid[kPieces];
    std::uint64_t extra[kPieces];
    std::uint64_t spent[kPieces];
    // Shared: written by the coding thread (Start); read by this worker's
    // thread; ordered by the thread's start, or by the monitor when a kept
    // thread joins a session.
    TreePool* pool;
    unsigned index;
    ThreadHandle thread;  // the coding thread's alone
    // The session the thread is to join next.
    // Shared: written by the coding thread before the thread starts, then
    // by the thread; read by the thread; ordered by the thread's start.
    std::uint64_t next_session;
    // The thread is to end.
    // Shared: written by the coding thread (EndThreads); read by the
    // thread; ordered by the monitor.
    bool quit;
  };

  static void ThreadMain(void* worker);
  // The work one thread would have done on piece k, and the longest slide
  // of a worker over it.
  std::uint64_t OneThreadWork(std::uint64_t k, std::uint64_t& slide) const;
  void Work(Worker& w);
  // Worker w's share of piece k; false when the pool is stopping. `last`
  // tells whether the piece was the source's last.
  bool WorkOn(Worker& w, std::uint64_t k, bool& last);
  void DoOwnShare(std::uint64_t k);
  bool Meet();
  bool Resplit(Worker& w, const std::uint8_t owner[kTreeCount]);
  // Ends the threads of workers `keep` and above.
  void EndThreads(unsigned keep);

  // workers_ .. clock_:
  // Shared: written by the coding thread (Start); read by the workers;
  // ordered by the monitor (a worker joins a session under it).
  std::unique_ptr<Worker> workers_[kMaxWorkers];
  unsigned count_ = 0;  // workers in the current session, worker 0 among them
  ThreadTimeFn clock_ = ThreadTime;
  unsigned threads_ = 0;        // threads kept: those of workers 1..threads_
  std::size_t piece_size_ = 0;  // what the pieces can hold
  Piece pieces_[kPieces];
  // The owners in force.
  // Shared: written by the coding thread (Assign, before a session's first
  // piece) and by worker 0 (Resplit, after the second meeting); read by
  // every worker between the two meetings of Resplit; ordered by Publish
  // and Meet.
  std::uint8_t owner_[kTreeCount] = {};
  std::uint64_t own_next_ = 0;               // the next piece worker 0 works on
  std::uint64_t coded_units_[kPieces] = {};  // worker 0's coding of a piece
  std::uint64_t coded_time_[kPieces] = {};

  Monitor monitor_;
  // session_ .. meetings_:
  // Shared: guarded by monitor_; written by the coding thread (Start,
  // Publish, Stop) and by the workers (parked_, arrived_, meetings_); read
  // by both.
  std::uint64_t session_ = 0;    // the current session; threads wait for a new one
  std::uint64_t first_ = 0;      // the first piece of the current session
  std::uint64_t published_ = 0;  // pieces 0..published_-1 are ready
  bool stop_ = false;            // the current session is over
  unsigned in_session_ = 0;      // threads in the current session (count_ - 1)
  unsigned parked_ = 0;          // threads that have left the current session
  unsigned arrived_ = 0;         // workers waiting in Meet()
  std::uint64_t meetings_ = 0;
};

}  // namespace lzring

#endif  // LZRING_CODEC_PARALLEL_TREE_POOL_H
