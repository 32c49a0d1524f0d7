// The match tree: the edge cases of insertion and removal, and randomised
// sequences of operations checked after every step against the structural
// check and against a brute-force search for the longest match.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "codec/format.h"
#include "codec/match_tree.h"
#include "codec/ring_trees.h"
#include "tests/support/match_tree_check.h"

namespace lzring {
namespace {

using test::CheckTrees;
using test::CommonPrefix;

// A workspace with a model of which positions are in the trees. Every
// operation is followed by the structural check; every insertion also by a
// brute-force search for the longest match among the positions in the tree.
class TreeDriver {
 public:
  TreeDriver() : ws_(std::make_unique<RingTrees>()) {
    std::memset(ws_->ring, '.', sizeof ws_->ring);
    ResetTrees(*ws_);
  }

  RingTrees& ws() { return *ws_; }
  bool InTree(std::int32_t p) const { return in_tree_[p]; }
  std::size_t size() const { return size_; }
  const std::vector<std::uint8_t>& in_tree() const { return in_tree_; }
  // The first position from p on (cyclically) that is in a tree, or p.
  std::int32_t NextInTree(std::int32_t p) const {
    for (std::int32_t k = 0; k < RING_SIZE; ++k) {
      if (in_tree_[(p + k) & RING_MASK]) return (p + k) & RING_MASK;
    }
    return p;
  }

  // Stores b at ring position k and in its mirror after the ring.
  void Store(std::int32_t k, std::uint8_t b) {
    ws_->ring[k] = b;
    if (k < MAX_MATCH - 1) ws_->ring[k + RING_SIZE] = b;
  }
  // Writes the 18-byte string of position p: `s` padded with '.'.
  void Put(std::int32_t p, std::string s) {
    s.resize(MAX_MATCH, '.');
    for (std::int32_t i = 0; i < MAX_MATCH; ++i) {
      Store((p + i) & RING_MASK, static_cast<std::uint8_t>(s[i]));
    }
  }
  // True when byte k belongs to the string of a position in a tree, so that
  // it must not change.
  bool Covered(std::int32_t k) const {
    for (std::int32_t j = 0; j < MAX_MATCH; ++j) {
      if (InTree((k - j) & RING_MASK)) return true;
    }
    return false;
  }

  // Inserts p (which must be in no tree); returns "" or what went wrong.
  std::string Insert(std::int32_t p) {
    const RingTrees& ws = *ws_;
    std::int32_t longest = 0;
    const std::uint8_t* const in_tree = in_tree_.data();
    for (std::int32_t m = 0; m < RING_SIZE; ++m) {
      if (in_tree[m] && ws.ring[m] == ws.ring[p]) {
        longest = std::max(longest, CommonPrefix(ws, p, m));
      }
    }
    InsertString(*ws_, p);
    std::ostringstream fault;
    if (ws.best_length != longest) {
      fault << "inserting " << p << " reported length " << ws.best_length << ", longest is "
            << longest;
      return fault.str();
    }
    if (longest > 0) {
      const std::int32_t best = ws.best_position;
      if (!InTree(best) || ws.ring[best] != ws.ring[p] || CommonPrefix(ws, p, best) != longest) {
        fault << "inserting " << p << " reported position " << best << ", which does not share "
              << longest << " bytes with it in its tree";
        return fault.str();
      }
      if (longest == MAX_MATCH) Mark(best, false);  // replaced by p
    }
    Mark(p, true);
    return Check("inserting", p);
  }

  std::string Remove(std::int32_t p) {
    RemoveString(*ws_, p);
    Mark(p, false);
    return Check("removing", p);
  }

  // The three link arrays, to show that an operation changed nothing.
  std::vector<std::int32_t> Links() const {
    std::vector<std::int32_t> all(ws_->parent, ws_->parent + LINK_COUNT);
    all.insert(all.end(), ws_->left, ws_->left + LINK_COUNT);
    all.insert(all.end(), ws_->right, ws_->right + RIGHT_COUNT);
    return all;
  }

  std::int32_t Root(std::uint8_t c) const { return ws_->right[ROOT_BASE + c]; }

 private:
  std::string Check(const char* what, std::int32_t p) const {
    const std::string fault = CheckTrees(*ws_, in_tree_);
    return fault.empty() ? fault
                         : std::string("after ") + what + " " + std::to_string(p) + ": " + fault;
  }

