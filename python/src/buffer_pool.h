// BufferPool - recycles the memory of the arrays that Camera.read hands out.
//
// A frame at 1280x1024 with temperatures is 10 MB of new arrays; taken fresh
// from the allocator every frame, that memory is often handed back to the
// kernel when the frame is dropped and faulted in, zeroed, on the next read,
// which costs more than the copies themselves. The arrays keep their buffer
// alive (an array's base owns it) and give it back here when they go.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace vivazuzoz_python {

class BufferPool {
public:
    explicit BufferPool(size_t keep) : keep_(keep) {}
    ~BufferPool();
    BufferPool(const BufferPool&) = delete;
    BufferPool& operator=(const BufferPool&) = delete;

    // A buffer of `bytes` (uninitialised): a recycled one of that size, or a
    // new one. Throws std::bad_alloc.
    void* Get(size_t bytes);
    // Takes a buffer back; keeps at most `keep` of them, frees the rest.
    void Put(void* data, size_t bytes);

private:
    struct Buffer {
        void* data;
        size_t bytes;
    };
    const size_t keep_;
    std::mutex lock_;  // guards free_
    std::vector<Buffer> free_;
};

}  // namespace vivazuzoz_python
