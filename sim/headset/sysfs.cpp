#define FUSE_USE_VERSION 31

#include "sysfs.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <fuse.h>
#include <mutex>
#include <poll.h>
#include <set>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

namespace vh {

namespace {

const std::string sys_root = "/sys";
constexpr int max_symlink_depth = 40;

// sysfs reports every attribute as one page long, whatever its value.
constexpr off_t attribute_size = 4096;

// kernfs: an attribute is always readable/writable in the poll sense; PRI|ERR mark a change
// the handle has not read yet.
constexpr unsigned default_poll_mask = POLLIN | POLLOUT | POLLRDNORM | POLLWRNORM;
constexpr unsigned changed_poll_mask = POLLPRI | POLLERR;

std::vector<std::string> split_path(const std::string &path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        const size_t slash = path.find('/', start);
        const size_t end = slash == std::string::npos ? path.size() : slash;
        if (end > start) {
            parts.push_back(path.substr(start, end - start));
        }
        if (slash == std::string::npos) {
            break;
        }
        start = slash + 1;
    }
    return parts;
}

// The components of an API path below /sys; throws for anything outside.
std::vector<std::string> components_below_sys(const std::string &path) {
    std::vector<std::string> parts = split_path(path);
    if (path.empty() || path[0] != '/' || parts.empty() || parts[0] != "sys") {
        throw std::invalid_argument("fake sysfs: path outside /sys: \"" + path + "\"");
    }
    parts.erase(parts.begin());
    return parts;
}

// What a read shows: the value with the newline sysfs show functions end their text with.
std::string shown_text(const std::string &value) {
    if (value.empty() || value.back() == '\n') {
        return value;
    }
    return value + '\n';
}

} // namespace

struct Handle;

struct Node {
    enum class Kind { dir, attr, link };

    Kind kind = Kind::dir;
    std::string name;
    Node *parent = nullptr;                      // nullptr for the root and for removed nodes
    std::vector<std::shared_ptr<Node>> children; // creation order is readdir order
    mode_t mode = 0755;
    std::string value; // attribute value or symlink target (relative)

    // kernfs change counter; a handle that has read the current one sees no change.
    uint64_t event = 1;
    bool removed = false;

    int read_error = 0;
    int write_error = 0;
    size_t short_write_bytes = 0;
    uint64_t opens = 0;
    uint64_t reads = 0;

    std::shared_ptr<std::function<void(const std::string &)>> write_hook;
    std::shared_ptr<std::function<std::string()>> read_provider;
    std::vector<Handle *> handles;

    Node *child(const std::string &child_name) const {
        for (const auto &c : children) {
            if (c->name == child_name) {
                return c.get();
            }
        }
        return nullptr;
    }
};

// One open file of a client.
struct Handle {
    std::shared_ptr<Node> node;
    uint64_t seen = 0; // the change counter last read; 0: never read
    fuse_pollhandle *poll_handle = nullptr;
};

struct FakeSysfs::Impl {
    mutable std::mutex mutex;
    mutable std::condition_variable write_logged;
    std::shared_ptr<Node> root = std::make_shared<Node>();
    std::set<Handle *> handles;
    std::vector<Write> log;
    uint64_t next_seq = 1;
    uint64_t total_opens = 0;

    // Handler times; a lock of their own, so recording never waits for the tree.
    std::atomic<bool> recording_requests{false};
    mutable std::mutex requests_mutex;
    std::vector<Request> requests;

    fuse *session = nullptr;
    std::string mountpoint;
    std::thread loop_thread;
    bool loop_ended = false;
    std::condition_variable loop_end;
    unsigned connection_id = 0;

    bool wait_for_loop_end(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        return loop_end.wait_for(lock, timeout, [this] { return loop_ended; });
    }

    Impl() { root->name = "sys"; }

    // ---- tree, all under mutex ----

    std::shared_ptr<Node> shared(Node *node) const {
        if (node == root.get()) {
            return root;
        }
        if (node->parent == nullptr) {
            return nullptr;
        }
        for (const auto &c : node->parent->children) {
            if (c.get() == node) {
                return c;
            }
        }
        return nullptr;
    }

