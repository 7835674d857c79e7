// SPDX-License-Identifier: MIT
// The FUSE server of the fake sysfs: the kernel's requests answered from the tree, and the
// mount's life.
#include "sysfs_impl.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace vh {

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
    st->st_ino = node.ino;
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
    // The nodes' own inode numbers, not the library's: a removed node and its successor
    // at the same path must differ, as they do in kernfs.
    config->use_ino = 1;
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
    std::unique_lock lock(fs.mutex);
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
    return static_cast<int>(fs.write_to_live_node(lock, node, text));
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
        std::fprintf(stderr, "fake sysfs: no directory for fusectl: %s\n", std::strerror(errno));
        return;
    }
    if (::mount("fusectl", dir, "fusectl", 0, nullptr) != 0) {
        std::fprintf(stderr, "fake sysfs: cannot mount fusectl to abort connection %u: %s\n",
                     connection_id, std::strerror(errno));
    } else {
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
        // A loop the abort did not end would make the join below wait forever: a test
        // that hangs tells nothing, a crash with the reason does.
        if (!impl_->wait_for_loop_end(std::chrono::seconds(10))) {
            std::fprintf(stderr, "fake sysfs: FUSE connection %u at %s did not end after abort\n",
                         impl_->connection_id, impl_->mountpoint.c_str());
            std::abort();
        }
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

} // namespace vh
