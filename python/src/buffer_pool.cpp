#include "buffer_pool.h"

#include <cstdlib>
#include <new>

namespace vivazuzoz_python {

BufferPool::~BufferPool()
{
    for (const Buffer& b : free_)
        std::free(b.data);
}

void* BufferPool::Get(size_t bytes)
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (size_t i = 0; i < free_.size(); ++i) {
            if (free_[i].bytes != bytes)
                continue;
            void* data = free_[i].data;
            free_[i] = free_.back();
            free_.pop_back();
            return data;
        }
    }
    void* data = std::malloc(bytes ? bytes : 1);
    if (!data)
        throw std::bad_alloc();
    return data;
}

void BufferPool::Put(void* data, size_t bytes)
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (free_.size() < keep_) {
            free_.push_back({data, bytes});
            return;
        }
    }
    std::free(data);
}

}  // namespace vivazuzoz_python
