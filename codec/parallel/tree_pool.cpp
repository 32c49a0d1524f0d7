// The threads of the parallel encoder: starting, parking, waking and ending
// them, and handing them the pieces of source in order.
#include "codec/parallel/tree_pool.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "codec/match_tree.h"

namespace lzring {

TreePool::~TreePool() {
  Stop();
  EndThreads(1);
}

int TreePool::Allocate(std::size_t piece_size) {
  if (piece_size <= piece_size_ && pieces_[0].bytes) return 0;
  piece_size_ = 0;
  for (Piece& p : pieces_) {
    p.bytes.reset(new (std::nothrow) std::uint8_t[kPieceHistory + piece_size]);
    // A piece enters the positions of its bytes, and the last one the 17
    // before them too.
    p.records.reset(new (std::nothrow) MatchRecord[piece_size + MAX_MATCH]);
    if (!p.bytes || !p.records) return ENOMEM;
  }
  piece_size_ = piece_size;
  return 0;
}

unsigned TreePool::Start(unsigned wanted, std::uint64_t first, ThreadStartFn start,
                         ThreadTimeFn clock) {
  Stop();
  clock_ = clock;
  own_next_ = first;
  wanted = std::min(wanted, kMaxWorkers);
  // A session of fewer workers than threads kept: the others end rather than
  // idle, since a thread count changes seldom.
  if (wanted >= 1) EndThreads(wanted);
  unsigned ready = 0;
  for (unsigned w = 0; w < wanted; ++w) {
    if (!workers_[w]) workers_[w].reset(new (std::nothrow) Worker);
    if (!workers_[w]) break;
    Worker& worker = *workers_[w];
    worker.pool = this;
    worker.index = w;
    ready = w + 1;
    if (w == 0 || w <= threads_) continue;  // worker 0 is this thread; the rest are kept
    worker.next_session = session_ + 1;
    worker.quit = false;
    if (start(worker.thread, ThreadMain, &worker) != 0) {
      ready = w;
      break;
    }
    threads_ = w;
  }
  // Worker 0 is the thread that feeds the pool (DoOwnShare); the others
  // wait for the first piece, which is published only once every worker
  // has its trees (Assign). The count a worker sees is final before it
  // can see a piece: it is set here, under the monitor, and the first
  // piece is published after Start returns.
  std::lock_guard<Monitor> lock(monitor_);
  count_ = ready;
  in_session_ = ready > 1 ? ready - 1 : 0;
  parked_ = 0;
  arrived_ = 0;
  stop_ = ready == 0;
  first_ = first;
  published_ = first;
  ++session_;
  monitor_.NotifyAll();
  return ready;
}

void TreePool::Assign(const std::uint8_t owner[kTreeCount], const RingTrees* from,
                      std::uint64_t next_step) {
  std::memcpy(owner_, owner, sizeof owner_);
  for (unsigned w = 0; w < count_; ++w) {
    bool own[kTreeCount];
    for (int c = 0; c < kTreeCount; ++c) own[c] = owner[c] == w;
    if (from == nullptr) {
      workers_[w]->trees.Reset(own);
    } else {
      workers_[w]->trees.StartFrom(*from, own, next_step);
    }
  }
}

void TreePool::Publish(std::uint64_t k) {
  std::lock_guard<Monitor> lock(monitor_);
  published_ = k + 1;
  monitor_.NotifyAll();
}

void TreePool::WaitDone(std::uint64_t k) {
  DoOwnShare(k);
  Piece& piece = PieceFor(k);
  for (;;) {
    {
      std::lock_guard<Monitor> lock(monitor_);
      if (piece.done == count_ || stop_) return;
      // Rather than wait for the others, worker 0 goes on with its share
      // of the next piece once it is published: the split of the work
      // between the workers varies from piece to piece, and this way what
      // one piece leaves worker 0 short of, the next makes up.
      if (own_next_ >= published_) {
        while (piece.done < count_ && !stop_) monitor_.Wait();
        return;
      }
    }
    bool last;
    if (!WorkOn(*workers_[0], own_next_, last)) return;
    ++own_next_;
  }
}

void TreePool::MeasureWork(std::uint64_t k, double work[kTreeCount]) const {
  const Piece& piece = pieces_[k % kPieces];
  for (int c = 0; c < kTreeCount; ++c) {
    work[c] = static_cast<double>(workers_[piece.owner[c]]->visits[k % kPieces][c]);
  }
}

void TreePool::MeasureCost(std::uint64_t k, double cost[kTreeCount], double& coding) const {
  const unsigned slot = k % kPieces;
  MeasureWork(k, cost);
  // Each worker's time per work unit in the piece; none when a clock read
  // no time for work that took some.
  double per_unit[kMaxWorkers];
  bool timed = true;
  for (unsigned w = 0; w < count_ && timed; ++w) {
    const Worker& worker = *workers_[w];
    const std::uint64_t units =
        worker.busy[slot] - (w == 0 ? coded_units_[slot] * kCodingWorkUnits : 0);
    timed = worker.spent[slot] > 0 || units == 0;
    per_unit[w] =
        units == 0 ? 0 : static_cast<double>(worker.spent[slot]) / static_cast<double>(units);
  }
  if (!timed || (coded_time_[slot] == 0 && coded_units_[slot] > 0)) {
    coding = static_cast<double>(coded_units_[slot] * kCodingWorkUnits);
    return;
  }
  const Piece& piece = pieces_[slot];
  for (int c = 0; c < kTreeCount; ++c) cost[c] *= per_unit[piece.owner[c]];
  coding = static_cast<double>(coded_time_[slot]);
}

std::uint64_t TreePool::OneThreadWork(std::uint64_t k, std::uint64_t& slide) const {
  std::uint64_t total = 0;
  slide = 0;
  for (unsigned w = 0; w < count_; ++w) {
    const Worker& worker = *workers_[w];
    total += worker.busy[k % kPieces] - worker.slid[k % kPieces] - worker.extra[k % kPieces];
    slide = std::max(slide, worker.slid[k % kPieces]);
  }
  return total + slide;
}

double TreePool::Parallelism(std::uint64_t k) const {
  std::uint64_t slide;
  const std::uint64_t total = OneThreadWork(k, slide);
  std::uint64_t busiest = 0;
  for (unsigned w = 0; w < count_; ++w) busiest = std::max(busiest, workers_[w]->busy[k % kPieces]);
  return busiest == 0 ? 1.0 : static_cast<double>(total) / static_cast<double>(busiest);
}

double TreePool::Parallelism(std::uint64_t k, double busiest) const {
  std::uint64_t slide;
  const std::uint64_t total = OneThreadWork(k, slide);
  const double load = busiest + static_cast<double>(slide);
  return load <= 0 ? 1.0 : static_cast<double>(total) / load;
}

void TreePool::MergeInto(RingTrees& ws, std::uint64_t k) {
  const Piece& piece = pieces_[k % kPieces];
  ResetTrees(ws);
  std::memcpy(ws.ring, workers_[0]->trees.ws.ring, sizeof ws.ring);
  for (int c = 0; c < kTreeCount; ++c) workers_[piece.owner[c]]->trees.CopyTree(ws, c);
}

void TreePool::Stop() {
  std::lock_guard<Monitor> lock(monitor_);
  stop_ = true;
  monitor_.NotifyAll();
  while (parked_ < in_session_) monitor_.Wait();
}

void TreePool::EndThreads(unsigned keep) {
  if (threads_ < keep) return;
  {
    std::lock_guard<Monitor> lock(monitor_);
    for (unsigned w = keep; w <= threads_; ++w) workers_[w]->quit = true;
    monitor_.NotifyAll();
  }
  for (unsigned w = keep; w <= threads_; ++w) ThreadJoin(workers_[w]->thread);
  threads_ = keep - 1;
}

void TreePool::ThreadMain(void* worker) {
  Worker& w = *static_cast<Worker*>(worker);
  w.pool->Work(w);
}

// Waits until every worker has come here. False when the pool is stopping.
bool TreePool::Meet() {
  std::lock_guard<Monitor> lock(monitor_);
  const std::uint64_t meeting = meetings_;
  if (++arrived_ == count_) {
    arrived_ = 0;
    ++meetings_;
    monitor_.NotifyAll();
    return true;
  }
  while (meetings_ == meeting && !stop_) monitor_.Wait();
  return !stop_;
}

// Moves the trees whose owner changes. Every worker takes part: all meet
// once through with the piece before (so no tree is in use), the new
// owners copy their trees in, all meet again, and the old owners drop them.
bool TreePool::Resplit(Worker& w, const std::uint8_t owner[kTreeCount]) {
  if (!Meet()) return false;
  for (int c = 0; c < kTreeCount; ++c) {
    if (owner[c] == w.index && owner_[c] != w.index) {
      w.trees.Take(workers_[owner_[c]]->trees, c);
    }
  }
  if (!Meet()) return false;
  for (int c = 0; c < kTreeCount; ++c) {
    if (owner[c] != w.index && w.trees.Owns(c)) w.trees.Drop(c);
  }
  // owner_ is read only between the two meetings, and the next resplit
  // starts with a meeting that this worker reaches only after this.
  if (w.index == 0) std::memcpy(owner_, owner, sizeof owner_);
  return true;
}

bool TreePool::WorkOn(Worker& w, std::uint64_t k, bool& last) {
  Piece& piece = PieceFor(k);
  if (piece.resplit && !Resplit(w, piece.owner)) return false;
  std::uint64_t* visits = w.visits[k % kPieces];
  std::memset(visits, 0, sizeof w.visits[0]);
  const std::uint64_t from = w.trees.next_step;
  const std::uint64_t inserted = w.trees.inserted;
  const std::uint64_t start = clock_();
  RecordMatches(w.trees, piece.view, piece.records.get(), piece.records_begin, visits);
  w.spent[k % kPieces] = clock_() - start;
  // Every worker slides over every position; its trees' walks are its own.
  const std::uint64_t slid = (w.trees.next_step - from) * kStepWorkUnits;
  std::uint64_t busy = slid;
  for (int c = 0; c < kTreeCount; ++c) busy += visits[c];
  w.busy[k % kPieces] = busy;
  w.slid[k % kPieces] = slid;
  w.extra[k % kPieces] = (w.trees.inserted - inserted) * kWorkerInsertUnits;
  // Read before the piece is handed back: its place may hold the next but
  // one as soon as it is.
  last = piece.view.final;
  std::lock_guard<Monitor> lock(monitor_);
  if (++piece.done == count_) monitor_.NotifyAll();
  return true;
}

void TreePool::DoOwnShare(std::uint64_t k) {
  bool last;
  for (; own_next_ <= k; ++own_next_) {
    if (!WorkOn(*workers_[0], own_next_, last)) return;
  }
}

void TreePool::AddCoding(std::uint64_t k, std::uint64_t units, std::uint64_t time) {
  workers_[0]->busy[k % kPieces] += units * kCodingWorkUnits;
  coded_units_[k % kPieces] = units;
  coded_time_[k % kPieces] = time;
}

// A kept thread: joins each session as it begins, works on its pieces until
// the last or until the session is stopped, then parks until the next one.
void TreePool::Work(Worker& w) {
  for (;;) {
    std::uint64_t k;
    {
      std::lock_guard<Monitor> lock(monitor_);
      while (session_ < w.next_session && !w.quit) monitor_.Wait();
      if (w.quit) return;
      w.next_session = session_ + 1;
      k = first_;
    }
    for (;; ++k) {
      {
        std::lock_guard<Monitor> lock(monitor_);
        while (published_ <= k && !stop_) monitor_.Wait();
        if (stop_) break;
      }
      bool last;
      if (!WorkOn(w, k, last) || last) break;
    }
    std::lock_guard<Monitor> lock(monitor_);
    if (++parked_ == in_session_) monitor_.NotifyAll();
  }
}

}  // namespace lzring