  std::unique_ptr<RingTrees> ws_;
  void Mark(std::int32_t p, bool in) {
    size_ += static_cast<std::size_t>(in) - static_cast<std::size_t>(in_tree_[p]);
    in_tree_[p] = in ? 1 : 0;
  }

  std::vector<std::uint8_t> in_tree_ = std::vector<std::uint8_t>(RING_SIZE, 0);
  std::size_t size_ = 0;
};

// Positions far enough apart that their strings do not overlap.
constexpr std::int32_t P(int k) {
  return 100 + 40 * k;
}

TEST(MatchTreeEdges, InsertIntoEmptyTreeBecomesRootWithNoMatch) {
  TreeDriver t;
  t.Put(P(0), "abc");
  ASSERT_EQ(t.Insert(P(0)), "");
  EXPECT_EQ(t.ws().best_length, 0);
  EXPECT_EQ(t.Root('a'), P(0));
  EXPECT_EQ(t.ws().parent[P(0)], ROOT_BASE + 'a');
  EXPECT_EQ(t.ws().left[P(0)], NO_NODE);
  EXPECT_EQ(t.ws().right[P(0)], NO_NODE);
}

TEST(MatchTreeEdges, FullMatchTakesTheOlderNodesPlace) {
  TreeDriver t;
  t.Put(P(0), "amm");
  t.Put(P(1), "aaa");
  t.Put(P(2), "azz");
  t.Put(P(3), "amm");  // equal to P(0), the root
  t.Put(P(4), "aaa");  // equal to P(1), a left child
  for (int k = 0; k < 3; ++k) ASSERT_EQ(t.Insert(P(k)), "");

  ASSERT_EQ(t.Insert(P(3)), "");
  EXPECT_EQ(t.ws().best_length, MAX_MATCH);
  EXPECT_EQ(t.ws().best_position, P(0));
  EXPECT_EQ(t.Root('a'), P(3));
  EXPECT_EQ(t.ws().left[P(3)], P(1));
  EXPECT_EQ(t.ws().right[P(3)], P(2));
  EXPECT_EQ(t.ws().parent[P(0)], NO_NODE);

  ASSERT_EQ(t.Insert(P(4)), "");
  EXPECT_EQ(t.ws().best_position, P(1));
  EXPECT_EQ(t.ws().left[P(3)], P(4));
  EXPECT_EQ(t.ws().parent[P(1)], NO_NODE);

  // The replaced positions are out of the trees: removing them is a no-op.
  const auto before = t.Links();
  ASSERT_EQ(t.Remove(P(0)), "");
  ASSERT_EQ(t.Remove(P(1)), "");
  EXPECT_EQ(t.Links(), before);
}

TEST(MatchTreeEdges, RemovingAPositionInNoTreeChangesNothing) {
  TreeDriver t;
  t.Put(P(0), "am");
  t.Put(P(1), "af");
  t.Put(P(2), "bq");
  for (int k = 0; k < 3; ++k) ASSERT_EQ(t.Insert(P(k)), "");
  const auto before = t.Links();
  ASSERT_EQ(t.Remove(P(5)), "");  // never inserted
  ASSERT_EQ(t.Remove(0), "");
  ASSERT_EQ(t.Remove(RING_SIZE - 1), "");
  EXPECT_EQ(t.Links(), before);
}

TEST(MatchTreeEdges, TwoChildRemovalUsesRightmostOfLeftSubtree) {
  TreeDriver t;
  // P(0) "am" is the root; left subtree "af" -> right "ah" -> left "ag".
  const char* const strings[] = {"am", "af", "at", "ah", "ag"};
  for (int k = 0; k < 5; ++k) {
    t.Put(P(k), strings[k]);
    ASSERT_EQ(t.Insert(P(k)), "");
  }
  ASSERT_EQ(t.ws().right[P(1)], P(3));
  ASSERT_EQ(t.ws().left[P(3)], P(4));

  ASSERT_EQ(t.Remove(P(0)), "");
  EXPECT_EQ(t.Root('a'), P(3));  // "ah", the rightmost of the left subtree
  EXPECT_EQ(t.ws().left[P(3)], P(1));
  EXPECT_EQ(t.ws().right[P(3)], P(2));
  EXPECT_EQ(t.ws().right[P(1)], P(4));  // "ag" moves up to its place
}

TEST(MatchTreeEdges, TwoChildRemovalUsesLeftChildWithoutRightChild) {
  TreeDriver t;
  // "ay" is the root; the node to remove, "am", is its left child, with
  // children "af" (which has only a left child "ab") and "at".
  const char* const strings[] = {"ay", "am", "af", "at", "ab"};
  for (int k = 0; k < 5; ++k) {
    t.Put(P(k), strings[k]);
    ASSERT_EQ(t.Insert(P(k)), "");
  }
  ASSERT_EQ(t.Remove(P(1)), "");
  EXPECT_EQ(t.ws().left[P(0)], P(2));
  EXPECT_EQ(t.ws().parent[P(2)], P(0));
  EXPECT_EQ(t.ws().left[P(2)], P(4));
  EXPECT_EQ(t.ws().right[P(2)], P(3));
}

TEST(MatchTreeEdges, ShallowestOfEquallyLongMatchesWins) {
  TreeDriver t;
  t.Put(P(0), "abcdeM");  // root
  t.Put(P(1), "abcdeQ");  // its right child
  ASSERT_EQ(t.Insert(P(0)), "");
  ASSERT_EQ(t.Insert(P(1)), "");
  t.Put(P(2), "abcdeZ");  // shares five bytes with both; passes the root first
  ASSERT_EQ(t.Insert(P(2)), "");
  EXPECT_EQ(t.ws().best_length, 5);
  EXPECT_EQ(t.ws().best_position, P(0));
  t.Put(P(3), "abcdeQx");  // a deeper, longer match still wins
  ASSERT_EQ(t.Insert(P(3)), "");
  EXPECT_EQ(t.ws().best_length, 6);
  EXPECT_EQ(t.ws().best_position, P(1));
}

TEST(MatchTreeEdges, GreatestStringDescendsRightToTheRightmostPlace) {
  TreeDriver t;
  const char* const strings[] = {"am", "af", "at", "ah", "ax", "ar"};
  for (int k = 0; k < 6; ++k) {
    t.Put(P(k), strings[k]);
    ASSERT_EQ(t.Insert(P(k)), "");
  }
  t.Put(P(6), "a" + std::string(MAX_MATCH - 1, '\xFF'));
  ASSERT_EQ(t.Insert(P(6)), "");
  EXPECT_EQ(t.ws().best_length, 1);
  EXPECT_EQ(t.ws().best_position, P(0));
  EXPECT_EQ(t.ws().right[P(6)], NO_NODE);
  for (std::int32_t n = P(6); n != ROOT_BASE + 'a'; n = t.ws().parent[n]) {
    EXPECT_EQ(t.ws().right[t.ws().parent[n]], n) << "node " << n << " is a left child";
  }
}

// The check must notice each kind of damage to a valid tree.
TEST(MatchTreeEdges, CheckFindsDamagedTrees) {
  using Damage = void (*)(RingTrees&, std::vector<std::uint8_t>&);
  const struct {
    const char* name;
    Damage damage;
  } cases[] = {
      {"children swapped",
       [](RingTrees& ws, std::vector<std::uint8_t>&) { std::swap(ws.left[P(0)], ws.right[P(0)]); }},
      {"parent link disagrees",
       [](RingTrees& ws, std::vector<std::uint8_t>&) { ws.parent[P(1)] = P(2); }},
      {"child lost", [](RingTrees& ws, std::vector<std::uint8_t>&) { ws.left[P(0)] = NO_NODE; }},
      {"member not expected", [](RingTrees&, std::vector<std::uint8_t>& in) { in[P(1)] = 0; }},
      {"expected member absent", [](RingTrees&, std::vector<std::uint8_t>& in) { in[P(5)] = 1; }},
      {"stray parent link",
       [](RingTrees& ws, std::vector<std::uint8_t>&) { ws.parent[P(5)] = P(0); }},
      {"node in the wrong tree",
       [](RingTrees& ws, std::vector<std::uint8_t>&) { ws.ring[P(2)] = 'b'; }},
      {"two equal keys",
       [](RingTrees& ws, std::vector<std::uint8_t>&) { ws.ring[P(2) + 1] = ws.ring[P(0) + 1]; }},
      {"link out of range", [](RingTrees& ws, std::vector<std::uint8_t>&) { ws.right[P(2)] = -5; }},
  };
  for (const auto& c : cases) {
    TreeDriver t;
    t.Put(P(0), "am");
    t.Put(P(1), "af");
    t.Put(P(2), "at");
    for (int k = 0; k < 3; ++k) ASSERT_EQ(t.Insert(P(k)), "");
    std::vector<std::uint8_t> in_tree = t.in_tree();
    c.damage(t.ws(), in_tree);
    EXPECT_NE(test::CheckTrees(t.ws(), in_tree), "") << c.name;
  }
}

// Ring contents for the randomised tests: small alphabets and repetition, so
// that long matches, full matches and ties are frequent.
enum class Content { kTwoLetters, kThreeLetters, kPeriodic, kRuns };

std::uint8_t NextByte(Content content, std::mt19937& gen, std::uint64_t i) {
  switch (content) {
    case Content::kTwoLetters:
      return static_cast<std::uint8_t>('a' + gen() % 2);
    case Content::kThreeLetters:
      return static_cast<std::uint8_t>('a' + gen() % 3);
    case Content::kPeriodic:
      // Period five with a mutation now and then.
      return gen() % 64 == 0 ? 'x' : static_cast<std::uint8_t>("abcab"[i % 5]);
    case Content::kRuns:
      return static_cast<std::uint8_t>('a' + (i / (1 + i % 29)) % 2);
  }
  return 0;
}

struct RandomCase {
  const char* name;
  Content content;
  std::uint32_t seed;
};

const RandomCase kRandomCases[] = {
    {"two_letters", Content::kTwoLetters, 1},
    {"three_letters", Content::kThreeLetters, 2},
    {"periodic", Content::kPeriodic, 3},
    {"runs", Content::kRuns, 4},
};

class RandomTreeOperations : public ::testing::TestWithParam<RandomCase> {};
class SlidingWindow : public ::testing::TestWithParam<RandomCase> {};

// Random insertions and removals over a fixed ring, with bytes outside every
// string in the trees rewritten now and then.
TEST_P(RandomTreeOperations, KeepTreesValidAndReportLongestMatch) {
  const RandomCase& c = GetParam();
  std::mt19937 gen(c.seed);
  TreeDriver t;
  for (std::int32_t k = 0; k < RING_SIZE; ++k) t.Store(k, NextByte(c.content, gen, k));

  for (int op = 0; op < 4000; ++op) {
    const std::int32_t p = static_cast<std::int32_t>(gen() & RING_MASK);
    const unsigned action = gen() % 10;
    std::string fault;
    if (action < 6) {
      if (!t.InTree(p)) fault = t.Insert(p);
    } else if (action < 9) {
      // Remove a member when there is one, to keep the trees from filling up.
      fault = t.Remove(t.NextInTree(p));
    } else if (!t.Covered(p)) {
      t.Store(p, NextByte(c.content, gen, gen()));
    }
    ASSERT_EQ(fault, "") << "operation " << op;
  }
  EXPECT_GT(t.size(), 100u);
}

// The encoder's own pattern: the window slides over a stream, the oldest
// position leaving the trees as each new byte comes in, then the look-ahead
// drains at the end of the stream. The first positions entered leave the
// window after about 4060 steps; the steps after that are the steady state
// in which every step removes a real node.
TEST_P(SlidingWindow, KeepsTreesValidAndReportsLongestMatch) {
  const RandomCase& c = GetParam();
  std::mt19937 gen(c.seed);
  TreeDriver t;
  std::memset(t.ws().ring, RING_FILL, RING_START);
  std::memset(t.ws().ring + RING_START, 0, RING_BYTES - RING_START);
  std::uint64_t i = 0;
  for (std::int32_t k = 0; k < MAX_MATCH; ++k)
    t.Store(RING_START + k, NextByte(c.content, gen, i++));
  for (std::int32_t k = 1; k <= MAX_MATCH; ++k) ASSERT_EQ(t.Insert(RING_START - k), "");
  std::int32_t cur = RING_START;
  ASSERT_EQ(t.Insert(cur), "");

  for (int step = 0; step < 4600; ++step) {
    const std::int32_t oldest = (cur + MAX_MATCH) & RING_MASK;
    ASSERT_EQ(t.Remove(oldest), "") << "step " << step;
    t.Store(oldest, NextByte(c.content, gen, i++));
    cur = (cur + 1) & RING_MASK;
    ASSERT_EQ(t.Insert(cur), "") << "step " << step;
  }
  for (std::int32_t lookahead = MAX_MATCH - 1; lookahead > 0; --lookahead) {
    ASSERT_EQ(t.Remove((cur + MAX_MATCH) & RING_MASK), "");
    cur = (cur + 1) & RING_MASK;
    ASSERT_EQ(t.Insert(cur), "");
  }
}

const auto kCaseName = [](const auto& info) { return std::string(info.param.name); };
INSTANTIATE_TEST_SUITE_P(Contents, RandomTreeOperations, ::testing::ValuesIn(kRandomCases),
                         kCaseName);
// The window holds some 4000 positions, so each step's checks cost more
// here: two contents, one with deep trees and ties, one with many full
// matches, cover the sliding pattern.
INSTANTIATE_TEST_SUITE_P(Contents, SlidingWindow,
                         ::testing::Values(kRandomCases[0], kRandomCases[2]), kCaseName);

}  // namespace
}  // namespace lzring