    // Walks the components from the root, following symlinks (the last one only when
    // follow_last). nullptr when something is missing or a link loops.
    Node *resolve_parts(std::deque<std::string> pending, bool follow_last) const {
        Node *current = root.get();
        int links_followed = 0;
        while (!pending.empty()) {
            const std::string part = pending.front();
            pending.pop_front();
            if (part == ".") {
                continue;
            }
            if (part == "..") {
                if (current->parent != nullptr) {
                    current = current->parent;
                }
                continue;
            }
            if (current->kind != Node::Kind::dir) {
                return nullptr;
            }
            Node *next = current->child(part);
            if (next == nullptr) {
                return nullptr;
            }
            if (next->kind == Node::Kind::link && (!pending.empty() || follow_last)) {
                if (++links_followed > max_symlink_depth) {
                    return nullptr;
                }
                std::vector<std::string> target = split_path(next->value);
                pending.insert(pending.begin(), target.begin(), target.end());
                continue; // relative to the link's directory, which is current
            }
            current = next;
        }
        return current;
    }

    Node *resolve(const std::string &path, bool follow_last = true) const {
        std::vector<std::string> parts;
        try {
            parts = components_below_sys(path);
        } catch (const std::invalid_argument &) {
            return nullptr;
        }
        return resolve_parts({parts.begin(), parts.end()}, follow_last);
    }

    Node *resolve_or_throw(const std::string &path, bool follow_last = true) const {
        Node *node = resolve(path, follow_last);
        if (node == nullptr) {
            throw std::invalid_argument("fake sysfs: no such node: \"" + path + "\"");
        }
        return node;
    }

    Node *attribute_or_throw(const std::string &path) const {
        Node *node = resolve_or_throw(path);
        if (node->kind != Node::Kind::attr) {
            throw std::invalid_argument("fake sysfs: not an attribute: \"" + path + "\"");
        }
        return node;
    }

    static std::string canonical_of(const Node *node) {
        std::vector<const std::string *> names;
        for (const Node *n = node; n->parent != nullptr; n = n->parent) {
            names.push_back(&n->name);
        }
        std::string path = sys_root;
        for (auto it = names.rbegin(); it != names.rend(); ++it) {
            path += "/" + **it;
        }
        return path;
    }

    // The node a symlink in dir points to, or nullptr when it dangles.
    Node *follow_link(const Node *dir, const Node *link) const {
        std::vector<std::string> parts = split_path(canonical_of(dir));
        parts.erase(parts.begin()); // "sys"
        for (const std::string &part : split_path(link->value)) {
            parts.push_back(part);
        }
        return resolve_parts({parts.begin(), parts.end()}, true);
    }

    // The directory that will hold path's last component, created as needed.
    Node *parent_dir_for(const std::string &path, std::string &leaf) {
        std::vector<std::string> parts = components_below_sys(path);
        if (parts.empty()) {
            throw std::invalid_argument("fake sysfs: cannot replace the root");
        }
        leaf = parts.back();
        parts.pop_back();
        Node *dir = root.get();
        for (const std::string &part : parts) {
            if (part == ".") {
                continue;
            }
            if (part == "..") {
                dir = dir->parent != nullptr ? dir->parent : dir;
                continue;
            }
            Node *next = dir->child(part);
            if (next == nullptr) {
                auto created = std::make_shared<Node>();
                created->name = part;
                created->parent = dir;
                dir->children.push_back(created);
                next = created.get();
            } else if (next->kind == Node::Kind::link) {
                next = follow_link(dir, next);
            }
            if (next == nullptr || next->kind != Node::Kind::dir) {
                throw std::invalid_argument("fake sysfs: \"" + path +
                                            "\" goes through a non-directory");
            }
            dir = next;
        }
        return dir;
    }

