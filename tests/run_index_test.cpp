// The index of long runs kept beside the match trees. With it, every
// insertion must report what the plain insertion reports and leave the same
// trees, and after every tree operation the index must describe the trees:
// each run a chain of right links, each member marked where it sits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "codec/format.h"
#include "codec/match_tree.h"
#include "codec/ring_trees.h"
#include "codec/run_index.h"
#include "tests/support/match_tree_check.h"
#include "tests/support/workloads.h"

namespace lzring {
namespace {

using test::Describe;

// "" when every run of `set` is a stretch of `links` (ws.right or ws.left)
// among nodes in the trees, with its members marked at their places, and
// every marked node is in the run and at the place its marks give.
std::string CheckRuns(const RingTrees& ws, const RunSet& set, const std::int32_t* links) {
  for (std::int32_t s = 0; s < RunSet::kSlots; ++s) {
    const RunSet::Run& run = set.runs[s];
    if (run.count > RunSet::kCapacity) return Describe("run ", s, " holds ", run.count);
    for (std::uint32_t i = run.first; i != run.first + run.count; ++i) {
      const std::int32_t n = run.At(i);
      if (ws.parent[n] == NO_NODE) return Describe("member ", n, " of run ", s, " is in no tree");
      if (set.run_of[n] != s + 1 || set.index_of[n] != i) {
        return Describe("member ", n, " of run ", s, " is marked ", int{set.run_of[n]}, " at ",
                        set.index_of[n], " instead of ", i);
      }
      if (i != run.Last() && links[n] != run.At(i + 1)) {
        return Describe("member ", n, " of run ", s, " links to ", links[n],
                        " instead of the next member ", run.At(i + 1));
      }
    }
  }
  for (std::int32_t n = 0; n < RIGHT_COUNT; ++n) {
    if (set.run_of[n] == 0) continue;
    if (n >= RING_SIZE) return Describe("link ", n, " of no node is marked indexed");
    const RunSet::Run& run = set.runs[set.run_of[n] - 1];
    const std::uint32_t i = set.index_of[n];
    if (i - run.first >= run.count || run.At(i) != n) {
      return Describe("node ", n, " is marked in run ", set.run_of[n] - 1, " but is not there");
    }
  }
  return "";
}

std::string CheckRuns(const RingTrees& ws, const RunIndex& index) {
  const std::string fault = CheckRuns(ws, index.right, ws.right);
  return fault.empty() ? CheckRuns(ws, index.left, ws.left) : "right runs: " + fault;
}

std::int32_t Members(const RunSet& set) {
  std::int32_t members = 0;
  for (const RunSet::Run& run : set.runs) members += static_cast<std::int32_t>(run.count);
  return members;
}

std::int32_t Runs(const RunSet& set) {
  std::int32_t runs = 0;
  for (const RunSet::Run& run : set.runs) runs += run.count > 0;
  return runs;
}

// Two workspaces over the same ring: one driven by the plain tree
// operations, one by the encoder's with the index.
class IndexedTrees {
 public:
  IndexedTrees()
      : plain_(std::make_unique<RingTrees>()),
        fast_(std::make_unique<RingTrees>()),
        index_(std::make_unique<RunIndex>()) {
    std::memset(plain_->ring, 0, RING_BYTES);
    std::memset(fast_->ring, 0, RING_BYTES);
    ResetTrees(*plain_);
    ResetTrees(*fast_, *index_);
  }

  void Store(std::int32_t k, std::uint8_t b) {
    for (RingTrees* ws : {plain_.get(), fast_.get()}) {
      ws->ring[k] = b;
      if (k < MAX_MATCH - 1) ws->ring[k + RING_SIZE] = b;
    }
  }

  bool InTree(std::int32_t p) const { return plain_->parent[p] != NO_NODE; }

  // Inserts r, or r and r2 as a pair when their first bytes differ; "" or
  // what went wrong.
  std::string Insert(std::int32_t r, std::int32_t r2 = -1) {
    if (r2 >= 0 && plain_->ring[r] != plain_->ring[r2]) {
      InsertString(*plain_, r);
      const std::int32_t length = plain_->best_length;
      const std::int32_t position = plain_->best_position;
      InsertString(*plain_, r2);
      std::int32_t fast_length = -1;
      std::int32_t fast_position = -1;
      InsertStringChainPair(*fast_, *index_, r, r2, &fast_length, &fast_position);
      if (fast_length != length || (length > 0 && fast_position != position)) {
        return Describe("pair at ", r, " reported ", fast_length, "@", fast_position,
                        " instead of ", length, "@", position);
      }
      return Compare("pair at ", r2);
    }
    InsertString(*plain_, r);
    InsertStringChain(*fast_, *index_, r);
    std::string fault = Compare("inserting ", r);
    if (fault.empty() && r2 >= 0) return Insert(r2);
    return fault;
  }

  std::string Remove(std::int32_t p) {
    RemoveString(*plain_, p);
    RemoveString(*fast_, *index_, p);
    return Compare("removing ", p);
  }

