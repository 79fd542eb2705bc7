// UdevShim - libudev for the virtual world. A context made while a virtual
// camera exists sees the virtual devices only; one made while none exists
// is the real library's, and every later call on its objects goes there.
//
// Per camera the tree is: a USB device (subsystem "usb", devtype
// "usb_device", sysattrs "busnum", "devnum", "idVendor", "idProduct",
// "product" when it has a name), and below it "video4linux" nodes (capture
// nodes first, then the metadata node) and "tty" nodes whose device node is
// the pty slave. A camera without a USB parent hangs its nodes under
// /sys/devices/virtual. Unplugged cameras are not listed.
#include "devices.h"
#include "emulator.h"
#include "port.h"

#include <dlfcn.h>
#include <fnmatch.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <set>

namespace vcam {
namespace detail {

std::vector<Record> Snapshot()
{
    std::vector<Record> out;
    for (auto& c : Cameras()) {
        if (c->unplugged)
            continue;
        const std::string bus = std::to_string(c->busnum);
        const std::string port = std::to_string(c->ordinal + 1);
        std::string usbPath;
        std::string base;
        if (c->setup.usbParent) {
            usbPath = "/sys/devices/vivazuzoz-vcam/usb" + bus + "/" + bus + "-" + port;
            Record usb;
            usb.syspath = usbPath;
            usb.sysname = bus + "-" + port;
            usb.subsystem = "usb";
            usb.devtype = "usb_device";
            char node[64];
            std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", c->busnum, c->devnum);
            usb.devnode = node;
            usb.sysattrs = {{"busnum", bus},
                            {"devnum", std::to_string(c->devnum)},
                            {"idVendor", "1209"},
                            {"idProduct", "7ca0"},
                            {"manufacturer", "vivazuzoz-vcam"}};
            if (c->setup.hasName)
                usb.sysattrs.push_back({"product", c->setup.name});
            usb.kernelName = node + 5;  // below /dev
            // USB device nodes: major 189, numbered per bus in blocks of 128.
            usb.properties = {{"MAJOR", "189"},
                              {"MINOR", std::to_string((c->busnum - 1) * 128 + c->devnum - 1)},
                              {"BUSNUM", bus},
                              {"DEVNUM", std::to_string(c->devnum)}};
            out.push_back(usb);
            base = usbPath + "/" + bus + "-" + port + ":1.0";
        } else {
            base = "/sys/devices/virtual/vivazuzoz-vcam/cam" + std::to_string(c->ordinal);
        }
        auto addVideo = [&](const VideoNode& n) {
            Record r;
            r.sysname = "video" + std::to_string(n.number());
            r.syspath = base + "/video4linux/" + r.sysname;
            r.subsystem = "video4linux";
            r.devnode = n.path();
            r.kernelName = r.sysname;
            r.parent = usbPath;
            r.sysattrs = {{"name", c->setup.hasName ? c->setup.name : std::string("UVC Camera")},
                          {"index", n.capture() ? "0" : "1"}};
            r.properties = {{"MAJOR", std::to_string(kVideoMajor)},
                            {"MINOR", std::to_string(n.number())},
                            {"DEVLINKS", "/dev/" + r.kernelName}};
            out.push_back(r);
        };
        for (auto& n : c->captures)
            addVideo(*n);
        if (c->metadata)
            addVideo(*c->metadata);
        for (size_t i = 0; i < c->ports.size(); ++i) {
            if (!c->ports[i]->ok())
                continue;
            Record r;
            r.sysname = "ttyVCAM" + std::to_string(c->ordinal) + "." + std::to_string(i);
            r.syspath = (c->setup.usbParent ? usbPath + "/" + bus + "-" + port + ":1." + std::to_string(2 + i) : base) +
                        "/tty/" + r.sysname;
            r.subsystem = "tty";
            r.devnode = c->ports[i]->path();
            r.parent = usbPath;
            out.push_back(r);
        }
    }
    for (auto& r : out) {
        r.properties.push_back({"SUBSYSTEM", r.subsystem});
        if (!r.devtype.empty())
            r.properties.push_back({"DEVTYPE", r.devtype});
        if (!r.devnode.empty())
            r.properties.push_back({"DEVNAME", r.devnode});
        r.properties.push_back({"DEVPATH", r.syspath.substr(4)});
    }
    return out;
}

// The emulated objects. Their addresses are kept in a registry so that a
// call can tell them from the real library's objects.
struct VListEntry {
    std::string name;
    std::string value;
    bool hasValue = false;
    VListEntry* next = nullptr;
};

struct VList {
    std::vector<std::unique_ptr<VListEntry>> entries;
    void Set(std::vector<std::pair<std::string, std::string>> items, bool values);
    VListEntry* first() const { return entries.empty() ? nullptr : entries.front().get(); }
};

struct VUdev {
    int refs = 1;
};

struct VDevice {
    int refs = 1;
    VUdev* udev;
    Record rec;
    VDevice* parent = nullptr;  // owned by this device, made on demand
    bool parentTried = false;
    VList sysattrList;
    VList propertyList;
};

struct VEnumerate {
    int refs = 1;
    VUdev* udev;
    std::vector<std::string> subsystems;
    std::vector<std::string> nomatchSubsystems;
    std::vector<std::string> sysnames;
    std::vector<std::pair<std::string, std::string>> sysattrs;
    std::vector<std::pair<std::string, std::string>> properties;
    std::string parent;
    VList list;
};

namespace {

std::mutex g_objectsLock;  // guards g_objects
std::set<const void*>* g_objects = nullptr;

void Own(const void* p)
{
    std::lock_guard<std::mutex> lk(g_objectsLock);
    if (!g_objects)
        g_objects = new std::set<const void*>;  // lives to exit
    g_objects->insert(p);
}

void Disown(const void* p)
{
    std::lock_guard<std::mutex> lk(g_objectsLock);
    if (g_objects)
        g_objects->erase(p);
}

bool Mine(const void* p)
{
    if (!p)
        return false;
    std::lock_guard<std::mutex> lk(g_objectsLock);
    return g_objects && g_objects->count(p) != 0;
}

bool WorldActive()
{
    std::lock_guard<std::mutex> lk(Lock());
    return !Cameras().empty();
}

// The real libudev: the next definition, or the library loaded on demand
// when the program does not link it.
void* RealUdev(const char* name)
{
    void* p = dlsym(RTLD_NEXT, name);
    if (p)
        return p;
    static void* handle = dlopen("libudev.so.1", RTLD_NOW | RTLD_LOCAL);
    return handle ? dlsym(handle, name) : nullptr;
}

#define REAL_UDEV(name) reinterpret_cast<decltype(&name)>(RealUdev(#name))

void ReleaseDevice(VDevice* d)
{
    if (--d->refs > 0)
        return;
    if (d->parent)
        ReleaseDevice(d->parent);
    for (auto& e : d->sysattrList.entries)
        Disown(e.get());
    for (auto& e : d->propertyList.entries)
        Disown(e.get());
    Disown(d);
    delete d;
}

VDevice* MakeDevice(VUdev* udev, const std::string& syspath)
{
    std::vector<Record> recs;
    {
        std::lock_guard<std::mutex> lk(Lock());
        recs = Snapshot();
    }
    for (auto& r : recs) {
        if (r.syspath != syspath)
            continue;
        auto* d = new VDevice;
        d->udev = udev;
        d->rec = r;
        Own(d);
        return d;
    }
    return nullptr;
}

bool Matches(const VEnumerate& e, const Record& r)
{
    if (!e.subsystems.empty() && std::find(e.subsystems.begin(), e.subsystems.end(), r.subsystem) == e.subsystems.end())
        return false;
    for (auto& s : e.nomatchSubsystems)
        if (s == r.subsystem)
            return false;
    if (!e.sysnames.empty()) {
        bool any = false;
        for (auto& s : e.sysnames)
            any = any || fnmatch(s.c_str(), r.sysname.c_str(), 0) == 0;
        if (!any)
            return false;
    }
    for (auto& a : e.sysattrs) {
        bool found = false;
        for (auto& have : r.sysattrs)
            found = found || (have.first == a.first &&
                              (a.second.empty() || fnmatch(a.second.c_str(), have.second.c_str(), 0) == 0));
        if (!found)
            return false;
    }
    for (auto& p : e.properties) {
        bool found = false;
        for (auto& have : r.properties)
            found = found || (have.first == p.first && fnmatch(p.second.c_str(), have.second.c_str(), 0) == 0);
        if (!found)
            return false;
    }
    if (!e.parent.empty() && r.syspath.compare(0, e.parent.size(), e.parent) != 0)
        return false;
    return true;
}

}  // namespace

void VList::Set(std::vector<std::pair<std::string, std::string>> items, bool values)
{
    for (auto& e : entries)
        Disown(e.get());
    entries.clear();
    for (auto& it : items) {
        auto e = std::make_unique<VListEntry>();
        e->name = it.first;
        e->value = it.second;
        e->hasValue = values;
        if (!entries.empty())
            entries.back()->next = e.get();
        Own(e.get());
        entries.push_back(std::move(e));
    }
}

}  // namespace detail
}  // namespace vcam

