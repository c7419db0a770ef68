// The pieces of a big item over several connections: every byte is fetched once and only once,
// idle connections take half of the largest rest, a failed piece goes back whole but for what it
// proved, a record gives back only the missing ranges; and a range answer is written only when it
// is exactly the piece asked, of the same file.
#include <gtest/gtest.h>

#include <algorithm>

#include "download/RangePlan.h"

using Download::ByteRange;
using Download::RangePlan;

namespace {

constexpr qint64 MB = qint64(1) << 20;

// Every byte of [0, total) is in exactly one of the ranges.
bool tiles(std::vector<ByteRange> ranges, qint64 total) {
    std::sort(ranges.begin(), ranges.end(), [](const ByteRange& a, const ByteRange& b) { return a.first < b.first; });
    qint64 at = 0;
    for (const ByteRange& r : ranges) {
        if (r.first != at || r.end <= r.first) return false;
        at = r.end;
    }
    return at == total;
}

}  // namespace

TEST(RangePlan, IdleConnectionsSplitTheRestAndThenTakeHalfOfTheLargestRest) {
    RangePlan plan(64 * MB + 5);
    const auto first = plan.take();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->range, (ByteRange{0, 64 * MB + 5}));
    EXPECT_EQ(plan.accept(first->id, 4 * MB), 4 * MB);
    EXPECT_EQ(plan.split(first->id, 3), 3);
    std::vector<ByteRange> pieces{{0, plan.remaining(first->id)->end}};
    std::vector<int> ids;
    for (int k = 0; k < 3; ++k) {
        const auto p = plan.take();
        ASSERT_TRUE(p);
        EXPECT_GE(p->range.size(), RangePlan::kLeastRange);
        pieces.push_back(p->range);
        ids.push_back(p->id);
    }
    EXPECT_EQ(pieces.size(), 4u);
    // The running one keeps its first piece; the pieces tile the item between them.
    EXPECT_EQ(pieces[0].end, 4 * MB + (60 * MB + 5) / 4);
    EXPECT_TRUE(tiles(pieces, 64 * MB + 5));

    // A piece done early: its connection takes half of the largest rest, whose end moves back,
    // and bytes that arrive past the new end are not written.
    plan.accept(ids[0], pieces[1].size());
    plan.finished(ids[0]);
    const ByteRange lastRest = *plan.remaining(ids[2]);
    const auto half = plan.take();
    ASSERT_TRUE(half) << "a rest of 15 MB is worth halving";
    EXPECT_EQ(half->range.end, lastRest.end);
    EXPECT_EQ(plan.remaining(ids[2])->end, half->range.first);
    EXPECT_EQ(plan.accept(ids[2], 16 * MB), half->range.first - lastRest.first);

    // A rest under two ranges' worth is not halved.
    RangePlan small(3 * MB);
    const auto only = small.take();
    small.accept(only->id, 2 * MB);
    EXPECT_EQ(small.split(only->id, 4), 0) << "under 8 MB left is not split";
    EXPECT_FALSE(small.take());
}

TEST(RangePlan, AFailedPieceKeepsWhatItProvedAndARecordGivesBackOnlyTheMissingRanges) {
    RangePlan plan(20 * MB);
    const auto whole = plan.take();
    plan.accept(whole->id, 2 * MB);
    ASSERT_EQ(plan.split(whole->id, 1), 1);
    const auto second = plan.take();
    ASSERT_TRUE(second);
    plan.accept(second->id, MB);
    plan.failed(second->id);
    EXPECT_EQ(plan.running(), 1);
    // What a stop leaves: the written beginnings of both, and the record names exactly them.
    const std::vector<ByteRange> written = plan.written();
    EXPECT_EQ(written, (std::vector<ByteRange>{{0, 2 * MB}, {second->range.first, second->range.first + MB}}));
    EXPECT_FALSE(plan.complete());
    const QByteArray record = RangePlan::FormatRanges(written);
    const auto read = RangePlan::ParseRanges(record, 20 * MB);
    ASSERT_TRUE(read);
    RangePlan next(20 * MB, *read);
    EXPECT_EQ(next.missing(), (std::vector<ByteRange>{{2 * MB, second->range.first}, {second->range.first + MB, 20 * MB}}));
    // The next run takes exactly the missing ranges, and is complete once they are in.
    std::vector<ByteRange> asked;
    while (const auto p = next.take()) {
        asked.push_back(p->range);
        next.accept(p->id, p->range.size());
        next.finished(p->id);
    }
    EXPECT_EQ(asked, (std::vector<ByteRange>{{2 * MB, second->range.first}, {second->range.first + MB, 20 * MB}}));
    EXPECT_TRUE(next.complete());
}