  std::string SameTrees() const {
    const bool same = std::memcmp(plain_->parent, fast_->parent, sizeof fast_->parent) == 0 &&
                      std::memcmp(plain_->left, fast_->left, sizeof fast_->left) == 0 &&
                      std::memcmp(plain_->right, fast_->right, sizeof fast_->right) == 0;
    return same ? "" : "the trees differ";
  }

  // The most members, and the most runs, of one kind indexed at once.
  std::int32_t most_members() const { return most_members_; }
  std::int32_t most_runs() const { return most_runs_; }

 private:
  std::string Compare(const char* what, std::int32_t p) {
    std::string fault;
    if (fast_->best_length != plain_->best_length ||
        (plain_->best_length > 0 && fast_->best_position != plain_->best_position)) {
      fault = Describe("reported ", fast_->best_length, "@", fast_->best_position, " instead of ",
                       plain_->best_length, "@", plain_->best_position);
    } else {
      fault = CheckRuns(*fast_, *index_);
    }
    most_members_ = std::max({most_members_, Members(index_->right), Members(index_->left)});
    most_runs_ = std::max({most_runs_, Runs(index_->right), Runs(index_->left)});
    return fault.empty() ? fault : Describe("after ", what, p, ": ", fault);
  }

  std::unique_ptr<RingTrees> plain_;
  std::unique_ptr<RingTrees> fast_;
  std::unique_ptr<RunIndex> index_;
  std::int32_t most_members_ = 0;
  std::int32_t most_runs_ = 0;
};

// Streams whose trees grow long right chains, each meant for some of the
// index's paths.
struct Stream {
  const char* name;
  std::vector<std::uint8_t> (*make)(std::size_t n);
  std::int32_t min_runs;  // runs indexed at once at some point, at least
};

void PrintTo(const Stream& s, std::ostream* os) {
  *os << s.name;
}

using workloads::Records;
using Count = unsigned long long;

const Stream kStreams[] = {
    // New strings ever greater: runs grow at their ends and lose their
    // oldest members at their heads.
    {"ascending", [](std::size_t n) { return Records(n, "id%06llu;", [](Count k) { return k; }); },
     1},
    // New strings ever smaller: the mirror image, in left runs.
    {"descending",
     [](std::size_t n) { return Records(n, "id%06llu;", [](Count k) { return 999999 - k; }); }, 1},
    // Each record eight times over: strings equal in all 18 bytes take
    // indexed nodes' places.
    {"repeated", [](std::size_t n) { return Records(n, "%05llu,", [](Count k) { return k / 8; }); },
     1},
    // The same, counting down.
    {"repeated_descending",
     [](std::size_t n) { return Records(n, "%05llu,", [](Count k) { return 99999 - k / 8; }); }, 1},
    // One record in six out of order: turns, nodes with two children, and
    // members leaving from the middle of runs.
    {"shuffled",
     [](std::size_t n) {
       return Records(n, "r%05llu\n", [](Count k) { return k % 6 == 5 ? (k * 7919) % 100000 : k; });
     },
     1},
    // A marker byte and a two-byte counter: one chain longer than a run
    // may be.
    {"long_chain",
     [](std::size_t n) {
       std::vector<std::uint8_t> out;
       for (std::uint32_t k = 0; out.size() < n; ++k) {
         out.push_back(0xA5);
         out.push_back(static_cast<std::uint8_t>(1 + (k / 255) % 255));
         out.push_back(static_cast<std::uint8_t>(1 + k % 255));
       }
       out.resize(n);
       return out;
     },
     1},
    // Thirty-six interleaved two-byte counters, each after a letter of its
    // own: more long chains than the index has slots.
    {"many_chains",
     [](std::size_t n) {
       std::vector<std::uint8_t> out;
       for (std::uint32_t k = 0; out.size() < n; ++k) {
         out.push_back(static_cast<std::uint8_t>('A' + k % 36));
         out.push_back(static_cast<std::uint8_t>(k / 36 >> 8));
         out.push_back(static_cast<std::uint8_t>(k / 36));
       }
       out.resize(n);
       return out;
     },
     RunSet::kSlots},
};

class SlidingIndexed : public ::testing::TestWithParam<Stream> {};

// The encoder's pattern: the oldest position leaves as each byte comes in,
// and new positions enter alone or in pairs.
TEST_P(SlidingIndexed, SameResultsAndTreesAndRunsAlwaysValid) {
  const std::vector<std::uint8_t> data = GetParam().make(3 * RING_SIZE);
  IndexedTrees t;
  std::size_t next = 0;
  for (std::int32_t k = 0; k < MAX_MATCH; ++k) t.Store(k, data[next++]);
  std::int32_t cur = 0;
  for (int step = 0; next + 1 < data.size(); ++step) {
    // Two steps at once where the encoder would pair them.
    const bool pair = step % 3 != 0;
    for (int s = 0; s < (pair ? 2 : 1); ++s) {
      const std::int32_t oldest = (cur + s + MAX_MATCH) & RING_MASK;
      if (t.InTree(oldest)) {
        ASSERT_EQ(t.Remove(oldest), "") << "step " << step;
      }
      t.Store(oldest, data[next++]);
    }
    const std::int32_t c1 = (cur + 1) & RING_MASK;
    const std::int32_t c2 = (cur + 2) & RING_MASK;
    if (pair) {
      ASSERT_EQ(t.Insert(c1, c2), "") << "step " << step;
      cur = c2;
    } else {
      ASSERT_EQ(t.Insert(c1), "") << "step " << step;
      cur = c1;
    }
  }
  EXPECT_EQ(t.SameTrees(), "");
  // The index was in use, so its paths were taken.
  EXPECT_GE(t.most_members(), static_cast<std::int32_t>(RunIndex::kMinRun));
  EXPECT_GE(t.most_runs(), GetParam().min_runs);
}

INSTANTIATE_TEST_SUITE_P(Streams, SlidingIndexed, ::testing::ValuesIn(kStreams),
                         [](const auto& info) { return std::string(info.param.name); });

// Insertions mostly in ring order over ascending or descending records, so
// that long runs form, mixed with removals anywhere and insertions out of
// order: every way a node leaves its place, at every place in a run.
class RandomIndexedOperations : public ::testing::TestWithParam<bool> {};

TEST_P(RandomIndexedOperations, SameResultsAndTreesAndRunsAlwaysValid) {
  const std::vector<std::uint8_t> data =
      GetParam() ? Records(RING_BYTES, "k%05llu|", [](Count k) { return k * 3; })
                 : Records(RING_BYTES, "k%05llu|", [](Count k) { return 99999 - k * 3; });
  IndexedTrees t;
  for (std::int32_t k = 0; k < RING_BYTES; ++k) t.Store(k & RING_MASK, data[k]);
  std::mt19937 gen(21);
  std::int32_t in_order = 0;
  for (int op = 0; op < 12000; ++op) {
    const unsigned action = gen() % 16;
    const std::int32_t p = static_cast<std::int32_t>(gen() & RING_MASK);
    std::string fault;
    if (action < 9) {
      if (!t.InTree(in_order)) fault = t.Insert(in_order);
      in_order = (in_order + 1) & RING_MASK;
    } else if (action < 14) {
      if (t.InTree(p)) fault = t.Remove(p);
    } else if (!t.InTree(p)) {
      fault = t.Insert(p);
    }
    ASSERT_EQ(fault, "") << "operation " << op;
  }
  EXPECT_EQ(t.SameTrees(), "");
  EXPECT_GE(t.most_members(), static_cast<std::int32_t>(RunIndex::kMinRun));
}

INSTANTIATE_TEST_SUITE_P(Orders, RandomIndexedOperations, ::testing::Bool(), [](const auto& info) {
  return std::string(info.param ? "ascending" : "descending");
});

// The check must notice each kind of damage to a valid index.
TEST(RunIndexCheck, FindsDamagedRuns) {
  const std::vector<std::uint8_t> data =
      Records(RING_BYTES, "id%06llu;", [](Count k) { return k; });
  auto ws = std::make_unique<RingTrees>();
  auto index = std::make_unique<RunIndex>();
  std::memcpy(ws->ring, data.data(), RING_BYTES);
  ResetTrees(*ws, *index);
  for (std::int32_t r = 0; r < RING_SIZE; ++r) InsertStringChain(*ws, *index, r);
  ASSERT_EQ(CheckRuns(*ws, *index), "");
  std::int32_t slot = 0;
  while (slot < RunSet::kSlots && index->right.runs[slot].count < 3) ++slot;
  ASSERT_LT(slot, RunSet::kSlots) << "no run was indexed";

  using Damage = void (*)(RingTrees&, RunSet&, RunSet::Run&);
  const struct {
    const char* name;
    Damage damage;
  } cases[] = {
      {"members swapped",
       [](RingTrees&, RunSet&, RunSet::Run& run) {
         std::swap(run.nodes[run.first % RunSet::kCapacity],
                   run.nodes[(run.first + 1) % RunSet::kCapacity]);
       }},
      {"wrong place", [](RingTrees&, RunSet& index,
                         RunSet::Run& run) { ++index.index_of[run.At(run.first + 1)]; }},
      {"mark lost",
       [](RingTrees&, RunSet& index, RunSet::Run& run) { index.run_of[run.At(run.Last())] = 0; }},
      {"stray mark",
       [](RingTrees&, RunSet& index, RunSet::Run& run) {
         std::int32_t n = 0;
         while (index.run_of[n] != 0) ++n;
         index.run_of[n] = index.run_of[run.At(run.first)];
       }},
      {"member out of the tree",
       [](RingTrees& ws, RunSet&, RunSet::Run& run) { ws.parent[run.At(run.Last())] = NO_NODE; }},
      {"run longer than its chain", [](RingTrees&, RunSet&, RunSet::Run& run) { ++run.count; }},
  };
  for (const auto& c : cases) {
    auto broken_ws = std::make_unique<RingTrees>(*ws);
    auto broken = std::make_unique<RunIndex>(*index);
    c.damage(*broken_ws, broken->right, broken->right.runs[slot]);
    EXPECT_NE(CheckRuns(*broken_ws, *broken), "") << c.name;
  }
}

}  // namespace
}  // namespace lzring