    void detach(Node *node) {
        Node *parent = node->parent;
        if (parent == nullptr) {
            return;
        }
        const std::shared_ptr<Node> keep = shared(node); // alive until its parent link is cut
        auto &siblings = parent->children;
        siblings.erase(std::remove_if(siblings.begin(), siblings.end(),
                                      [node](const auto &c) { return c.get() == node; }),
                       siblings.end());
        node->parent = nullptr;
    }

    Node *insert(const std::string &path, Node::Kind kind, mode_t mode, const std::string &value) {
        std::string leaf;
        Node *dir = parent_dir_for(path, leaf);
        if (Node *existing = dir->child(leaf)) {
            if (kind == Node::Kind::dir && existing->kind == Node::Kind::dir) {
                return existing;
            }
            mark_removed(existing);
            detach(existing);
        }
        auto node = std::make_shared<Node>();
        node->kind = kind;
        node->name = leaf;
        node->mode = mode;
        node->value = value;
        node->parent = dir;
        dir->children.push_back(node);
        return node.get();
    }

    // Absolute targets below /sys become relative to the link's directory, as sysfs shows.
    std::string relative_target(const Node *link_dir, const std::string &target) const {
        if (target.empty() || target[0] != '/') {
            return target;
        }
        const std::vector<std::string> to = components_below_sys(target);
        const std::vector<std::string> from = split_path(canonical_of(link_dir).substr(1));
        std::vector<std::string> from_below(from.begin() + 1, from.end()); // without "sys"
        size_t common = 0;
        while (common < from_below.size() && common < to.size() &&
               from_below[common] == to[common]) {
            ++common;
        }
        std::string relative;
        for (size_t i = common; i < from_below.size(); ++i) {
            relative += "../";
        }
        for (size_t i = common; i < to.size(); ++i) {
            relative += to[i] + (i + 1 < to.size() ? "/" : "");
        }
        return relative.empty() ? "." : relative;
    }

    // ---- change notification ----

    void notify_changed(Node *node) {
        ++node->event;
        for (Handle *handle : node->handles) {
            if (handle->poll_handle != nullptr) {
                fuse_notify_poll(handle->poll_handle);
            }
        }
    }

    // A vanished attribute reports PRI|ERR for good; wake whoever waits on it.
    void mark_removed(Node *node) {
        node->removed = true;
        if (node->kind == Node::Kind::attr) {
            notify_changed(node);
        }
        for (const auto &c : node->children) {
            mark_removed(c.get());
        }
    }

    void drop_handle(Handle *handle) {
        auto &list = handle->node->handles;
        list.erase(std::remove(list.begin(), list.end(), handle), list.end());
        if (handle->poll_handle != nullptr) {
            fuse_pollhandle_destroy(handle->poll_handle);
        }
        handles.erase(handle);
        delete handle;
    }

    void log_write(const Node *node, const std::string &text, int error) {
        log.push_back(
            {next_seq++, canonical_of(node), text, std::chrono::steady_clock::now(), error});
        write_logged.notify_all();
    }

    // The canonical form of a path for matching log entries; the path itself when it does
    // not resolve (yet).
    std::string log_key(const std::string &path) const {
        const Node *node = resolve(path);
        return node != nullptr ? canonical_of(node) : path;
    }
};

// ---- FUSE operations ----

namespace {

FakeSysfs::Impl &impl() {
    return *static_cast<FakeSysfs::Impl *>(fuse_get_context()->private_data);
}

// Records how long the handler it lives in took, while recording is on.
class RequestTimer {
  public:
    RequestTimer() : fs_(impl()), start_(std::chrono::steady_clock::now()) {}
    ~RequestTimer() {
        if (fs_.recording_requests.load(std::memory_order_relaxed)) {
            const auto end = std::chrono::steady_clock::now();
            std::lock_guard lock(fs_.requests_mutex);
            fs_.requests.push_back({start_, end});
        }
    }
    RequestTimer(const RequestTimer &) = delete;
    RequestTimer &operator=(const RequestTimer &) = delete;

