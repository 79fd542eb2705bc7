// Arbitrary frames (sizes and bytes) to the frame handler after a first frame
// of a recognised layout, under an arbitrary temperature formula. Frames of
// another size must be dropped; every delivered plane must lie within memory
// the library may read.
#include "ScriptedCamera.h"

#include <sanitizer/asan_interface.h>

#include <memory>

namespace {

void Check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

// The layouts' byte counts: 256x192 image only and with temperature, and now
// and then 384x288. The larger layouts run the same code on more rows; they
// are left to the unit tests to keep executions fast.
constexpr unsigned long kLayouts[] = {0x18000, 0x30000, 0x18000, 0x30000, 0x18000, 0x30000, 0x36000, 0x6C000};

struct Seen {
    unsigned long frames = 0;
};

// A delivered plane must lie wholly in memory the library may read: asking
// AddressSanitizer about the whole range checks every sample at the cost of
// its shadow bytes, far cheaper than reading the samples one by one.
void CheckPlane(const void* data, int width, int height, size_t sampleBytes)
{
    Check(width > 0 && height > 0 && data != nullptr);
    Check(__asan_region_is_poisoned(const_cast<void*>(data), sampleBytes * width * height) == nullptr);
}

void OnImage(unsigned long, OZL_USB_VIDEO_INFO_CB* frame, void* user)
{
    CheckPlane(frame->data, frame->width, frame->height, sizeof frame->data[0]);
    ++static_cast<Seen*>(user)->frames;
}

void OnTemp(unsigned long, OZL_USB_TEMP_INFO_CB* frame, void* user)
{
    CheckPlane(frame->data, frame->width, frame->height, sizeof frame->data[0]);
    ++static_cast<Seen*>(user)->frames;
}

// The frame's bytes: the input's pattern repeated over the whole size.
void Fill(uint8_t* frame, size_t size, FuzzInput& in)
{
    uint8_t pattern[64];
    size_t n = in.Take(pattern, 1 + in.Byte() % sizeof pattern);
    if (n == 0) {
        pattern[0] = 0;
        n = 1;
    }
    // The pattern, then the filled part copied onto the rest, doubling.
    size_t filled = n < size ? n : size;
    std::memcpy(frame, pattern, filled);
    while (filled < size) {
        const size_t copy = filled < size - filled ? filled : size - filled;
        std::memcpy(frame + filled, frame, copy);
        filled += copy;
    }
}

// The driver's buffer. A frame is laid at the end of one block kept for the
// whole run, with the block's head before it poisoned: a read beyond the
// frame is caught as in a buffer of exactly the frame's size, and a read
// before it to within AddressSanitizer's 8-byte granule, without mapping
// fresh memory for every frame.
class DriverBuffer {
public:
    uint8_t* Place(size_t bytes)
    {
        if (bytes > kCapacity)
            __builtin_trap();
        ASAN_UNPOISON_MEMORY_REGION(m_block.get(), kCapacity);
        ASAN_POISON_MEMORY_REGION(m_block.get(), kCapacity - bytes);
        return m_block.get() + (kCapacity - bytes);
    }

private:
    static constexpr size_t kCapacity = 0x6C000;  // the largest layout; other sizes stay under 256 KiB
    std::unique_ptr<uint8_t[]> m_block{new uint8_t[kCapacity]};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    auto cam = std::make_shared<ScriptedCamera>(in);
    const unsigned long first = kLayouts[in.Byte() % (sizeof kLayouts / sizeof kLayouts[0])];
    Seen seen;
    cam->StartPreview(&OnImage, &seen);

    // The first frame: its size fixes the layout, and the temperature level
    // and formula queries read their (fuzzed) replies.
    static DriverBuffer buffer;
    uint8_t* frame = buffer.Place(first);
    Fill(frame, first, in);
    cam->OnDataRecv(frame, first);
    Check(cam->m_frameMode != FRAME_MODE_NONE);
    if (cam->m_frameMode == FRAME_MODE_IMAGE_TEMP)
        Check(cam->StartPullTemp(&OnTemp, &seen) == OZL_USB_SUCCESS);

    unsigned long expected = 1;  // the first frame was delivered to the preview
    for (int frames = 0; frames < 3 && !in.Empty(); ++frames) {
        const uint8_t kind = in.Byte();
        unsigned long bytes = first;
        if (kind & 1)
            bytes = in.Word() * 4ul + in.Byte();  // anything up to 256 KiB
        frame = buffer.Place(bytes);
        Fill(frame, bytes, in);
        const unsigned long before = seen.frames;
        cam->OnDataRecv(bytes == 0 ? nullptr : frame, bytes);
        if (bytes == first)
            expected += cam->m_frameMode == FRAME_MODE_IMAGE_TEMP ? 2 : 1;
        else
            Check(seen.frames == before);  // another size is dropped
    }
    Check(seen.frames == expected);
    cam->Deinit();
    return 0;
}
