// The memory cache: recency order, trimming with write-back, misses, and a
// write-back that fails half way.
#include <algorithm>
#include <random>
#include <set>

#include "storage/obj_mem_cache.h"
#include "storage/storage_fixture.h"
#include "stream/fault_injection.h"

namespace velkor_test {
namespace {

using velkor::kNoSlot;

// Accepts the entry with key `want`; kNoSlot accepts any.
struct key_filter {
  bool operator()(const blob& b) const { return (*this)(b.key); }
  bool operator()(const uint32_t& key) const { return want == kNoSlot || key == want; }
  uint32_t want = kNoSlot;
};

struct faults_off_at_exit {
  ~faults_off_at_exit() { velkor::faults::disarm(); }
};

class cache_test : public storage_test {
 protected:
  std::vector<uint32_t> recency() const {
    return std::vector<uint32_t>(cache.recency().begin(), cache.recency().end());
  }
  // Stores new objects keyed 0..count-1 through the cache.
  std::vector<uint32_t> save_new(int count, uint32_t first_key = 0) {
    std::vector<uint32_t> ids;
    for (int i = 0; i < count; ++i) ids.push_back(cache._save_new_object(blob(first_key + i, 40)));
    return ids;
  }
  // Changes the cached copy of `id` so that it grows past its chain.
  blob change(uint32_t id, bool mark) {
    blob* b = cache._get_object(id, key_filter{});
    b->payload.resize(b->payload.size() + 50, 0x77);
    if (mark) cache._mark_modified(id);
    return *b;
  }
  blob stored(uint32_t id) {
    blob b;
    EXPECT_TRUE(st._load_object_entire(id, b));
    return b;
  }