  private:
    FakeSysfs::Impl &fs_;
    std::chrono::steady_clock::time_point start_;
};

Handle *handle_of(const fuse_file_info *fi) {
    // libfuse keeps the server's per-open state in the 64-bit fh word.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    return reinterpret_cast<Handle *>(fi->fh);
}

// Paths from FUSE are relative to the mount point.
std::string api_path(const char *fuse_path) {
    return std::strcmp(fuse_path, "/") == 0 ? sys_root : sys_root + fuse_path;
}

void fill_stat(const Node &node, struct stat *st) {
    std::memset(st, 0, sizeof(*st));
    switch (node.kind) {
    case Node::Kind::dir:
        st->st_mode = S_IFDIR | node.mode;
        st->st_nlink = 2;
        break;
    case Node::Kind::attr:
        st->st_mode = S_IFREG | node.mode;
        st->st_nlink = 1;
        st->st_size = attribute_size;
        break;
    case Node::Kind::link:
        st->st_mode = S_IFLNK | 0777;
        st->st_nlink = 1;
        st->st_size = static_cast<off_t>(node.value.size());
        break;
    }
}

void *op_init(fuse_conn_info *, fuse_config *config) {
    // Every lookup, attribute and read must reach the server: values change behind the
    // kernel's back, and a cached read would never re-arm a notification.
    config->entry_timeout = 0;
    config->attr_timeout = 0;
    config->negative_timeout = 0;
    config->direct_io = 1;
    return fuse_get_context()->private_data;
}

int op_getattr(const char *path, struct stat *st, fuse_file_info *fi) {
    const RequestTimer timer;
    auto &fs = impl();
    std::lock_guard lock(fs.mutex);
    if (fi != nullptr && fi->fh != 0) {
        fill_stat(*handle_of(fi)->node, st);
        return 0;
    }
    const Node *node = fs.resolve(api_path(path), false);
    if (node == nullptr) {
        return -ENOENT;
    }
    fill_stat(*node, st);
    return 0;
}

int op_readlink(const char *path, char *buffer, size_t size) {
    const RequestTimer timer;
    auto &fs = impl();
    std::lock_guard lock(fs.mutex);
    const Node *node = fs.resolve(api_path(path), false);
    if (node == nullptr) {
        return -ENOENT;
    }
    if (node->kind != Node::Kind::link) {
        return -EINVAL;
    }
    if (size == 0) {
        return -EINVAL;
    }
    const size_t length = std::min(size - 1, node->value.size());
    std::memcpy(buffer, node->value.data(), length);
    buffer[length] = '\0';
    return 0;
}

int op_readdir(const char *path, void *buffer, fuse_fill_dir_t filler, off_t, fuse_file_info *,
               fuse_readdir_flags) {
    const RequestTimer timer;
    auto &fs = impl();
    std::lock_guard lock(fs.mutex);
    const Node *dir = fs.resolve(api_path(path), true);
    if (dir == nullptr) {
        return -ENOENT;
    }
    if (dir->kind != Node::Kind::dir) {
        return -ENOTDIR;
    }
    struct stat st;
    fill_stat(*dir, &st);
    filler(buffer, ".", &st, 0, static_cast<fuse_fill_dir_flags>(0));
    filler(buffer, "..", &st, 0, static_cast<fuse_fill_dir_flags>(0));
    for (const auto &child : dir->children) {
        fill_stat(*child, &st); // the type makes class entries DT_LNK
        filler(buffer, child->name.c_str(), &st, 0, static_cast<fuse_fill_dir_flags>(0));
    }
    return 0;
}

int op_open(const char *path, fuse_file_info *fi) {
    const RequestTimer timer;
    auto &fs = impl();
    std::lock_guard lock(fs.mutex);
    Node *node = fs.resolve(api_path(path), true);
    if (node == nullptr) {
        return -ENOENT;
    }
    if (node->kind == Node::Kind::dir) {
        return -EISDIR;
    }
    // kernfs refuses an access mode the attribute does not offer, even to root.
    const int access = fi->flags & O_ACCMODE;
    const bool wants_read = access == O_RDONLY || access == O_RDWR;
    const bool wants_write = access == O_WRONLY || access == O_RDWR;
    if ((wants_read && (node->mode & 0444) == 0) || (wants_write && (node->mode & 0222) == 0)) {
        return -EACCES;
    }
    auto *handle = new Handle{fs.shared(node), 0, nullptr};
    node->handles.push_back(handle);
    fs.handles.insert(handle);
    ++node->opens;
    ++fs.total_opens;
    fi->fh = reinterpret_cast<uint64_t>(handle);
    fi->direct_io = 1;
    fi->keep_cache = 0;
    return 0;
}

int op_read(const char *, char *buffer, size_t size, off_t offset, fuse_file_info *fi) {
    const RequestTimer timer;
    auto &fs = impl();
    std::shared_ptr<std::function<std::string()>> provider;
    std::string text;
    {
        std::lock_guard lock(fs.mutex);
        Handle *handle = handle_of(fi);
        Node &node = *handle->node;
        if (node.removed) {
            return -ENODEV;
        }
        if (offset == 0) {
            // Reading the value from its start is what re-arms the notification.
            handle->seen = node.event;
            ++node.reads;
        }
        if (node.read_error != 0) {
            return -node.read_error;
        }
        provider = node.read_provider;
        text = node.value;
    }
    if (provider) {
        text = (*provider)();
    }
    const std::string shown = shown_text(text);
    if (offset < 0 || static_cast<size_t>(offset) >= shown.size()) {
        return 0;
    }
    const size_t length = std::min(size, shown.size() - static_cast<size_t>(offset));
    // A read returns bytes, not a C string: no terminator belongs in the kernel's buffer.
    // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
    std::memcpy(buffer, shown.data() + offset, length);
    return static_cast<int>(length);
}

int op_write(const char *, const char *buffer, size_t size, off_t, fuse_file_info *fi) {
    const RequestTimer timer;
    auto &fs = impl();
    std::shared_ptr<std::function<void(const std::string &)>> hook;
    std::string stored;
    {
        std::lock_guard lock(fs.mutex);
        Node &node = *handle_of(fi)->node;
        const std::string text(buffer, size);
        if (node.removed) {
            fs.log_write(&node, text, ENODEV);
            return -ENODEV;
        }
        if (node.write_error != 0) {
            fs.log_write(&node, text, node.write_error);
            return -node.write_error;
        }
        // A store replaces the value whatever the offset; sysfs never appends.
        stored = node.short_write_bytes != 0 ? text.substr(0, node.short_write_bytes) : text;
        node.value = stored;
        fs.log_write(&node, text, 0);
        hook = node.write_hook;
    }
    if (hook) {
        (*hook)(stored);
    }
    return static_cast<int>(stored.size());
}

int op_truncate(const char *path, off_t, fuse_file_info *fi) {
    const RequestTimer timer;
    auto &fs = impl();
    std::lock_guard lock(fs.mutex);
    if (fi == nullptr || fi->fh == 0) {
        const Node *node = fs.resolve(api_path(path), true);
        if (node == nullptr) {
            return -ENOENT;
        }
    }
    return 0; // sysfs ignores truncation (a shell's "echo 1 > attr" opens with O_TRUNC)
}

int op_poll(const char *, fuse_file_info *fi, fuse_pollhandle *poll_handle, unsigned *revents) {
    const RequestTimer timer;
    auto &fs = impl();
    std::lock_guard lock(fs.mutex);
    Handle *handle = handle_of(fi);
    if (poll_handle != nullptr) {
        if (handle->poll_handle != nullptr) {
            fuse_pollhandle_destroy(handle->poll_handle);
        }
        handle->poll_handle = poll_handle;
    }
    const Node &node = *handle->node;
    *revents = default_poll_mask;
    if (node.removed || handle->seen != node.event) {
        *revents |= changed_poll_mask;
    }
    return 0;
}

int op_release(const char *, fuse_file_info *fi) {
    const RequestTimer timer;
    auto &fs = impl();
    std::lock_guard lock(fs.mutex);
    fs.drop_handle(handle_of(fi));
    return 0;
}

int op_mknod(const char *, mode_t, dev_t) {
    return -EACCES;
}
int op_mkdir(const char *, mode_t) {
    return -EACCES;
}
int op_unlink(const char *) {
    return -EACCES;
}
int op_rmdir(const char *) {
    return -EACCES;
}
int op_create(const char *, mode_t, fuse_file_info *) {
    return -EACCES;
}

// Ends a FUSE connection through the fuse control filesystem, mounted for the moment on a
// private directory (the real /sys, where it usually lives, is covered by the fake one).
void abort_connection(unsigned connection_id) {
    char dir[] = "/tmp/vh-fusectl-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        return;
    }
    if (::mount("fusectl", dir, "fusectl", 0, nullptr) == 0) {
        const std::string abort_file =
            std::string(dir) + "/" + std::to_string(connection_id) + "/abort";
        const int fd = open(abort_file.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd >= 0) {
            (void)!write(fd, "1", 1);
            close(fd);
        }
        umount2(dir, MNT_DETACH);
    }
    rmdir(dir);
}

