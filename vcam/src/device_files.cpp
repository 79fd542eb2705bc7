// DeviceFiles - the file system entries through which V4L2 programs learn
// what a node is, for the virtual nodes:
//
//   /dev/videoN                          a link to vivazuzoz-vcam/videoN (the
//                                        kernel's name of the node: programs
//                                        that list /dev look for "video*")
//   /dev/vivazuzoz-vcam/                 the nodes themselves (udev's names)
//   /sys/dev/char/81:N                   a link to the node's device directory
//   /sys/class/video4linux/videoN        the same
//   /sys/devices/.../video4linux/videoN  uevent, dev, name, index, dev_debug,
//                                        device (the USB interface), subsystem
//   /sys/devices/.../B-P                 the USB device: uevent and the
//                                        attributes udev reports
//
// Everything is built from the same records as the libudev stand-in
// (Devices.h). Directories that also exist for real (/dev, /sys/dev/char,
// ...) are listed merged: the real entries, less the real V4L2 ones (inside
// the virtual world only the virtual cameras are there, as udev lists them),
// then the virtual ones. A path that passes through a virtual link into the
// real file system is handed on to the C library resolved.
#include "devices.h"
#include "emulator.h"
#include "vcam_bridge.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace vcam {
namespace detail {

namespace {

struct Entry {
    enum Kind { kDir, kFile, kLink, kNode } kind = kDir;
    std::string text;                   // file: contents; link: target; node: the node's path
    bool merged = false;                // directory that may also exist for real
    std::vector<std::string> children;  // directory: the virtual entries, in order
};

using Tree = std::map<std::string, Entry>;

// Directories of the real file system that the virtual entries join.
const char* const kMergedDirs[] = {"/dev",       "/sys",     "/sys/devices",  "/sys/devices/virtual",
                                   "/sys/class", "/sys/dev", "/sys/dev/char", "/sys/class/video4linux"};

bool IsMergedDir(const std::string& path)
{
    for (const char* d : kMergedDirs)
        if (path == d)
            return true;
    return false;
}

std::string Parent(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string BaseName(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

std::vector<std::string> Split(const std::string& path)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= path.size()) {
        const size_t slash = path.find('/', start);
        const size_t end = slash == std::string::npos ? path.size() : slash;
        if (end > start)
            out.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// `to` as a link target relative to the directory `fromDir`.
std::string Relative(const std::string& fromDir, const std::string& to)
{
    const std::vector<std::string> a = Split(fromDir), b = Split(to);
    size_t common = 0;
    while (common < a.size() && common < b.size() && a[common] == b[common])
        ++common;
    std::string out;
    for (size_t i = common; i < a.size(); ++i)
        out += "../";
    for (size_t i = common; i < b.size(); ++i)
        out += b[i] + (i + 1 < b.size() ? "/" : "");
    return out;
}

class Builder {
public:
    explicit Builder(Tree& tree) : tree_(tree) {}

    void Dir(const std::string& path)
    {
        if (path == "/" || tree_.count(path))
            return;
        Dir(Parent(path));
        Entry e;
        e.kind = Entry::kDir;
        e.merged = IsMergedDir(path);
        Add(path, std::move(e));
    }
    void File(const std::string& path, std::string text) { Leaf(path, Entry::kFile, std::move(text)); }
    void Link(const std::string& path, const std::string& absoluteTarget)
    {
        Leaf(path, Entry::kLink, Relative(Parent(path), absoluteTarget));
    }
    void Node(const std::string& path, std::string nodePath) { Leaf(path, Entry::kNode, std::move(nodePath)); }

private:
    void Leaf(const std::string& path, Entry::Kind kind, std::string text)
    {
        if (tree_.count(path))
            return;
        Dir(Parent(path));
        Entry e;
        e.kind = kind;
        e.text = std::move(text);
        Add(path, std::move(e));
    }
    void Add(const std::string& path, Entry e)
    {
        const std::string parent = Parent(path);
        if (path != "/" && tree_.count(parent))
            tree_[parent].children.push_back(BaseName(path));
        tree_[path] = std::move(e);
    }
    Tree& tree_;
};

std::string Uevent(const Record& r, const std::vector<std::string>& keys)
{
    std::string out;
    for (const std::string& k : keys)
        for (const auto& p : r.properties)
            if (p.first == k)
                out += k + "=" + p.second + "\n";
    if (!r.kernelName.empty())
        out += "DEVNAME=" + r.kernelName + "\n";
    if (!r.devtype.empty())
        out += "DEVTYPE=" + r.devtype + "\n";
    return out;
}

// With Lock() held.
Tree BuildTree()
{
    Tree tree;
    const std::vector<Record> records = Snapshot();
    if (records.empty() && Cameras().empty())
        return tree;
    Builder b(tree);
    b.Dir("/dev/vivazuzoz-vcam");
    for (const Record& r : records) {
        const std::string dir = r.syspath;
        b.Dir(dir);
        if (r.subsystem == "usb") {
            b.File(dir + "/uevent", Uevent(r, {"MAJOR", "MINOR"}) + "DRIVER=usb\n" + Uevent(r, {"BUSNUM", "DEVNUM"}));
            for (const auto& a : r.sysattrs)
                b.File(dir + "/" + a.first, a.second + "\n");
            const std::string intf = dir + "/" + r.sysname + ":1.0";
            b.File(intf + "/uevent", "DEVTYPE=usb_interface\nDRIVER=uvcvideo\nINTERFACE=14/1/0\n");
            b.File(intf + "/bInterfaceClass", "0e\n");
            b.File(intf + "/bInterfaceSubClass", "01\n");
            b.File(intf + "/bInterfaceNumber", "00\n");
            b.Link(dir + "/subsystem", "/sys/bus/usb");
            continue;
        }
        if (r.subsystem != "video4linux")
            continue;  // the ttys are pseudo-terminals: no sysfs entry
        std::string major, minor;
        for (const auto& p : r.properties) {
            if (p.first == "MAJOR")
                major = p.second;
            if (p.first == "MINOR")
                minor = p.second;
        }
        b.File(dir + "/uevent", Uevent(r, {"MAJOR", "MINOR"}));
        b.File(dir + "/dev", major + ":" + minor + "\n");
        for (const auto& a : r.sysattrs)
            b.File(dir + "/" + a.first, a.second + "\n");
        b.File(dir + "/dev_debug", "0\n");
        b.Link(dir + "/subsystem", "/sys/class/video4linux");
        // The interface the node belongs to (the video4linux folder's parent).
        if (!r.parent.empty())
            b.Link(dir + "/device", Parent(Parent(dir)));
        b.Link("/sys/class/video4linux/" + r.sysname, dir);
        b.Link("/sys/dev/char/" + major + ":" + minor, dir);
        b.Node(r.devnode, r.devnode);
        b.Link("/dev/" + r.kernelName, r.devnode);
    }
    return tree;
}

// The outcome of walking a path through the virtual entries.
struct Resolved {
    enum Kind {
        kNotOurs,  // no virtual entry on the way: the C library's business
        kVirtual,  // `path` is a virtual entry
        kReal,     // a virtual link led to `path` in the real file system
        kError,    // `error` (ENOENT, ENOTDIR, ELOOP)
    } kind = kNotOurs;
    std::string path;
    const Entry* entry = nullptr;
    int error = 0;
};

Resolved Resolve(const Tree& tree, const std::string& path, bool followLast)
{
    Resolved out;
    if (tree.empty() || path.empty() || path[0] != '/')
        return out;
    std::deque<std::string> rest;
    for (auto& c : Split(path))
        rest.push_back(c);
    std::string cur;       // "" is the root
    bool touched = false;  // went through a virtual entry other than a merged directory
    int links = 0;
    auto error = [&out](int e) {
        out.kind = Resolved::kError;
        out.error = e;
        return out;
    };
    while (!rest.empty()) {
        const std::string c = rest.front();
        rest.pop_front();
        if (c == ".")
            continue;
        if (c == "..") {
            cur = cur.empty() ? cur : cur.substr(0, cur.rfind('/'));
            continue;
        }
        const std::string next = cur + "/" + c;
        const auto here = tree.find(cur.empty() ? "/" : cur);
        const auto it = tree.find(next);
        if (it == tree.end()) {
            // Below a directory of our own, nothing else exists.
            if (here != tree.end() && here->second.kind == Entry::kDir && !here->second.merged)
                return error(ENOENT);
            cur = next;
            continue;
        }
        const Entry& e = it->second;
        if (!(e.kind == Entry::kDir && e.merged))
            touched = true;
        if (e.kind == Entry::kLink && (followLast || !rest.empty())) {
            if (++links > 40)
                return error(ELOOP);
            const std::vector<std::string> target = Split(e.text);
            rest.insert(rest.begin(), target.begin(), target.end());
            if (!e.text.empty() && e.text[0] == '/')
                cur.clear();
            continue;  // resolved from the link's own directory, `cur`
        }
        if ((e.kind == Entry::kFile || e.kind == Entry::kNode) && !rest.empty())
            return error(ENOTDIR);
        cur = next;
    }
    if (cur.empty())
        cur = "/";
    const auto it = tree.find(cur);
    // A merged directory is ours only as the end of the path (to list it).
    if (!touched && it == tree.end())
        return out;
    if (it != tree.end()) {
        out.kind = Resolved::kVirtual;
        out.entry = &it->second;
    } else {
        out.kind = Resolved::kReal;
    }
    out.path = cur;
    return out;
}

// A lookup: the tree built and the path resolved, under the lock. The entry
// points into `tree`.
struct Lookup {
    Tree tree;
    Resolved r;
};

Lookup Find(const char* path, bool followLast)
{
    Lookup l;
    std::lock_guard<std::mutex> lk(Lock());
    l.tree = BuildTree();
    l.r = Resolve(l.tree, path, followLast);
    return l;
}

// A merged directory is looked up for what it is: the real one when it
// exists, a virtual one else.
bool RealExists(const std::string& path, struct stat* st)
{
    return vcam_real_stat(path.c_str(), st) == 0;
}

int Fail(int err)
{
    errno = err;
    return -1;
}

uint64_t InodeOf(const std::string& path)
{
    return 0x7cb00000u + (std::hash<std::string>{}(path)&0xfffffu);
}

void FillVirtualStat(const std::string& path, const Entry& e, struct stat* st)
{
    std::memset(st, 0, sizeof *st);
    const bool sys = path.compare(0, 5, "/sys/") == 0 || path == "/sys";
    st->st_dev = sys ? makedev(0, 22) : makedev(0, 5);
    st->st_ino = InodeOf(path);
    st->st_nlink = 1;
    st->st_blksize = 4096;
    switch (e.kind) {
    case Entry::kDir:
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        break;
    case Entry::kFile:
        st->st_mode = S_IFREG | 0444;
        st->st_size = 4096;  // as sysfs tells every attribute's size
        break;
    case Entry::kLink:
        st->st_mode = S_IFLNK | 0777;
        st->st_size = static_cast<off_t>(e.text.size());
        break;
    case Entry::kNode:
        break;  // stat'ed by the node itself
    }
    clock_gettime(CLOCK_REALTIME, &st->st_atim);
    st->st_mtim = st->st_ctim = st->st_atim;
}

// A descriptor of an empty directory, to stand for a virtual one: made once,
// removed at once (the descriptor stays valid and lists nothing).
int EmptyDirFd()
{
    static std::mutex m;
    static int fd = -1;
    std::lock_guard<std::mutex> lk(m);
    if (fd >= 0)
        return fd;
    for (const char* base : {"/tmp", "/dev/shm"}) {
        char tmpl[64];
        std::snprintf(tmpl, sizeof tmpl, "%s/vivazuzoz-vcam-XXXXXX", base);
        if (!mkdtemp(tmpl))
            continue;
        fd = ::open(tmpl, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        rmdir(tmpl);
        if (fd >= 0)
            break;
    }
    return fd;
}

int OpenEmptyDir(int flags)
{
    const int base = EmptyDirFd();
    if (base < 0)
        return Fail(ENOENT);
    return fcntl(base, (flags & O_CLOEXEC) ? F_DUPFD_CLOEXEC : F_DUPFD, 0);
}

int OpenFile(const std::string& text, int flags)
{
    if ((flags & O_ACCMODE) != O_RDONLY)
        return Fail(EACCES);
    const int fd = memfd_create("vivazuzoz-vcam-sysfs", (flags & O_CLOEXEC) ? MFD_CLOEXEC : 0);
    if (fd < 0)
        return -1;
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) || lseek(fd, 0, SEEK_SET) != 0) {
        const int err = errno;
        vcam_real_close(fd);
        return Fail(err ? err : EIO);
    }
    return fd;
}

// ------------------------------------------------------------ directories

// A directory stream that lists virtual entries: the real stream (of the
// real directory, or of an empty one) first, less the hidden names, then the
// virtual entries.
struct DirStream {
    std::vector<std::pair<std::string, unsigned char>> extra;
    std::function<bool(const char*)> hide;
    size_t next = 0;
    bool virtualOnly = false;  // no real directory behind it
    bool realDone = false;
    dirent64 ent{};
};

std::mutex g_dirLock;  // guards g_dirs
std::map<void*, std::unique_ptr<DirStream>>* g_dirs = nullptr;
std::atomic<int> g_dirCount{0};

bool HasPrefix(const char* s, const char* prefix)
{
    return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

// Real entries of a merged directory that the virtual world hides.
std::function<bool(const char*)> HiddenIn(const std::string& dir, const std::vector<std::string>& virtualNames)
{
    return [dir, virtualNames](const char* name) {
        for (const std::string& v : virtualNames)
            if (v == name)
                return true;
        if (dir == "/dev") {
            for (const char* p : {"video", "media", "v4l-subdev", "v4l-touch", "vbi", "radio", "swradio"})
                if (HasPrefix(name, p))
                    return true;
        } else if (dir == "/sys/class/video4linux") {
            return std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
        } else if (dir == "/sys/dev/char") {
            return HasPrefix(name, "81:");
        }
        return false;
    };
}

unsigned char TypeOf(const Entry& e)
{
    switch (e.kind) {
    case Entry::kDir:
        return DT_DIR;
    case Entry::kFile:
        return DT_REG;
    case Entry::kLink:
        return DT_LNK;
    case Entry::kNode:
        return DT_CHR;
    }
    return DT_UNKNOWN;
}

}  // namespace
}  // namespace detail
}  // namespace vcam

using namespace vcam::detail;

extern "C" {

int vcam_path_may_be_virtual(const char* path)
{
    if (!path || path[0] != '/')
        return 0;
    if (path[1] == 'd') {
        return std::strcmp(path, "/dev") == 0 || std::strcmp(path, "/dev/") == 0 || HasPrefix(path, "/dev/video") ||
               HasPrefix(path, "/dev/vivazuzoz-vcam");
    }
    if (!HasPrefix(path, "/sys"))
        return 0;
    for (const char* exact : {"/sys", "/sys/", "/sys/devices", "/sys/devices/virtual", "/sys/class", "/sys/dev"})
        if (std::strcmp(path, exact) == 0)
            return 1;
    return HasPrefix(path, "/sys/dev/char") || HasPrefix(path, "/sys/class/video4linux") ||
           HasPrefix(path, "/sys/devices/vivazuzoz-vcam") || HasPrefix(path, "/sys/devices/virtual/vivazuzoz-vcam");
}

int vcam_vfs_open(const char* path, int flags, unsigned mode, int* handled)
{
    if (vcam_path_is_virtual(path)) {
        // The nodes themselves, without building the tree.
        std::shared_ptr<VideoNode> node;
        {
            std::lock_guard<std::mutex> lk(Lock());
            node = FindNode(path);
        }
        if (node) {
            *handled = 1;
            return vcam_open_node(path, flags);
        }
    }
    Lookup l = Find(path, !(flags & O_NOFOLLOW));
    switch (l.r.kind) {
    case Resolved::kNotOurs:
        return 0;
    case Resolved::kError:
        *handled = 1;
        return Fail(l.r.error);
    case Resolved::kReal:
        *handled = 1;
        return vcam_real_open(l.r.path.c_str(), flags, mode);
    case Resolved::kVirtual:
        break;
    }
    *handled = 1;
    const Entry& e = *l.r.entry;
    if ((flags & O_DIRECTORY) && e.kind != Entry::kDir)
        return Fail(ENOTDIR);
    switch (e.kind) {
    case Entry::kNode:
        return vcam_open_node(e.text.c_str(), flags);
    case Entry::kFile:
        return OpenFile(e.text, flags);
    case Entry::kLink:
        return Fail(ELOOP);  // O_NOFOLLOW on a link
    case Entry::kDir: {
        if ((flags & O_ACCMODE) != O_RDONLY)
            return Fail(EISDIR);
        struct stat st;
        if (e.merged && RealExists(l.r.path, &st))
            return vcam_real_open(l.r.path.c_str(), flags, mode);
        return OpenEmptyDir(flags);
    }
    }
    return Fail(ENOENT);
}

int vcam_vfs_stat(const char* path, struct stat* st, int follow, int* handled)
{
    if (vcam_path_is_virtual(path) && follow) {
        std::shared_ptr<VideoNode> node;
        {
            std::lock_guard<std::mutex> lk(Lock());
            node = FindNode(path);
        }
        if (node) {
            *handled = 1;
            return vcam_stat_node(path, st);
        }
    }
    Lookup l = Find(path, follow != 0);
    switch (l.r.kind) {
    case Resolved::kNotOurs:
        return 0;
    case Resolved::kError:
        *handled = 1;
        return Fail(l.r.error);
    case Resolved::kReal:
        *handled = 1;
        return follow ? vcam_real_stat(l.r.path.c_str(), st) : vcam_real_lstat(l.r.path.c_str(), st);
    case Resolved::kVirtual:
        break;
    }
    *handled = 1;
    const Entry& e = *l.r.entry;
    if (e.kind == Entry::kNode)
        return vcam_stat_node(e.text.c_str(), st);
    if (e.kind == Entry::kDir && e.merged && RealExists(l.r.path, st))
        return 0;
    FillVirtualStat(l.r.path, e, st);
    return 0;
}

int vcam_vfs_access(const char* path, int mode, int* handled)
{
    struct stat st;
    int statHandled = 0;
    const int r = vcam_vfs_stat(path, &st, 1, &statHandled);
    if (!statHandled)
        return 0;
    *handled = 1;
    if (r != 0)
        return r;
    // Attributes and directories are read-only; nodes are open to all.
    if ((mode & W_OK) && !S_ISCHR(st.st_mode) && (st.st_mode & 0222) == 0)
        return Fail(EACCES);
    return 0;
}

long vcam_vfs_readlink(const char* path, char* buf, size_t size, int* handled)
{
    Lookup l = Find(path, false);
    switch (l.r.kind) {
    case Resolved::kNotOurs:
        return 0;
    case Resolved::kError:
        *handled = 1;
        return Fail(l.r.error);
    case Resolved::kReal:
        *handled = 1;
        return vcam_real_readlink(l.r.path.c_str(), buf, size);
    case Resolved::kVirtual:
        break;
    }
    *handled = 1;
    const Entry& e = *l.r.entry;
    if (e.kind != Entry::kLink)
        return Fail(EINVAL);
    const size_t n = std::min(size, e.text.size());
    std::memcpy(buf, e.text.data(), n);
    return static_cast<long>(n);
}

void* vcam_vfs_opendir(const char* path, int* handled)
{
    Lookup l = Find(path, true);
    switch (l.r.kind) {
    case Resolved::kNotOurs:
        return nullptr;
    case Resolved::kError:
        *handled = 1;
        errno = l.r.error;
        return nullptr;
    case Resolved::kReal:
        *handled = 1;
        return vcam_real_opendir(l.r.path.c_str());
    case Resolved::kVirtual:
        break;
    }
    *handled = 1;
    const Entry& e = *l.r.entry;
    if (e.kind != Entry::kDir) {
        errno = ENOTDIR;
        return nullptr;
    }
    auto stream = std::make_unique<DirStream>();
    void* dir = e.merged ? vcam_real_opendir(l.r.path.c_str()) : nullptr;
    if (!dir) {
        const int fd = OpenEmptyDir(O_CLOEXEC);
        dir = fd >= 0 ? fdopendir(fd) : nullptr;
        if (!dir) {
            if (fd >= 0)
                vcam_real_close(fd);
            errno = ENOENT;
            return nullptr;
        }
        // A removed directory lists not even "." and "..": they come from here.
        stream->virtualOnly = stream->realDone = true;
        stream->extra = {{".", DT_DIR}, {"..", DT_DIR}};
    }
    stream->hide = HiddenIn(l.r.path, e.children);
    for (const std::string& name : e.children) {
        const auto it = l.tree.find((l.r.path == "/" ? "" : l.r.path) + "/" + name);
        stream->extra.push_back(
            {name, it == l.tree.end() ? static_cast<unsigned char>(DT_UNKNOWN) : TypeOf(it->second)});
    }
    std::lock_guard<std::mutex> lk(g_dirLock);
    if (!g_dirs)
        g_dirs = new std::map<void*, std::unique_ptr<DirStream>>;  // lives to exit
    (*g_dirs)[dir] = std::move(stream);
    g_dirCount.fetch_add(1);
    return dir;
}

int vcam_dir_is_virtual(void* dir)
{
    if (g_dirCount.load(std::memory_order_acquire) == 0)
        return 0;
    std::lock_guard<std::mutex> lk(g_dirLock);
    return g_dirs && g_dirs->count(dir) != 0;
}

struct dirent64* vcam_vfs_readdir(void* dir, int* handled)
{
    std::lock_guard<std::mutex> lk(g_dirLock);
    if (!g_dirs)
        return nullptr;
    auto it = g_dirs->find(dir);
    if (it == g_dirs->end())
        return nullptr;
    *handled = 1;
    DirStream& s = *it->second;
    while (!s.realDone) {
        const int saved = errno;
        struct dirent64* real = vcam_real_readdir64(dir);
        if (!real) {
            errno = saved;
            s.realDone = true;
            break;
        }
        if (!s.hide(real->d_name))
            return real;
    }
    if (s.next >= s.extra.size())
        return nullptr;
    const auto& item = s.extra[s.next++];
    std::memset(&s.ent, 0, sizeof s.ent);
    s.ent.d_ino = InodeOf(item.first);
    s.ent.d_off = static_cast<off64_t>(s.next);
    s.ent.d_reclen = sizeof s.ent;
    s.ent.d_type = item.second;
    std::snprintf(s.ent.d_name, sizeof s.ent.d_name, "%s", item.first.c_str());
    return &s.ent;
}

void vcam_vfs_rewinddir(void* dir)
{
    std::lock_guard<std::mutex> lk(g_dirLock);
    if (!g_dirs)
        return;
    auto it = g_dirs->find(dir);
    if (it == g_dirs->end())
        return;
    it->second->next = 0;
    it->second->realDone = it->second->virtualOnly;
}

void vcam_vfs_closedir(void* dir)
{
    std::lock_guard<std::mutex> lk(g_dirLock);
    if (g_dirs && g_dirs->erase(dir))
        g_dirCount.fetch_sub(1);
}

}  // extern "C"
