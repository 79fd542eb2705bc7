// UvcShim - libuvc's device list for the virtual world. A context made while
// a virtual camera exists lists the virtual cameras (those plugged in and
// listed by their setup) in add order; otherwise the real library answers.
// Streaming through libuvc is not emulated: opening a virtual device
// answers UVC_ERROR_NOT_SUPPORTED.
#include "emulator.h"

#include <dlfcn.h>
#include <libuvc/libuvc.h>

#include <cstdlib>
#include <cstring>
#include <set>

namespace vcam {
namespace detail {
namespace {

struct VContext {
    int magic;
};

struct VDev {
    int refs = 1;
    uint8_t bus;
    uint8_t address;
    bool hasName;
    std::string name;
    std::string serial;
};

std::mutex g_uvcLock;  // guards g_uvcObjects
std::set<const void*>* g_uvcObjects = nullptr;

void Own(const void* p)
{
    std::lock_guard<std::mutex> lk(g_uvcLock);
    if (!g_uvcObjects)
        g_uvcObjects = new std::set<const void*>;  // lives to exit
    g_uvcObjects->insert(p);
}

void Disown(const void* p)
{
    std::lock_guard<std::mutex> lk(g_uvcLock);
    if (g_uvcObjects)
        g_uvcObjects->erase(p);
}

bool Mine(const void* p)
{
    if (!p)
        return false;
    std::lock_guard<std::mutex> lk(g_uvcLock);
    return g_uvcObjects && g_uvcObjects->count(p) != 0;
}

void* RealUvc(const char* name)
{
    void* p = dlsym(RTLD_NEXT, name);
    if (p)
        return p;
    static void* handle = dlopen("libuvc.so.0", RTLD_NOW | RTLD_LOCAL);
    return handle ? dlsym(handle, name) : nullptr;
}

#define REAL_UVC(name) reinterpret_cast<decltype(&name)>(RealUvc(#name))

VDev* Dev(uvc_device_t* d)
{
    return reinterpret_cast<VDev*>(d);
}

void Unref(VDev* d)
{
    if (--d->refs > 0)
        return;
    Disown(d);
    delete d;
}

char* Dup(const std::string& s)
{
    char* p = static_cast<char*>(std::malloc(s.size() + 1));
    if (p)
        std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

}  // namespace
}  // namespace detail
}  // namespace vcam

using namespace vcam::detail;

#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT uvc_error_t uvc_init(uvc_context_t** ctx, struct libusb_context* usb)
{
    bool active;
    {
        std::lock_guard<std::mutex> lk(Lock());
        active = !Cameras().empty();
    }
    if (!active) {
        auto real = REAL_UVC(uvc_init);
        return real ? real(ctx, usb) : UVC_ERROR_NOT_SUPPORTED;
    }
    if (!ctx)
        return UVC_ERROR_INVALID_PARAM;
    auto* c = new VContext{0x7ca0};
    Own(c);
    *ctx = reinterpret_cast<uvc_context_t*>(c);
    return UVC_SUCCESS;
}

EXPORT void uvc_exit(uvc_context_t* ctx)
{
    if (!Mine(ctx)) {
        if (ctx)
            REAL_UVC(uvc_exit)(ctx);
        return;
    }
    Disown(ctx);
    delete reinterpret_cast<VContext*>(ctx);
}

EXPORT uvc_error_t uvc_get_device_list(uvc_context_t* ctx, uvc_device_t*** list)
{
    if (!Mine(ctx))
        return REAL_UVC(uvc_get_device_list)(ctx, list);
    if (!list)
        return UVC_ERROR_INVALID_PARAM;
    std::vector<VDev*> devs;
    {
        std::lock_guard<std::mutex> lk(Lock());
        for (auto& c : Cameras()) {
            if (c->unplugged || !c->setup.uvcListed)
                continue;
            auto* d = new VDev;
            d->bus = static_cast<uint8_t>(c->busnum);
            d->address = static_cast<uint8_t>(c->devnum);
            d->hasName = c->setup.hasName;
            d->name = c->setup.name;
            d->serial = "VCAM" + std::to_string(c->ordinal);
            devs.push_back(d);
        }
    }
    auto** out = static_cast<uvc_device_t**>(std::calloc(devs.size() + 1, sizeof(uvc_device_t*)));
    if (!out) {
        for (VDev* d : devs)
            delete d;
        return UVC_ERROR_NO_MEM;
    }
    for (size_t i = 0; i < devs.size(); ++i) {
        Own(devs[i]);
        out[i] = reinterpret_cast<uvc_device_t*>(devs[i]);
    }
    *list = out;
    return UVC_SUCCESS;
}

EXPORT void uvc_free_device_list(uvc_device_t** list, uint8_t unref_devices)
{
    if (!list)
        return;
    if (list[0] && !Mine(list[0])) {
        REAL_UVC(uvc_free_device_list)(list, unref_devices);
        return;
    }
    if (!list[0]) {
        // An empty list: ours are made with calloc, the real library's too.
        std::free(list);
        return;
    }
    if (unref_devices)
        for (uvc_device_t** p = list; *p; ++p)
            Unref(Dev(*p));
    std::free(list);
}

EXPORT void uvc_ref_device(uvc_device_t* dev)
{
    if (!Mine(dev)) {
        REAL_UVC(uvc_ref_device)(dev);
        return;
    }
    Dev(dev)->refs++;
}

EXPORT void uvc_unref_device(uvc_device_t* dev)
{
    if (!Mine(dev)) {
        REAL_UVC(uvc_unref_device)(dev);
        return;
    }
    Unref(Dev(dev));
}

EXPORT uint8_t uvc_get_bus_number(uvc_device_t* dev)
{
    if (!Mine(dev))
        return REAL_UVC(uvc_get_bus_number)(dev);
    return Dev(dev)->bus;
}

EXPORT uint8_t uvc_get_device_address(uvc_device_t* dev)
{
    if (!Mine(dev))
        return REAL_UVC(uvc_get_device_address)(dev);
    return Dev(dev)->address;
}

EXPORT uvc_error_t uvc_get_device_descriptor(uvc_device_t* dev, uvc_device_descriptor_t** desc)
{
    if (!Mine(dev))
        return REAL_UVC(uvc_get_device_descriptor)(dev, desc);
    if (!desc)
        return UVC_ERROR_INVALID_PARAM;
    auto* d = static_cast<uvc_device_descriptor_t*>(std::calloc(1, sizeof(uvc_device_descriptor_t)));
    if (!d)
        return UVC_ERROR_NO_MEM;
    const VDev* v = Dev(dev);
    d->idVendor = 0x1209;
    d->idProduct = 0x7ca0;
    d->bcdUVC = 0x0110;
    d->serialNumber = Dup(v->serial);
    d->manufacturer = Dup("vivazuzoz-vcam");
    d->product = v->hasName ? Dup(v->name) : nullptr;
    Own(d);
    *desc = d;
    return UVC_SUCCESS;
}

EXPORT void uvc_free_device_descriptor(uvc_device_descriptor_t* desc)
{
    if (!Mine(desc)) {
        if (desc)
            REAL_UVC(uvc_free_device_descriptor)(desc);
        return;
    }
    Disown(desc);
    std::free(const_cast<char*>(desc->serialNumber));
    std::free(const_cast<char*>(desc->manufacturer));
    std::free(const_cast<char*>(desc->product));
    std::free(desc);
}

EXPORT uvc_error_t uvc_open(uvc_device_t* dev, uvc_device_handle_t** devh)
{
    if (!Mine(dev))
        return REAL_UVC(uvc_open)(dev, devh);
    return UVC_ERROR_NOT_SUPPORTED;
}