fuse_operations make_operations() {
    fuse_operations ops{};
    ops.init = op_init;
    ops.getattr = op_getattr;
    ops.readlink = op_readlink;
    ops.readdir = op_readdir;
    ops.open = op_open;
    ops.read = op_read;
    ops.write = op_write;
    ops.truncate = op_truncate;
    ops.poll = op_poll; // never ENOSYS: the kernel would stop asking for the whole mount
    ops.release = op_release;
    ops.mknod = op_mknod;
    ops.mkdir = op_mkdir;
    ops.unlink = op_unlink;
    ops.rmdir = op_rmdir;
    ops.create = op_create;
    return ops;
}

} // namespace

// ---- public API ----

FakeSysfs::FakeSysfs() : impl_(std::make_unique<Impl>()) {}

FakeSysfs::~FakeSysfs() {
    unmount();
}

void FakeSysfs::mount(const std::string &mountpoint) {
    if (mounted()) {
        throw std::runtime_error("fake sysfs: already mounted at " + impl_->mountpoint);
    }
    static const fuse_operations operations = make_operations();
    char program[] = "vh-sysfs";
    char option_flag[] = "-o";
    char options[] = "fsname=sysfs,subtype=vheadset";
    char *argv[] = {program, option_flag, options, nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, argv);
    fuse *session = fuse_new(&args, &operations, sizeof(operations), impl_.get());
    fuse_opt_free_args(&args);
    if (session == nullptr) {
        throw std::runtime_error("fake sysfs: fuse_new failed");
    }
    if (fuse_mount(session, mountpoint.c_str()) != 0) {
        fuse_destroy(session);
        throw std::runtime_error("fake sysfs: cannot mount FUSE at " + mountpoint +
                                 " (needs root and /dev/fuse)");
    }
    impl_->session = session;
    impl_->mountpoint = mountpoint;
    impl_->loop_ended = false;
    impl_->loop_thread = std::thread([this, session] {
        fuse_loop_mt(session, 0);
        std::lock_guard lock(impl_->mutex);
        impl_->loop_ended = true;
        impl_->loop_end.notify_all();
    });
    struct stat st;
    if (stat(mountpoint.c_str(), &st) == 0) {
        impl_->connection_id = minor(st.st_dev); // names the connection in fusectl
    }
    disable_flush(mountpoint);
}