  velkor::_CObjMemCache<blob> cache{&st};
};

TEST_F(cache_test, FlushDropsTheOldestAndWritesBackOnlyMarkedOnes) {
  const auto first = save_new(6);
  const blob old0 = stored(first[0]);
  change(first[0], false);
  const blob new1 = change(first[1], true);
  const blob new3 = change(first[3], true);
  EXPECT_LE(cache._flush_cache(64), 0);
  const auto rest = save_new(58, 6);
  EXPECT_LE(cache._flush_cache(64), 0);
  const auto more = save_new(6, 64);
  auto newest = rest;
  newest.insert(newest.end(), more.begin(), more.end());
  for (int i = 0; i < 10; ++i) ASSERT_NE(cache._get_object(first[0], key_filter{}), nullptr);
  EXPECT_EQ(recency().front(), first[0]);  // lookups do not refresh

  EXPECT_EQ(cache._flush_cache(64), 6);
  EXPECT_EQ(recency(), newest);
  EXPECT_EQ(cache.cached_count(), 64);
  EXPECT_EQ(cache.modified_count(), 0);
  for (uint32_t id : first) EXPECT_FALSE(cache.holds(id));
  EXPECT_EQ(stored(first[0]), old0);
  EXPECT_EQ(stored(first[1]), new1);
  EXPECT_EQ(stored(first[3]), new3);
  // Written oldest first: the slot that first[1] grew into lies before first[3]'s.
  EXPECT_LT(chain(first[1]).back(), chain(first[3]).back());
}

TEST_F(cache_test, MarkingMovesAnEntryToTheNewestEnd) {
  const auto abc = save_new(3);
  const uint32_t a = abc[0], b = abc[1], c = abc[2];
  const blob old_a = stored(a), old_c = stored(c);
  const blob new_b = change(b, true);
  change(a, false);
  change(c, false);
  EXPECT_EQ(recency(), (std::vector<uint32_t>{a, c, b}));
  EXPECT_TRUE(cache.is_modified(b));

  EXPECT_EQ(cache._flush_cache(1), 2);
  EXPECT_EQ(recency(), std::vector<uint32_t>{b});
  EXPECT_TRUE(cache.is_modified(b));
  EXPECT_EQ(stored(a), old_a);
  EXPECT_EQ(stored(c), old_c);
  EXPECT_NE(stored(b), new_b);

  // Marking an id that is not cached leaves it out of the order; flushing
  // everything still leaves nothing modified.
  cache._mark_modified(7);
  EXPECT_EQ(recency(), std::vector<uint32_t>{b});
  EXPECT_EQ(cache._flush_cache(0), 1);
  EXPECT_EQ(cache.cached_count(), 0);
  EXPECT_EQ(cache.modified_count(), 0);
  EXPECT_EQ(stored(b), new_b);
}

TEST_F(cache_test, MissesCacheOnlyWhatTheFilterAccepts) {
  const uint32_t id = st._save_new_object(blob(5, 40));
  EXPECT_EQ(cache._get_object(9999, key_filter{}), nullptr);
  EXPECT_EQ(cache._get_object(id, key_filter{6}), nullptr);
  EXPECT_EQ(cache.cached_count(), 0);

  const blob* hit = cache._get_object(id, key_filter{5});
  ASSERT_NE(hit, nullptr);
  EXPECT_EQ(hit->key, 5u);
  EXPECT_EQ(recency(), std::vector<uint32_t>{id});
  EXPECT_EQ(cache.modified_count(), 0);
  // A hit reads nothing from the file.
  faults_off_at_exit guard;
  velkor::faults::arm(velkor::faults::io_op::seek, 1, true);
  EXPECT_EQ(cache._get_object(id, key_filter{5}), hit);
  EXPECT_EQ(cache._get_object(id, key_filter{6}), nullptr);
  velkor::faults::disarm();
  EXPECT_TRUE(cache.holds(id));
}

// The owner's mark lives and dies with the cached entry; the hook runs once
// per trim that drops something, before the first write-back.
TEST_F(cache_test, OwnerMarksGoWithTheEntryAndTheHookPrecedesWriteBacks) {
  const auto ids = save_new(3);
  EXPECT_TRUE(cache.mark(ids[0]));
  EXPECT_FALSE(cache.mark(ids[0]));
  EXPECT_EQ(nullptr, cache.take_mark(ids[1]));
  EXPECT_NE(nullptr, cache.take_mark(ids[0]));
  EXPECT_EQ(nullptr, cache.take_mark(ids[0]));

  int calls = 0;
  cache.set_before_write_back([&] {
    ++calls;
    // Nothing is written yet: the changed copy is still only cached.
    EXPECT_EQ(32u, stored(ids[0]).payload.size());
  });
  change(ids[0], true);
  cache.mark(ids[0]);
  cache._flush_cache(3);
  EXPECT_EQ(0, calls);
  cache._flush_cache(0);
  EXPECT_EQ(1, calls);
  EXPECT_EQ(82u, stored(ids[0]).payload.size());
  ASSERT_NE(nullptr, cache._get_object(ids[0], key_filter{}));
  EXPECT_EQ(nullptr, cache.take_mark(ids[0]));
}

TEST_F(cache_test, NewObjectUnderACachedIdIsAFault) {
  const uint32_t id = save_new(1)[0];
  // Re-caching a loaded copy keeps the cached one.
  cache.__cache_object(id, blob(99, 12), false);
  EXPECT_EQ(cache._get_object(id, key_filter{})->key, 0u);

  st.free_object(id);  // the storage hands the same id out again
  VELKOR_CATCH(e, cache._save_new_object(blob(1, 40)));
  EXPECT_TRUE(texts_equal(texts_of(e), storage_error("_CObjMemCache.MapEntryExists",
                                                     "The entry already exists in memory Cache!",
                                                     "_CObjMemCache::__cache_object")));

  velkor::_CObjMemCache<nothing> empty_forms(&st);
  VELKOR_CATCH(alloc, empty_forms._save_new_object(nothing{}));
  EXPECT_TRUE(
      texts_equal(texts_of(alloc), storage_error("_CObjMemCache.AllocNewObjFailure",
                                                 "Failed to allocate a new object in storage!",
                                                 "_CObjMemCache::_save_new_object")));
}

TEST_F(cache_test, DropForgetsAModifiedEntryUnwritten) {
  const uint32_t id = save_new(1)[0];
  const blob old = stored(id);
  change(id, true);
  EXPECT_TRUE(cache._drop_object(id));
  EXPECT_FALSE(cache._drop_object(id));
  EXPECT_EQ(cache.modified_count(), 0);
  EXPECT_TRUE(recency().empty());
  EXPECT_LE(cache._flush_cache(0), 0);
  EXPECT_EQ(stored(id), old);
}

TEST_F(cache_test, FailedWriteBackKeepsTheRestCached) {
  const auto ids = save_new(5);
  std::vector<blob> changed;
  for (uint32_t id : ids) {
    blob* b = cache._get_object(id, key_filter{});
    b->payload.assign(b->payload.size(), 0x3C);  // same size: one write each
    changed.push_back(*b);
    cache._mark_modified(id);
  }
  faults_off_at_exit guard;
  velkor::faults::arm(velkor::faults::io_op::write, 3);
  VELKOR_CATCH(e, cache._flush_cache(0));
  velkor::faults::disarm();
  EXPECT_EQ(e.get_id(), "_stream.WriteErr");

  EXPECT_EQ(stored(ids[0]), changed[0]);
  EXPECT_EQ(stored(ids[1]), changed[1]);
  EXPECT_FALSE(cache.holds(ids[0]));
  EXPECT_FALSE(cache.holds(ids[1]));
  for (int i = 2; i < 5; ++i) {
    EXPECT_TRUE(cache.holds(ids[i]));
    EXPECT_TRUE(cache.is_modified(ids[i]));
  }
  EXPECT_EQ(recency(), ids);
  // A dropped entry that is loaded again moves to the newest end, once.
  ASSERT_NE(cache._get_object(ids[0], key_filter{}), nullptr);
  EXPECT_EQ(recency(), (std::vector<uint32_t>{ids[1], ids[2], ids[3], ids[4], ids[0]}));

  EXPECT_EQ(cache._flush_cache(0), 5);
  EXPECT_EQ(cache.cached_count(), 0);
  EXPECT_EQ(cache.modified_count(), 0);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(stored(ids[i]), changed[i]);
}

// The recency order of the cache against the plain array it stands for.
struct reference_cache {
  void remove(uint32_t id, size_t* removed = nullptr) {
    const auto end = std::remove(order.begin(), order.end(), id);
    if (removed) *removed = static_cast<size_t>(order.end() - end);
    order.erase(end, order.end());
  }
  void cache(uint32_t id) {
    if (!held.insert(id).second) return;
    remove(id);
    order.push_back(id);
  }
  void touch(uint32_t id) {
    size_t removed = 0;
    remove(id, &removed);
    if (removed == 1) order.push_back(id);
  }
  void mark(uint32_t id) {
    dirty.insert(id);
    touch(id);
  }
  bool drop(uint32_t id) {
    const bool was = held.erase(id) != 0;
    remove(id);
    dirty.erase(id);
    return was;
  }
  int32_t flush(uint32_t keep) {
    const int32_t n = static_cast<int32_t>(order.size()) - static_cast<int32_t>(keep);
    if (n <= 0) return n;
    for (int32_t i = 0; i < n; ++i) {
      dirty.erase(order[i]);
      held.erase(order[i]);
    }
    order.erase(order.begin(), order.begin() + n);
    if (order.empty()) dirty.clear();
    return n;
  }
  std::vector<uint32_t> order;
  std::set<uint32_t> held, dirty;
};

TEST_F(cache_test, LargeCacheKeepsTheOrderOfAPlainArray) {
  constexpr uint32_t kIds = 110000;
  for (uint32_t i = 0; i < kIds; ++i) st.slots.push_back(slot(512 + 32 * i, 32));
  file.resize(static_cast<int32_t>(st.data_end()));
  auto id_of = [](uint32_t i) { return 512 + 32 * i; };

  std::mt19937 rng(77);
  std::vector<uint32_t> shuffled(kIds);
  for (uint32_t i = 0; i < kIds; ++i) shuffled[i] = id_of(i);
  std::shuffle(shuffled.begin(), shuffled.end(), rng);
  reference_cache ref;
  ref.order.assign(shuffled.begin(), shuffled.begin() + 100000);
  ref.held.insert(ref.order.begin(), ref.order.end());
  for (uint32_t id : ref.order) cache.__cache_object(id, blob(id, 8), false);
  ASSERT_EQ(recency(), ref.order);
  for (int step = 1; step <= 5000; ++step) {
    const uint32_t id = id_of(rng() % kIds);
    switch (rng() % 5) {
      case 0:
        cache.__cache_object(id, blob(id, 8), false);
        ref.cache(id);
        break;
      case 1:
        cache._touch_object(id);
        ref.touch(id);
        break;
      case 2:
        cache._mark_modified(id);
        ref.mark(id);
        break;
      case 3:
        ASSERT_EQ(cache._drop_object(id), ref.drop(id));
        break;
      default:
        if (step % 25 == 0) {
          const uint32_t keep = static_cast<uint32_t>(ref.order.size()) - rng() % 40;
          const uint32_t oldest = ref.order.front();
          ASSERT_EQ(cache._flush_cache(keep), ref.flush(keep));
          // A dropped id must be gone from the order, and come back at its end.
          cache._mark_modified(oldest);
          ref.mark(oldest);
          ASSERT_EQ(cache.recency().back(), ref.order.back());
          cache.__cache_object(oldest, blob(oldest, 8), false);
          ref.cache(oldest);
        }
    }
    if (step % 500 == 0) {
      ASSERT_EQ(recency(), ref.order) << "step " << step;
      ASSERT_EQ(cache.modified_count(), static_cast<int32_t>(ref.dirty.size()));
      ASSERT_EQ(cache.cached_count(), static_cast<int32_t>(ref.order.size()));
    }
  }
}

}  // namespace
}  // namespace velkor_test
