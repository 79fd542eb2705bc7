// The frame ring between a camera's read thread and Python readers, on its
// own (it knows nothing of Python, so it also runs under the sanitizers).
#include <vivaclient/frame_ring.h>

#include "../support/eventually.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

using vivaclient::FrameRing;

namespace {

// Publishes frames numbered as a stream numbers them (a frame that finds no
// slot uses up its number too), every sample holding the number.
struct Writer {
    FrameRing& ring;
    uint64_t next = 0;

    bool Publish(bool afterGap = false)
    {
        FrameRing::Slot* slot = ring.Begin(++next, 0);
        if (!slot)
            return false;
        std::fill(slot->image.begin(), slot->image.end(), static_cast<uint16_t>(slot->sequence));
        slot->afterGap = afterGap;
        ring.Publish(slot);
        return true;
    }
};

}  // namespace

TEST(FrameRing, TheNewestFrameWinsAndEveryFrameNotTakenIsCounted)
{
    FrameRing ring(4, 3, false);
    Writer writer{ring};
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(writer.Publish());
    FrameRing::Slot* slot = nullptr;
    ASSERT_EQ(FrameRing::Outcome::Frame, ring.Take(0, &slot));
    EXPECT_EQ(3u, slot->sequence);
    EXPECT_EQ(2u, ring.dropped());
    EXPECT_EQ(FrameRing::Outcome::Timeout, ring.Take(0, &slot)) << "a frame was handed out twice";

    // Readers holding every slot but the writer's: one more frame is
    // numbered, found no room and is counted; the ring recovers on release.
    std::vector<FrameRing::Slot*> held = {slot};
    while (held.size() < FrameRing::kSlots) {
        ASSERT_TRUE(writer.Publish());
        FrameRing::Slot* next = nullptr;
        ASSERT_EQ(FrameRing::Outcome::Frame, ring.Take(0, &next));
        held.push_back(next);
    }
    const uint64_t before = ring.dropped();
    EXPECT_FALSE(writer.Publish());
    EXPECT_EQ(before + 1, ring.dropped());
    const uint64_t last = held.back()->sequence;
    ring.Release(held.back());
    ASSERT_TRUE(writer.Publish());
    ASSERT_EQ(FrameRing::Outcome::Frame, ring.Take(0, &slot));
    EXPECT_EQ(last + 2, slot->sequence);
}

TEST(FrameRing, AGapMarkOutlivesTheFrameThatCarriedItWhenNoReaderTookThatFrame)
{
    FrameRing ring(2, 2, false);
    Writer writer{ring};
    ASSERT_TRUE(writer.Publish(/*afterGap=*/true));
    ASSERT_TRUE(writer.Publish());  // replaces the marked frame before anyone read it
    FrameRing::Slot* slot = nullptr;
    ASSERT_EQ(FrameRing::Outcome::Frame, ring.Take(0, &slot));
    EXPECT_EQ(2u, slot->sequence);
    EXPECT_TRUE(slot->afterGap);
    ring.Release(slot);
    ASSERT_TRUE(writer.Publish());
    ASSERT_EQ(FrameRing::Outcome::Frame, ring.Take(0, &slot));
    EXPECT_FALSE(slot->afterGap) << "the mark is handed out once";
}

TEST(FrameRing, CloseAndGoneWakeAWaitingReaderAndWinOverAReadyFrame)
{
    for (const bool gone : {false, true}) {
        FrameRing ring(2, 2, true);
        Writer writer{ring};
        std::atomic<int> outcome{-1};
        std::thread reader([&] {
            FrameRing::Slot* slot = nullptr;
            outcome = static_cast<int>(ring.Take(-1, &slot));
        });
        ASSERT_TRUE(Eventually([&] { return ring.waiting() == 1; }));
        gone ? ring.MarkGone() : ring.Close();
        reader.join();
        const FrameRing::Outcome expected = gone ? FrameRing::Outcome::Gone : FrameRing::Outcome::Closed;
        EXPECT_EQ(static_cast<int>(expected), outcome.load());
        ASSERT_TRUE(writer.Publish());
        FrameRing::Slot* slot = nullptr;
        EXPECT_EQ(expected, ring.Take(0, &slot));
    }
}

TEST(FrameRing, AWriterAndTwoReadersRacingLoseNoFrameAndTearNone)
{
    FrameRing ring(64, 48, false);
    Writer writer{ring};
    constexpr int kFrames = 20000;
    std::atomic<bool> start{false}, written{false};
    std::atomic<int> taken{0}, torn{0}, disordered{0};
    auto read = [&] {
        while (!start) {
        }
        uint64_t last = 0;
        for (;;) {
            FrameRing::Slot* slot = nullptr;
            const bool done = written.load();
            if (ring.Take(0.001, &slot) != FrameRing::Outcome::Frame) {
                if (done)
                    return;
                continue;
            }
            const uint16_t expected = static_cast<uint16_t>(slot->sequence);
            if (std::any_of(slot->image.begin(), slot->image.end(), [&](uint16_t v) { return v != expected; }))
                ++torn;
            if (slot->sequence <= last)
                ++disordered;
            last = slot->sequence;
            ring.Release(slot);
            ++taken;
        }
    };
    std::thread a(read), b(read);
    start = true;
    for (int i = 0; i < kFrames; ++i)
        writer.Publish();
    written = true;
    a.join();
    b.join();
    EXPECT_EQ(0, torn.load());
    EXPECT_EQ(0, disordered.load());
    EXPECT_EQ(static_cast<uint64_t>(kFrames), taken.load() + ring.dropped());
    EXPECT_GT(taken.load(), 0);
}
