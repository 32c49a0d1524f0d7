#include "codec/tree_pool.h"

#include <cerrno>
#include <cstring>
#include <new>

namespace lzring {

TreePool::~TreePool() {
  Stop();
}

int TreePool::Allocate(unsigned workers, std::size_t piece_size) {
  count_ = workers;
  piece_size_ = piece_size;
  for (Piece& p : pieces_) {
    p.bytes.reset(new (std::nothrow) std::uint8_t[MAX_MATCH + piece_size]);
    // A piece enters the positions of its bytes, and the last one the 17
    // before them too.
    p.records.reset(new (std::nothrow) MatchRecord[piece_size + MAX_MATCH]);
    if (!p.bytes || !p.records) return ENOMEM;
  }
  return 0;
}

int TreePool::Start(const std::uint8_t owner[kTreeCount], ThreadStartFn start) {
  workers_.reset(new (std::nothrow) std::unique_ptr<Worker>[count_]);
  if (!workers_) return ENOMEM;
  for (unsigned w = 0; w < count_; ++w) {
    workers_[w].reset(new (std::nothrow) Worker);
    if (!workers_[w]) return ENOMEM;
    workers_[w]->pool = this;
    workers_[w]->index = w;
    workers_[w]->started = false;
  }
  std::memcpy(owner_, owner, sizeof owner_);
  for (unsigned w = 0; w < count_; ++w) {
    bool own[kTreeCount];
    for (int c = 0; c < kTreeCount; ++c) own[c] = owner[c] == w;
    workers_[w]->trees.Reset(own);
  }
  for (unsigned w = 0; w < count_; ++w) {
    Worker& worker = *workers_[w];
    const int error = start(worker.thread, ThreadMain, &worker);
    if (error != 0) {
      Stop();
      return error;
    }
    worker.started = true;
  }
  return 0;
}

void TreePool::Publish(std::uint64_t k) {
  MonitorLock lock(monitor_);
  published_ = k + 1;
  monitor_.NotifyAll();
}

void TreePool::WaitDone(std::uint64_t k) {
  Piece& piece = PieceFor(k);
  MonitorLock lock(monitor_);
  while (piece.done < count_ && !stop_) monitor_.Wait();
}

void TreePool::AddVisits(std::uint64_t k, std::uint64_t weight[kTreeCount]) const {
  for (unsigned w = 0; w < count_; ++w) {
    const std::uint64_t* visits = workers_[w]->visits[k % kPieces];
    for (int c = 0; c < kTreeCount; ++c) weight[c] += visits[c];
  }
}

void TreePool::Stop() {
  {
    MonitorLock lock(monitor_);
    stop_ = true;
    monitor_.NotifyAll();
  }
  for (unsigned w = 0; w < count_ && workers_; ++w) {
    if (workers_[w] && workers_[w]->started) {
      ThreadJoin(workers_[w]->thread);
      workers_[w]->started = false;
    }
  }
}

void TreePool::ThreadMain(void* worker) {
  Worker& w = *static_cast<Worker*>(worker);
  w.pool->Work(w);
}

// Waits until every worker has come here. False when the pool is stopping.
bool TreePool::Meet() {
  MonitorLock lock(monitor_);
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

void TreePool::Work(Worker& w) {
  for (std::uint64_t k = 0;; ++k) {
    {
      MonitorLock lock(monitor_);
      while (published_ <= k && !stop_) monitor_.Wait();
      if (stop_) return;
    }
    Piece& piece = PieceFor(k);
    if (piece.resplit && !Resplit(w, piece.owner)) return;
    std::uint64_t* visits = w.visits[k % kPieces];
    std::memset(visits, 0, sizeof w.visits[0]);
    RunTreeWorker(w.trees, piece.view, piece.records.get(), piece.records_begin, visits);
    const bool last = piece.view.final;
    {
      MonitorLock lock(monitor_);
      if (++piece.done == count_) monitor_.NotifyAll();
    }
    if (last) return;
  }
}

}  // namespace lzring