using namespace vcam::detail;

#define EXPORT extern "C" __attribute__((visibility("default")))

struct udev;
struct udev_device;
struct udev_enumerate;
struct udev_list_entry;

namespace {
VUdev* U(udev* p)
{
    return reinterpret_cast<VUdev*>(p);
}
VDevice* D(udev_device* p)
{
    return reinterpret_cast<VDevice*>(p);
}
VEnumerate* E(udev_enumerate* p)
{
    return reinterpret_cast<VEnumerate*>(p);
}
VListEntry* L(udev_list_entry* p)
{
    return reinterpret_cast<VListEntry*>(p);
}
udev_list_entry* Out(VListEntry* e)
{
    return reinterpret_cast<udev_list_entry*>(e);
}
const char* Attr(const std::vector<std::pair<std::string, std::string>>& v, const char* key)
{
    if (!key)
        return nullptr;
    for (auto& kv : v)
        if (kv.first == key)
            return kv.second.c_str();
    return nullptr;
}
const char* OrNull(const std::string& s)
{
    return s.empty() ? nullptr : s.c_str();
}
}  // namespace

// ---------------------------------------------------------------- context

EXPORT udev* udev_new(void)
{
    if (!WorldActive()) {
        auto real = REAL_UDEV(udev_new);
        return real ? real() : nullptr;
    }
    auto* u = new VUdev;
    Own(u);
    return reinterpret_cast<udev*>(u);
}

