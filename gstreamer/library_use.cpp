#include "library_use.h"

#include <camera.h>

#include <mutex>

namespace vivagst {

namespace {
std::mutex g_mutex;
int g_users = 0;  // guarded by g_mutex
}  // namespace

LibraryUse::LibraryUse()
{
    std::lock_guard<std::mutex> hold(g_mutex);
    if (g_users++ == 0)
        vivaclient::InitLibraryInStateFolder();
}

LibraryUse::~LibraryUse()
{
    std::lock_guard<std::mutex> hold(g_mutex);
    if (--g_users == 0)
        OZL_USB_Deinit();
}

int LibraryUse::Users()
{
    std::lock_guard<std::mutex> hold(g_mutex);
    return g_users;
}

}  // namespace vivagst
