#include "BufferPool.h"

#include <cstdlib>
#include <new>

namespace vivazuzoz_python {

BufferPool::~BufferPool()
{
    for (const Buffer& b : m_free)
        std::free(b.data);
}

void* BufferPool::Get(size_t bytes)
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        for (size_t i = 0; i < m_free.size(); ++i) {
            if (m_free[i].bytes != bytes)
                continue;
            void* data = m_free[i].data;
            m_free[i] = m_free.back();
            m_free.pop_back();
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
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_free.size() < m_keep) {
            m_free.push_back({data, bytes});
            return;
        }
    }
    std::free(data);
}

}  // namespace vivazuzoz_python