EXPORT udev* udev_ref(udev* u)
{
    if (!Mine(u))
        return u ? REAL_UDEV(udev_ref)(u) : nullptr;
    U(u)->refs++;
    return u;
}

EXPORT udev* udev_unref(udev* u)
{
    if (!Mine(u))
        return u ? REAL_UDEV(udev_unref)(u) : nullptr;
    if (--U(u)->refs == 0) {
        Disown(u);
        delete U(u);
    }
    return nullptr;
}

// ---------------------------------------------------------------- enumeration

EXPORT udev_enumerate* udev_enumerate_new(udev* u)
{
    if (!Mine(u))
        return u ? REAL_UDEV(udev_enumerate_new)(u) : nullptr;
    auto* e = new VEnumerate;
    e->udev = U(u);
    Own(e);
    return reinterpret_cast<udev_enumerate*>(e);
}

EXPORT udev_enumerate* udev_enumerate_ref(udev_enumerate* e)
{
    if (!Mine(e))
        return e ? REAL_UDEV(udev_enumerate_ref)(e) : nullptr;
    E(e)->refs++;
    return e;
}

EXPORT udev_enumerate* udev_enumerate_unref(udev_enumerate* e)
{
    if (!Mine(e))
        return e ? REAL_UDEV(udev_enumerate_unref)(e) : nullptr;
    if (--E(e)->refs == 0) {
        E(e)->list.Set({}, false);
        Disown(e);
        delete E(e);
    }
    return nullptr;
}

EXPORT udev* udev_enumerate_get_udev(udev_enumerate* e)
{
    if (!Mine(e))
        return REAL_UDEV(udev_enumerate_get_udev)(e);
    return reinterpret_cast<udev*>(E(e)->udev);
}

EXPORT int udev_enumerate_add_match_subsystem(udev_enumerate* e, const char* subsystem)
{
    if (!Mine(e))
        return REAL_UDEV(udev_enumerate_add_match_subsystem)(e, subsystem);
    if (subsystem)
        E(e)->subsystems.push_back(subsystem);
    return 0;
}

EXPORT int udev_enumerate_add_nomatch_subsystem(udev_enumerate* e, const char* subsystem)
{
    if (!Mine(e))
        return REAL_UDEV(udev_enumerate_add_nomatch_subsystem)(e, subsystem);
    if (subsystem)
        E(e)->nomatchSubsystems.push_back(subsystem);
    return 0;
}

EXPORT int udev_enumerate_add_match_sysname(udev_enumerate* e, const char* sysname)
{
    if (!Mine(e))
        return REAL_UDEV(udev_enumerate_add_match_sysname)(e, sysname);
    if (sysname)
        E(e)->sysnames.push_back(sysname);
    return 0;
}

EXPORT int udev_enumerate_add_match_sysattr(udev_enumerate* e, const char* attr, const char* value)
{
    if (!Mine(e))
        return REAL_UDEV(udev_enumerate_add_match_sysattr)(e, attr, value);
    if (attr)
        E(e)->sysattrs.push_back({attr, value ? value : ""});
    return 0;
}