// The kernel sends FLUSH on every close until the server once answers it with ENOSYS. A
// process that dies holding files of its own mount closes them after its FUSE threads are
// gone, and a FLUSH then waits for an answer forever (an unkillable process). One close of
// a probe file here makes the kernel stop sending FLUSH for this mount.
void FakeSysfs::disable_flush(const std::string &mountpoint) {
    const std::string probe = "/sys/.vh-flush-probe";
    add_attr(probe, "");
    const int fd = open((mountpoint + "/.vh-flush-probe").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
    }
    remove(probe);
}

bool FakeSysfs::mounted() const {
    return impl_->session != nullptr;
}

void FakeSysfs::unmount() {
    fuse *session = impl_->session;
    if (session == nullptr) {
        return;
    }
    // Detaching the mount ends the connection once no file is open any more, and the loop
    // returns. A client still holding files (a daemon that was not stopped) keeps it alive;
    // then the connection is aborted and the client's calls fail with ENOTCONN.
    umount2(impl_->mountpoint.c_str(), MNT_DETACH);
    if (!impl_->wait_for_loop_end(std::chrono::milliseconds(200))) {
        abort_connection(impl_->connection_id);
    }
    impl_->loop_thread.join();
    fuse_unmount(session); // closes the device; the mount is gone already
    {
        std::lock_guard lock(impl_->mutex);
        while (!impl_->handles.empty()) {
            impl_->drop_handle(*impl_->handles.begin());
        }
        impl_->session = nullptr;
    }
    fuse_destroy(session);
}

