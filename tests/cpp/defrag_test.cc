#include <gtest/gtest.h>

#include "fault_storage.h"
#include "freemap_tree.h"
#include "test_peer.h"
#include "transaction/manager_impl.h"

namespace ambrik {
namespace {

using testing::FaultStorage;
using testing::SharedImage;
using testing::storage_from;

std::unique_ptr<TransactionManagerImpl> open_image(std::shared_ptr<SharedImage> image) {
  auto r = TransactionManagerImpl::open_storage(
      std::make_unique<PageIo>(std::make_unique<FaultStorage>(image), false), OpenOptions{});
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
  return r.ok() ? std::move(r).value() : nullptr;
}

TEST(Defrag, MovesSparsePagesAndNoPoolPageIsStrandedByAClose) {
  auto image = std::make_shared<SharedImage>();
  std::vector<uint64_t> handles;
  std::vector<uint64_t> orphans;
  {
    auto m = open_image(image);
    ASSERT_TRUE(m);
    // Eight values per page, then delete seven of each eight.
    ASSERT_TRUE(m->begin().ok());
    for (int i = 0; i < 64; ++i) {
      std::vector<uint8_t> v(900, static_cast<uint8_t>(i));
      handles.push_back(m->allocate(v, 0).value());
    }
    ASSERT_TRUE(m->commit().ok());
    ASSERT_TRUE(m->begin().ok());
    for (int i = 0; i < 64; ++i) {
      if (i % 8 != 0) {
        ASSERT_TRUE(m->delete_inner(handles[i]).ok());
      }
    }
    ASSERT_TRUE(m->commit().ok());
    // A second commit that frees pages retires free-map nodes into the
    // pool of the next transaction; they are marked free all the same, so
    // closing now strands none of them.
    ASSERT_TRUE(m->begin().ok());
    ASSERT_TRUE(m->update(handles[0], std::vector<uint8_t>(900, 0)).ok());
    ASSERT_TRUE(m->commit().ok());
    orphans = TestPeer::next_pool(TestPeer::recycle(*m));
    ASSERT_FALSE(orphans.empty());
  }
  auto m = open_image(image);
  ASSERT_TRUE(m);
  for (uint64_t p : orphans) {
    auto free = is_marked_free(TestPeer::cache(*m), TestPeer::working(*m).freemap.root,
                               TestPeer::working(*m).freemap.depth, p);
    ASSERT_TRUE(free.ok());
    EXPECT_TRUE(free.value()) << "pool page " << p;
  }
  ASSERT_TRUE(m->begin().ok());
  auto r = m->defrag(DefragSettings{});
  ASSERT_TRUE(r.ok()) << r.error().message();
  // Seven pages hold one live value of eight; the updated value sits alone
  // on a page of its own, which is full, not sparse.
  EXPECT_EQ(r.value().values_moved, 7u);
  EXPECT_EQ(r.value().pages_examined, 7u);
  EXPECT_EQ(r.value().pages_freed, 7u);
  ASSERT_TRUE(m->commit().ok());
  for (int i = 0; i < 64; i += 8)
    EXPECT_EQ(m->read(handles[i]).value(),
              std::vector<uint8_t>(900, static_cast<uint8_t>(i == 0 ? 0 : i)));
  // Everything moved now shares one page: nothing is sparse any more.
  ASSERT_TRUE(m->begin().ok());
  EXPECT_EQ(m->defrag(DefragSettings{}).value().values_moved, 0u);
  DefragSettings one{2.0, 1};
  EXPECT_EQ(m->defrag(one).value().values_moved, 1u);
  ASSERT_TRUE(m->rollback().ok());
}

}  // namespace
}  // namespace ambrik