EXPORT int udev_enumerate_add_match_property(udev_enumerate* e, const char* key, const char* value)
{
    if (!Mine(e))
        return REAL_UDEV(udev_enumerate_add_match_property)(e, key, value);
    if (key)
        E(e)->properties.push_back({key, value ? value : "*"});
    return 0;
}

EXPORT int udev_enumerate_add_match_parent(udev_enumerate* e, udev_device* parent)
{
    if (!Mine(e))
        return REAL_UDEV(udev_enumerate_add_match_parent)(e, parent);
    if (Mine(parent))
        E(e)->parent = D(parent)->rec.syspath;
    return 0;
}

EXPORT int udev_enumerate_add_match_is_initialized(udev_enumerate* e)
{
    if (!Mine(e))
        return REAL_UDEV(udev_enumerate_add_match_is_initialized)(e);
    return 0;  // every virtual device is initialised
}

EXPORT int udev_enumerate_scan_devices(udev_enumerate* e)
{
    if (!Mine(e))
        return REAL_UDEV(udev_enumerate_scan_devices)(e);
    std::vector<Record> recs;
    {
        std::lock_guard<std::mutex> lk(Lock());
        recs = Snapshot();
    }
    std::vector<std::pair<std::string, std::string>> items;
    for (auto& r : recs)
        if (Matches(*E(e), r))
            items.push_back({r.syspath, ""});
    E(e)->list.Set(items, false);
    return 0;
}

EXPORT int udev_enumerate_scan_subsystems(udev_enumerate* e)
{
    if (!Mine(e))
        return REAL_UDEV(udev_enumerate_scan_subsystems)(e);
    E(e)->list.Set({}, false);
    return 0;
}

EXPORT udev_list_entry* udev_enumerate_get_list_entry(udev_enumerate* e)
{
    if (!Mine(e))
        return REAL_UDEV(udev_enumerate_get_list_entry)(e);
    return Out(E(e)->list.first());
}

// ---------------------------------------------------------------- lists

EXPORT udev_list_entry* udev_list_entry_get_next(udev_list_entry* l)
{
    if (!Mine(l))
        return l ? REAL_UDEV(udev_list_entry_get_next)(l) : nullptr;
    return Out(L(l)->next);
}

EXPORT udev_list_entry* udev_list_entry_get_by_name(udev_list_entry* l, const char* name)
{
    if (!Mine(l))
        return l ? REAL_UDEV(udev_list_entry_get_by_name)(l, name) : nullptr;
    for (VListEntry* e = L(l); e && name; e = e->next)
        if (e->name == name)
            return Out(e);
    return nullptr;
}

EXPORT const char* udev_list_entry_get_name(udev_list_entry* l)
{
    if (!Mine(l))
        return l ? REAL_UDEV(udev_list_entry_get_name)(l) : nullptr;
    return L(l)->name.c_str();
}

EXPORT const char* udev_list_entry_get_value(udev_list_entry* l)
{
    if (!Mine(l))
        return l ? REAL_UDEV(udev_list_entry_get_value)(l) : nullptr;
    return L(l)->hasValue ? L(l)->value.c_str() : nullptr;
}

// ---------------------------------------------------------------- devices

EXPORT udev_device* udev_device_new_from_syspath(udev* u, const char* syspath)
{
    if (!Mine(u))
        return REAL_UDEV(udev_device_new_from_syspath)(u, syspath);
    if (!syspath)
        return nullptr;
    return reinterpret_cast<udev_device*>(MakeDevice(U(u), syspath));
}

EXPORT udev_device* udev_device_new_from_subsystem_sysname(udev* u, const char* subsystem, const char* sysname)
{
    if (!Mine(u))
        return REAL_UDEV(udev_device_new_from_subsystem_sysname)(u, subsystem, sysname);
    if (!subsystem || !sysname)
        return nullptr;
    std::vector<Record> recs;
    {
        std::lock_guard<std::mutex> lk(Lock());
        recs = Snapshot();
    }
    for (auto& r : recs)
        if (r.subsystem == subsystem && r.sysname == sysname)
            return reinterpret_cast<udev_device*>(MakeDevice(U(u), r.syspath));
    return nullptr;
}

EXPORT udev_device* udev_device_ref(udev_device* d)
{
    if (!Mine(d))
        return d ? REAL_UDEV(udev_device_ref)(d) : nullptr;
    D(d)->refs++;
    return d;
}

EXPORT udev_device* udev_device_unref(udev_device* d)
{
    if (!Mine(d))
        return d ? REAL_UDEV(udev_device_unref)(d) : nullptr;
    ReleaseDevice(D(d));
    return nullptr;
}