void FakeSysfs::add_dir(const std::string &path) {
    std::lock_guard lock(impl_->mutex);
    impl_->insert(path, Node::Kind::dir, 0755, {});
}

void FakeSysfs::add_attr(const std::string &path, const std::string &value, mode_t mode) {
    std::lock_guard lock(impl_->mutex);
    impl_->insert(path, Node::Kind::attr, mode & 07777, value);
}

void FakeSysfs::add_symlink(const std::string &path, const std::string &target) {
    std::lock_guard lock(impl_->mutex);
    std::string leaf;
    Node *dir = impl_->parent_dir_for(path, leaf);
    const std::string relative = impl_->relative_target(dir, target);
    impl_->insert(path, Node::Kind::link, 0777, relative);
}

void FakeSysfs::remove(const std::string &path) {
    std::lock_guard lock(impl_->mutex);
    Node *node = impl_->resolve_or_throw(path, false);
    if (node == impl_->root.get()) {
        throw std::invalid_argument("fake sysfs: cannot remove the root");
    }
    impl_->mark_removed(node);
    impl_->detach(node);
}

bool FakeSysfs::exists(const std::string &path) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->resolve(path) != nullptr;
}

bool FakeSysfs::is_symlink(const std::string &path) const {
    std::lock_guard lock(impl_->mutex);
    const Node *node = impl_->resolve(path, false);
    return node != nullptr && node->kind == Node::Kind::link;
}

std::vector<std::string> FakeSysfs::list(const std::string &dir) const {
    std::lock_guard lock(impl_->mutex);
    const Node *node = impl_->resolve_or_throw(dir);
    std::vector<std::string> names;
    for (const auto &c : node->children) {
        names.push_back(c->name);
    }
    return names;
}

std::string FakeSysfs::canonical(const std::string &path) const {
    std::lock_guard lock(impl_->mutex);
    const Node *node = impl_->resolve(path);
    return node != nullptr ? Impl::canonical_of(node) : std::string();
}

std::string FakeSysfs::value(const std::string &path) const {
    std::shared_ptr<std::function<std::string()>> provider;
    {
        std::lock_guard lock(impl_->mutex);
        const Node *node = impl_->attribute_or_throw(path);
        if (!node->read_provider) {
            return node->value;
        }
        provider = node->read_provider;
    }
    return (*provider)();
}

void FakeSysfs::set(const std::string &path, const std::string &value) {
    std::lock_guard lock(impl_->mutex);
    Node *node = impl_->attribute_or_throw(path);
    node->value = value;
    impl_->notify_changed(node);
}

void FakeSysfs::set_silently(const std::string &path, const std::string &value) {
    std::lock_guard lock(impl_->mutex);
    impl_->attribute_or_throw(path)->value = value;
}

void FakeSysfs::notify(const std::string &path) {
    std::lock_guard lock(impl_->mutex);
    impl_->notify_changed(impl_->attribute_or_throw(path));
}

void FakeSysfs::on_write(const std::string &path,
                         std::function<void(const std::string &text)> hook) {
    std::lock_guard lock(impl_->mutex);
    Node *node = impl_->attribute_or_throw(path);
    node->write_hook =
        hook ? std::make_shared<std::function<void(const std::string &)>>(std::move(hook))
             : nullptr;
}

