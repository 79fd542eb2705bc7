#include "CameraClaim.h"

#include <mutex>
#include <set>

namespace {

// Every claimed node path of the process. Both live until exit: a camera
// left open is released by the manager's destructor at exit.
std::mutex& TableLock()
{
    static std::mutex* lock = new std::mutex;
    return *lock;
}
std::set<std::string>& Table()  // guarded by TableLock()
{
    static auto* table = new std::set<std::string>;
    return *table;
}

}  // namespace

CameraClaim::~CameraClaim()
{
    Release();
}

bool CameraClaim::Acquire(const std::vector<std::string>& paths)
{
    Release();
    std::lock_guard<std::mutex> lock(TableLock());
    for (const std::string& path : paths) {
        if (!path.empty() && Table().count(path) != 0)
            return false;
    }
    for (const std::string& path : paths) {
        if (!path.empty() && Table().insert(path).second)
            m_paths.push_back(path);
    }
    return true;
}

void CameraClaim::Release()
{
    if (m_paths.empty())
        return;
    std::lock_guard<std::mutex> lock(TableLock());
    for (const std::string& path : m_paths)
        Table().erase(path);
    m_paths.clear();
}