TEST(RangePlan, ARecordThatIsNotAPlainListOfRangesInsideTheItemIsRefused) {
    for (const char* bad : {"0-10,5-20", "10-5", "0-101", "-1-5", "a-b", "5", "0-10,,20-30", "20-30,0-10", "0-0"})
        EXPECT_FALSE(RangePlan::ParseRanges(bad, 100)) << bad;
    EXPECT_FALSE(RangePlan::ParseRanges(QByteArray(70 * 1024, '1'), 100));
    EXPECT_EQ(RangePlan::ParseRanges("0-10,20-100", 100)->size(), 2u);
    // A plan made from a refused list asks for everything.
    EXPECT_EQ(RangePlan(100, {{50, 20}}).missing(), (std::vector<ByteRange>{{0, 100}}));
    EXPECT_FALSE(RangePlan(0).take());
}

TEST(RangeAnswer, OnlyTheExactPieceOfTheSameFileIsWritten) {
    Download::AskedRange asked{MB, 2 * MB - 1, 64 * MB, "\"v1\"", "application/zip"};
    Download::RangeAnswer good{206, true, "bytes 1048576-2097151/67108864", "\"v1\"", {}, "application/zip"};
    EXPECT_TRUE(Download::CheckRangeAnswer(asked, good));
    struct Case {
        const char* what;
        Download::RangeAnswer answer;
    };
    auto with = [&](auto change) {
        Download::RangeAnswer a = good;
        change(a);
        return a;
    };
    const std::vector<Case> wrong{
        {"a whole file", with([](auto& a) { a.status = 200; a.contentRange.clear(); })},
        {"a shifted range", with([](auto& a) { a.contentRange = "bytes 1048577-2097152/67108864"; })},
        {"another total", with([](auto& a) { a.contentRange = "bytes 1048576-2097151/67108865"; })},
        {"no Content-Range", with([](auto& a) { a.contentRange.clear(); })},
        {"another ETag", with([](auto& a) { a.etag = "\"v2\""; })},
        {"a weak form of the ETag", with([](auto& a) { a.etag = "W/\"v1\""; })},
        {"an error page", with([](auto& a) { a.status = 404; a.contentType = "text/html"; })},
        {"an error page as a part", with([](auto& a) { a.contentType = "text/html"; })},
        {"a redirect elsewhere", with([](auto& a) { a.sameAddress = false; })},
        {"a server error", with([](auto& a) { a.status = 503; })},
    };
    for (const Case& c : wrong) {
        const Fw::Result<void> checked = Download::CheckRangeAnswer(asked, c.answer);
        EXPECT_FALSE(checked) << c.what;
        if (!checked) {
            EXPECT_FALSE(checked.error().text.isEmpty()) << c.what;
        }
    }
    // Without an ETag the date is the proof; without a known type any type goes.
    Download::AskedRange dated{0, 9, 100, "Wed, 21 Oct 2015 07:28:00 GMT", {}};
    Download::RangeAnswer byDate{206, true, "bytes 0-9/100", {}, "Wed, 21 Oct 2015 07:28:00 GMT", "text/plain"};
    EXPECT_TRUE(Download::CheckRangeAnswer(dated, byDate));
    byDate.lastModified = "Thu, 22 Oct 2015 07:28:00 GMT";
    EXPECT_FALSE(Download::CheckRangeAnswer(dated, byDate));
}