namespace lzring {
namespace {

// The encoder's faster insertions must report what InsertString reports and
// build the same trees. Strings of bytes 0x00 and 0xFF often meet nodes whose
// first compared words differ from the key in every bit.
struct InsertVariant {
  const char* name;
  void (*insert)(RingTrees&, std::int32_t);
};

void PrintTo(const InsertVariant& v, std::ostream* os) {
  *os << v.name;
}

class InsertVariants : public ::testing::TestWithParam<InsertVariant> {};

// Inserts the same positions of the same ring with InsertString and with the
// variant, checking every result and the trees at the end.
void ExpectSameAsInsertString(const std::uint8_t* ring, const std::vector<std::int32_t>& order,
                              void (*insert)(RingTrees&, std::int32_t)) {
  auto plain = std::make_unique<RingTrees>();
  auto fast = std::make_unique<RingTrees>();
  std::memcpy(plain->ring, ring, RING_BYTES);
  std::memcpy(fast->ring, ring, RING_BYTES);
  ResetTrees(*plain);
  ResetTrees(*fast);
  for (const std::int32_t r : order) {
    InsertString(*plain, r);
    insert(*fast, r);
    ASSERT_EQ(fast->best_length, plain->best_length) << "position " << r;
    if (plain->best_length > 0) {
      ASSERT_EQ(fast->best_position, plain->best_position) << "position " << r;
    }
  }
  EXPECT_EQ(std::memcmp(fast->parent, plain->parent, sizeof plain->parent), 0);
  EXPECT_EQ(std::memcmp(fast->left, plain->left, sizeof plain->left), 0);
  EXPECT_EQ(std::memcmp(fast->right, plain->right, sizeof plain->right), 0);
}

TEST_P(InsertVariants, MatchInsertStringOnComplementedWords) {
  // The second string shares only its first byte with the first, and its
  // bytes 1..17 are the first's with every bit flipped: a match of length 1.
  std::vector<std::uint8_t> ring(RING_BYTES, 0);
  ring[P(0)] = 'a';
  std::fill_n(&ring[P(0) + 1], MAX_MATCH - 1, 0xFF);
  ring[P(1)] = 'a';
  ExpectSameAsInsertString(ring.data(), {P(0), P(1)}, GetParam().insert);
}

TEST_P(InsertVariants, MatchInsertStringOnRandomRing) {
  std::mt19937 gen(11);
  const std::uint8_t alphabet[] = {0x00, 0xFF, 'a', 'b'};
  std::vector<std::uint8_t> ring(RING_BYTES);
  for (auto& b : ring) b = alphabet[gen() % 4];
  std::vector<std::int32_t> order(RING_SIZE);
  for (std::int32_t r = 0; r < RING_SIZE; ++r) order[r] = r;
  ExpectSameAsInsertString(ring.data(), order, GetParam().insert);
}

INSTANTIATE_TEST_SUITE_P(
    Walks, InsertVariants,
    ::testing::Values(
        InsertVariant{"Counted", [](RingTrees& ws, std::int32_t r) { InsertStringCounted(ws, r); }},
        InsertVariant{"Chain", [](RingTrees& ws, std::int32_t r) { InsertStringChain(ws, r); }}),
    [](const auto& info) { return std::string(info.param.name); });

// The walk picks a child by an unsigned comparison of the ordered words, in
// a form of its own on x86-64. Words with the top bit set are where a signed
// comparison or a wrong condition would show.
TEST(MatchTreeWalk, SelectAboveComparesUnsigned) {
  constexpr std::uint64_t kTop = std::uint64_t{1} << 63;
  constexpr std::uint64_t kAll = ~std::uint64_t{0};
  struct Case {
    std::uint64_t a, b;
    bool above;
  };
  const Case cases[] = {
      {2, 1, true},        {1, 2, false},           {5, 5, false},    {kTop, 1, true},
      {1, kTop, false},    {kAll, kAll - 1, true},  {0, kAll, false}, {kTop, kTop - 1, true},
      {kAll, kAll, false}, {kTop - 1, kTop, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(match_tree_detail::SelectAbove(c.a, c.b, 7, -3), c.above ? 7 : -3)
        << std::hex << c.a << " vs " << c.b;
  }
}

// The paired insertions must give each position what InsertString gives it,
// in order, and the same trees. Rings of four symbols make short walks with
// ties and equal words; counting records make long chain-like walks; long
// keyed records make chains whose nodes equal the key in their first eight
// bytes and differ further on.
struct PairVariant {
  const char* name;
  std::int32_t (*insert_pair)(RingTrees&, std::int32_t, std::int32_t, std::int32_t*, std::int32_t*);
};

void PrintTo(const PairVariant& v, std::ostream* os) {
  *os << v.name;
}

std::vector<std::uint8_t> FourSymbolRing() {
  std::mt19937 gen(5);
  const std::uint8_t alphabet[] = {0x00, 0xFF, 'a', 'b'};
  std::vector<std::uint8_t> ring(RING_BYTES);
  for (auto& b : ring) b = alphabet[gen() % 4];
  return ring;
}

// Fixed-width records numbering n * step, written with `format`, back to
// back over the whole ring.
std::vector<std::uint8_t> RecordsRing(const char* format, int step) {
  std::vector<std::uint8_t> ring(RING_BYTES);
  char record[32];
  for (std::int32_t at = 0, n = 0; at < RING_BYTES; ++n) {
    std::snprintf(record, sizeof record, format, n * step);
    for (int k = 0; record[k] != 0 && at < RING_BYTES; ++k)
      ring[at++] = static_cast<std::uint8_t>(record[k]);
  }
  return ring;
}

class PairVariants : public ::testing::TestWithParam<PairVariant> {};

TEST_P(PairVariants, MatchInsertStringInOrder) {
  for (const auto& ring :
       {FourSymbolRing(), RecordsRing("%06d\n", 7), RecordsRing("key=0000000%06d;", 13)}) {
    auto plain = std::make_unique<RingTrees>();
    auto fast = std::make_unique<RingTrees>();
    std::memcpy(plain->ring, ring.data(), RING_BYTES);
    std::memcpy(fast->ring, ring.data(), RING_BYTES);
    ResetTrees(*plain);
    ResetTrees(*fast);
    std::int32_t paired = 0;
    for (std::int32_t r = 0; r + 1 < RING_SIZE; r += 2) {
      InsertString(*plain, r);
      const std::int32_t first_length = plain->best_length;
      const std::int32_t first_position = plain->best_position;
      InsertString(*plain, r + 1);
      if (ring[r] == ring[r + 1]) {  // one tree: the walks depend on each other
        InsertString(*fast, r);
        InsertString(*fast, r + 1);
        continue;
      }
      ++paired;
      std::int32_t length = -1;
      std::int32_t position = -1;
      GetParam().insert_pair(*fast, r, r + 1, &length, &position);
      ASSERT_EQ(length, first_length) << "position " << r;
      if (first_length > 0) {
        ASSERT_EQ(position, first_position) << "position " << r;
      }
      ASSERT_EQ(fast->best_length, plain->best_length) << "position " << r + 1;
      if (plain->best_length > 0) {
        ASSERT_EQ(fast->best_position, plain->best_position) << "position " << r + 1;
      }
    }
    EXPECT_GT(paired, RING_SIZE / 4);
    EXPECT_EQ(std::memcmp(fast->parent, plain->parent, sizeof plain->parent), 0);
    EXPECT_EQ(std::memcmp(fast->left, plain->left, sizeof plain->left), 0);
    EXPECT_EQ(std::memcmp(fast->right, plain->right, sizeof plain->right), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Walks, PairVariants,
    ::testing::Values(PairVariant{"Pair",
                                  [](RingTrees& ws, std::int32_t a, std::int32_t b,
                                     std::int32_t* length, std::int32_t* position) {
                                    return InsertStringPair(ws, a, b, length, position);
                                  }},
                      PairVariant{"ChainPair", InsertStringChainPair}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lzring
