// The queue of waiting entries: the list Start gave, read from its front, and what joins later,
// always taken in the order of the ids.
#include <gtest/gtest.h>

#include "download/WaitingQueue.h"

using Download::EntryId;
using Download::JobItem;
using Download::Pending;
using Download::WaitingQueue;

namespace {

std::vector<JobItem> Items(std::initializer_list<EntryId> ids) {
    std::vector<JobItem> items;
    for (const EntryId id : ids) items.push_back(JobItem{id, QStringLiteral("http://h/%1").arg(id)});
    return items;
}

std::vector<EntryId> Drain(WaitingQueue& queue) {
    std::vector<EntryId> order;
    while (!queue.empty()) order.push_back(queue.popFront().item.entry);
    return order;
}

}  // namespace

TEST(WaitingQueue, LaterEntriesJoinInTheirPlacesAndEachKeepsItsRecordIndex) {
    WaitingQueue queue;
    queue.adopt(Items({10, 20, 30, 40}));
    EXPECT_TRUE(queue.put(Pending{JobItem{25, QStringLiteral("x")}, 7}));
    EXPECT_TRUE(queue.put(Pending{JobItem{5, QStringLiteral("y")}, 8}));
    EXPECT_FALSE(queue.put(Pending{JobItem{30, QStringLiteral("again")}, 9}));  // waits already
    EXPECT_EQ(queue.size(), 6u);
    EXPECT_EQ(queue.frontEntry(), 5u);
    EXPECT_EQ(queue.entries(), (std::vector<EntryId>{5, 10, 20, 25, 30, 40}));

    std::vector<std::pair<EntryId, int>> seen;
    while (!queue.empty()) {
        const Pending next = queue.popFront();
        seen.emplace_back(next.item.entry, next.recordIndex);
    }
    EXPECT_EQ(seen, (std::vector<std::pair<EntryId, int>>{{5, 8}, {10, 0}, {20, 1}, {25, 7}, {30, 2}, {40, 3}}));
}

TEST(WaitingQueue, EntriesTakenFromAnywhereAreGoneAndMayComeBack) {
    WaitingQueue queue;
    queue.adopt(Items({1, 2, 3, 4, 5, 6}));
    const std::optional<Pending> third = queue.take(3);
    ASSERT_TRUE(third);
    EXPECT_EQ(third->item.text, QStringLiteral("http://h/3"));
    EXPECT_EQ(third->recordIndex, 2);
    EXPECT_FALSE(queue.take(3));
    EXPECT_FALSE(queue.contains(3));
    EXPECT_FALSE(queue.take(99));
    ASSERT_TRUE(queue.take(1));
    EXPECT_EQ(queue.frontEntry(), 2u);  // the gap at the front is stepped over
    ASSERT_TRUE(queue.take(6));
    EXPECT_EQ(queue.size(), 3u);

    // Held and resumed: back in its place, its record index kept.
    EXPECT_TRUE(queue.put(*third));
    EXPECT_TRUE(queue.contains(3));
    std::vector<std::pair<EntryId, int>> seen;
    while (!queue.empty()) {
        const Pending next = queue.popFront();
        seen.emplace_back(next.item.entry, next.recordIndex);
    }
    EXPECT_EQ(seen, (std::vector<std::pair<EntryId, int>>{{2, 1}, {3, 2}, {4, 3}, {5, 4}}));
    EXPECT_TRUE(queue.entries().empty());
}

TEST(WaitingQueue, AnEntryChangedInPlaceKeepsItsPlaceAndTheChange) {
    WaitingQueue queue;
    queue.adopt(Items({1, 2, 3}));
    Pending* second = queue.find(2);
    ASSERT_NE(second, nullptr);
    second->item.text = QStringLiteral("http://other/2");
    second->recordIndex = 11;
    EXPECT_EQ(queue.find(9), nullptr);
    EXPECT_EQ(queue.size(), 3u);
    EXPECT_EQ(queue.popFront().item.entry, 1u);
    const Pending next = queue.popFront();
    EXPECT_EQ(next.item.text, QStringLiteral("http://other/2"));
    EXPECT_EQ(next.recordIndex, 11);
    EXPECT_EQ(Drain(queue), (std::vector<EntryId>{3}));
}

TEST(WaitingQueue, AListNotInRisingOrderIsStillTakenByIdOnceEach) {
    WaitingQueue queue;
    queue.adopt(Items({30, 10, 20, 10}));
    EXPECT_EQ(queue.size(), 3u);
    EXPECT_EQ(queue.take(20)->recordIndex, 2);
    EXPECT_EQ(Drain(queue), (std::vector<EntryId>{10, 30}));

    WaitingQueue none;
    none.adopt({});
    EXPECT_TRUE(none.empty());
    EXPECT_TRUE(none.put(Pending{JobItem{4, QStringLiteral("z")}, 0}));
    EXPECT_EQ(Drain(none), (std::vector<EntryId>{4}));
}

TEST(WaitingQueue, ALongListKeepsItsOrderIndexesAndTextsWhileItsFrontIsDropped) {
    // Even ids, so that entries can join between them; long enough that what was handed out is
    // dropped from the front several times over.
    constexpr int kCount = 30000;
    std::vector<JobItem> items;
    for (int i = 0; i < kCount; ++i) items.push_back(JobItem{EntryId(2 * i + 2), QStringLiteral("http://h/%1").arg(i)});
    WaitingQueue queue;
    queue.adopt(std::move(items));
    // Taken out ahead of the front, and one of them back later.
    ASSERT_TRUE(queue.take(2 * 9000 + 2));
    ASSERT_TRUE(queue.take(2 * 25000 + 2));
    std::optional<Pending> late = queue.take(2 * 20000 + 2);
    ASSERT_TRUE(late);
    int expected = 0;
    auto popAndCheck = [&](int upTo) {
        while (expected < upTo) {
            if (expected == 9000 || expected == 25000) {  // 20,000 is back before the front reaches it
                ++expected;
                continue;
            }
            const Pending next = queue.popFront();
            ASSERT_EQ(next.item.entry, EntryId(2 * expected + 2));
            ASSERT_EQ(next.recordIndex, expected);
            ASSERT_EQ(next.item.text, QStringLiteral("http://h/%1").arg(expected));
            ++expected;
        }
    };
    popAndCheck(12000);
    // Looked up, joined and changed among the entries that remain, after the front was dropped.
    EXPECT_FALSE(queue.contains(2 * 11999 + 2));
    EXPECT_TRUE(queue.contains(2 * 12000 + 2));
    EXPECT_TRUE(queue.put(Pending{JobItem{2 * 15000 + 3, QStringLiteral("joined")}, 99}));
    Pending* changed = queue.find(2 * 14000 + 2);
    ASSERT_NE(changed, nullptr);
    EXPECT_EQ(changed->recordIndex, 14000);
    EXPECT_TRUE(queue.put(*late));
    EXPECT_EQ(late->recordIndex, 20000);
    EXPECT_EQ(queue.size(), std::size_t(kCount - 12000 - 2 + 2));  // two gone ahead, one joined, one back
    popAndCheck(15001);
    const Pending joined = queue.popFront();
    EXPECT_EQ(joined.item.text, QStringLiteral("joined"));
    EXPECT_EQ(joined.recordIndex, 99);
    popAndCheck(kCount);
    EXPECT_TRUE(queue.empty());
}