void FakeSysfs::on_read(const std::string &path, std::function<std::string()> provider) {
    std::lock_guard lock(impl_->mutex);
    Node *node = impl_->attribute_or_throw(path);
    node->read_provider =
        provider ? std::make_shared<std::function<std::string()>>(std::move(provider)) : nullptr;
}

std::vector<FakeSysfs::Write> FakeSysfs::writes() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->log;
}

std::vector<FakeSysfs::Write> FakeSysfs::writes_to(const std::string &path) const {
    std::lock_guard lock(impl_->mutex);
    const std::string key = impl_->log_key(path);
    std::vector<Write> matching;
    std::copy_if(impl_->log.begin(), impl_->log.end(), std::back_inserter(matching),
                 [&](const Write &w) { return w.path == key; });
    return matching;
}

bool FakeSysfs::wait_for_write(const std::string &path, const std::string &text,
                               std::chrono::milliseconds timeout, uint64_t after_seq) const {
    std::unique_lock lock(impl_->mutex);
    return impl_->write_logged.wait_for(lock, timeout, [&] {
        const std::string key = impl_->log_key(path);
        return std::any_of(impl_->log.begin(), impl_->log.end(), [&](const Write &w) {
            return w.seq > after_seq && w.path == key && w.text == text;
        });
    });
}

std::vector<FakeSysfs::Write> FakeSysfs::wait_for_writes_to(const std::string &path,
                                                            std::chrono::milliseconds timeout,
                                                            uint64_t after_seq) const {
    std::unique_lock lock(impl_->mutex);
    std::vector<Write> matching;
    impl_->write_logged.wait_for(lock, timeout, [&] {
        const std::string key = impl_->log_key(path);
        matching.clear();
        std::copy_if(impl_->log.begin(), impl_->log.end(), std::back_inserter(matching),
                     [&](const Write &w) { return w.seq > after_seq && w.path == key; });
        return !matching.empty();
    });
    return matching;
}

uint64_t FakeSysfs::last_seq() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->next_seq - 1;
}

void FakeSysfs::clear_writes() {
    std::lock_guard lock(impl_->mutex);
    impl_->log.clear(); // sequence numbers keep counting, so after_seq stays meaningful
}

void FakeSysfs::fail_reads(const std::string &path, int err) {
    std::lock_guard lock(impl_->mutex);
    impl_->attribute_or_throw(path)->read_error = err;
}

void FakeSysfs::fail_writes(const std::string &path, int err) {
    std::lock_guard lock(impl_->mutex);
    impl_->attribute_or_throw(path)->write_error = err;
}

void FakeSysfs::short_writes(const std::string &path, size_t max_bytes) {
    std::lock_guard lock(impl_->mutex);
    impl_->attribute_or_throw(path)->short_write_bytes = max_bytes;
}

uint64_t FakeSysfs::opens(const std::string &path) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->attribute_or_throw(path)->opens;
}

uint64_t FakeSysfs::opens() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->total_opens;
}

uint64_t FakeSysfs::reads(const std::string &path) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->attribute_or_throw(path)->reads;
}

size_t FakeSysfs::open_handles(const std::string &path) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->attribute_or_throw(path)->handles.size();
}

size_t FakeSysfs::poll_waiters(const std::string &path) const {
    std::lock_guard lock(impl_->mutex);
    const auto &handles = impl_->attribute_or_throw(path)->handles;
    return static_cast<size_t>(std::count_if(handles.begin(), handles.end(),
                                             [](const Handle *h) { return h->poll_handle; }));
}

void FakeSysfs::record_requests(bool on) {
    std::lock_guard lock(impl_->requests_mutex);
    if (on) {
        impl_->requests.clear();
    }
    impl_->recording_requests = on;
}

std::vector<FakeSysfs::Request> FakeSysfs::requests() const {
    std::lock_guard lock(impl_->requests_mutex);
    return impl_->requests;
}

} // namespace vh