EXPORT udev* udev_device_get_udev(udev_device* d)
{
    if (!Mine(d))
        return REAL_UDEV(udev_device_get_udev)(d);
    return reinterpret_cast<udev*>(D(d)->udev);
}

EXPORT udev_device* udev_device_get_parent(udev_device* d)
{
    if (!Mine(d))
        return REAL_UDEV(udev_device_get_parent)(d);
    VDevice* dev = D(d);
    if (!dev->parentTried) {
        dev->parentTried = true;
        if (!dev->rec.parent.empty())
            dev->parent = MakeDevice(dev->udev, dev->rec.parent);
    }
    return reinterpret_cast<udev_device*>(dev->parent);
}

EXPORT udev_device* udev_device_get_parent_with_subsystem_devtype(udev_device* d, const char* subsystem,
                                                                  const char* devtype)
{
    if (!Mine(d))
        return REAL_UDEV(udev_device_get_parent_with_subsystem_devtype)(d, subsystem, devtype);
    for (udev_device* p = udev_device_get_parent(d); p; p = udev_device_get_parent(p)) {
        const Record& r = D(p)->rec;
        if (subsystem && r.subsystem != subsystem)
            continue;
        if (devtype && r.devtype != devtype)
            continue;
        return p;
    }
    return nullptr;
}

EXPORT const char* udev_device_get_syspath(udev_device* d)
{
    if (!Mine(d))
        return REAL_UDEV(udev_device_get_syspath)(d);
    return D(d)->rec.syspath.c_str();
}

EXPORT const char* udev_device_get_devpath(udev_device* d)
{
    if (!Mine(d))
        return REAL_UDEV(udev_device_get_devpath)(d);
    return D(d)->rec.syspath.c_str() + 4;  // without "/sys"
}

EXPORT const char* udev_device_get_sysname(udev_device* d)
{
    if (!Mine(d))
        return REAL_UDEV(udev_device_get_sysname)(d);
    return D(d)->rec.sysname.c_str();
}

EXPORT const char* udev_device_get_subsystem(udev_device* d)
{
    if (!Mine(d))
        return REAL_UDEV(udev_device_get_subsystem)(d);
    return D(d)->rec.subsystem.c_str();
}

EXPORT const char* udev_device_get_devtype(udev_device* d)
{
    if (!Mine(d))
        return REAL_UDEV(udev_device_get_devtype)(d);
    return OrNull(D(d)->rec.devtype);
}

EXPORT const char* udev_device_get_devnode(udev_device* d)
{
    if (!Mine(d))
        return REAL_UDEV(udev_device_get_devnode)(d);
    return OrNull(D(d)->rec.devnode);
}

EXPORT const char* udev_device_get_driver(udev_device* d)
{
    if (!Mine(d))
        return REAL_UDEV(udev_device_get_driver)(d);
    return D(d)->rec.subsystem == "usb" ? "usb" : nullptr;
}

EXPORT const char* udev_device_get_action(udev_device* d)
{
    if (!Mine(d))
        return REAL_UDEV(udev_device_get_action)(d);
    return nullptr;
}

EXPORT int udev_device_get_is_initialized(udev_device* d)
{
    if (!Mine(d))
        return REAL_UDEV(udev_device_get_is_initialized)(d);
    return 1;
}

EXPORT const char* udev_device_get_sysattr_value(udev_device* d, const char* sysattr)
{
    if (!Mine(d))
        return REAL_UDEV(udev_device_get_sysattr_value)(d, sysattr);
    return Attr(D(d)->rec.sysattrs, sysattr);
}

EXPORT const char* udev_device_get_property_value(udev_device* d, const char* key)
{
    if (!Mine(d))
        return REAL_UDEV(udev_device_get_property_value)(d, key);
    return Attr(D(d)->rec.properties, key);
}

EXPORT udev_list_entry* udev_device_get_properties_list_entry(udev_device* d)
{
    if (!Mine(d))
        return REAL_UDEV(udev_device_get_properties_list_entry)(d);
    D(d)->propertyList.Set(D(d)->rec.properties, true);
    return Out(D(d)->propertyList.first());
}

EXPORT udev_list_entry* udev_device_get_sysattr_list_entry(udev_device* d)
{
    if (!Mine(d))
        return REAL_UDEV(udev_device_get_sysattr_list_entry)(d);
    std::vector<std::pair<std::string, std::string>> names;
    for (auto& kv : D(d)->rec.sysattrs)
        names.push_back({kv.first, ""});
    D(d)->sysattrList.Set(names, false);
    return Out(D(d)->sysattrList.first());
}
