// SPDX-License-Identifier: MIT
// The fake sysfs inside: its tree of nodes, the open handles of its clients, the write log,
// and the kernfs rules they follow. Shared by the tree operations (sysfs.cpp) and the FUSE
// server (sysfs_fuse.cpp); nothing else includes it.
#pragma once

#define FUSE_USE_VERSION 31

#include "sysfs.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fuse.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <set>
#include <stdexcept>
#include <thread>

namespace vh {

inline const std::string sys_root = "/sys";
constexpr int max_symlink_depth = 40;

// sysfs reports every attribute as one page long, whatever its value.
constexpr off_t attribute_size = 4096;

// kernfs: an attribute is always readable/writable in the poll sense; PRI|ERR mark a change
// the handle has not read yet.
constexpr unsigned default_poll_mask = POLLIN | POLLOUT | POLLRDNORM | POLLWRNORM;
constexpr unsigned changed_poll_mask = POLLPRI | POLLERR;

inline std::vector<std::string> split_path(const std::string &path) {
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
inline std::vector<std::string> components_below_sys(const std::string &path) {
    std::vector<std::string> parts = split_path(path);
    if (path.empty() || path[0] != '/' || parts.empty() || parts[0] != "sys") {
        throw std::invalid_argument("fake sysfs: path outside /sys: \"" + path + "\"");
    }
    parts.erase(parts.begin());
    return parts;
}

// What a read shows: the value with the newline sysfs show functions end their text with.
inline std::string shown_text(const std::string &value) {
    if (value.empty() || value.back() == '\n') {
        return value;
    }
    return value + '\n';
}

struct Handle;

// Inode numbers are never reused (0 would hide an entry from readdir; 1 is the root's).
inline uint64_t new_inode_number() {
    static std::atomic<uint64_t> next{2};
    return next++;
}

struct Node {
    enum class Kind { dir, attr, link };

    Kind kind = Kind::dir;
    // The inode number stat shows: a node made anew at the same path (a device bound
    // again) gets a new one, as kernfs gives, so an old descriptor can be told from the
    // path's current file.
    uint64_t ino = new_inode_number();
    std::string name;
    Node *parent = nullptr;                      // nullptr for the root and for removed nodes
    std::vector<std::shared_ptr<Node>> children; // creation order is readdir order
    mode_t mode = 0755;
    std::string value; // attribute value or symlink target (relative)

    // kernfs change counter; a handle that has read the current one sees no change.
    uint64_t event = 1;
    bool removed = false;
    // Where a removed node was: its parent may be gone with it while a handle keeps the
    // node itself (a write to a vanished device is still logged under its path).
    std::string removed_path;

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

    // Devices whose driver is unbound: a fresh copy of each tree, and the entries (path,
    // canonical target) that named it, by the device's canonical path.
    struct Unbound {
        std::shared_ptr<Node> copy;
        std::vector<std::pair<std::string, std::string>> entries;
    };
    std::map<std::string, Unbound> unbound;
    uint64_t total_opens = 0;
    FakeSysfs::Forward forward; // the other kernel's share of every change, if any

    void forward_change(const Node *node, const std::string *value, bool notify) const {
        if (forward) {
            forward(canonical_of(node), value, notify);
        }
    }

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

    Impl() {
        root->name = "sys";
        root->ino = 1;
    }

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
        if (node->removed) {
            return node->removed_path;
        }
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

    // A new node for every node of the tree, values, modes and hooks kept.
    std::shared_ptr<Node> fresh_copy(const Node &node, Node *parent) {
        auto copy = std::make_shared<Node>();
        copy->kind = node.kind;
        copy->name = node.name;
        copy->parent = parent;
        copy->mode = node.mode;
        copy->value = node.value;
        copy->write_hook = node.write_hook;
        copy->read_provider = node.read_provider;
        for (const auto &c : node.children) {
            copy->children.push_back(fresh_copy(*c, copy.get()));
        }
        return copy;
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
        if (node->removed) {
            return;
        }
        node->removed_path = canonical_of(node);
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

    // A client's write to a live attribute, the mount's and the other kernel's alike: the
    // value stored (a store replaces it whatever the offset; sysfs never appends), then the
    // driver model's hook without the lock, then the log entry, so a story that waits for a
    // write goes on from the state the write brought about, not from a half-done one.
    // Called with lock held on node's tree; returns the bytes taken.
    size_t write_to_live_node(std::unique_lock<std::mutex> &lock, Node &node,
                              const std::string &text) {
        const std::string stored =
            node.short_write_bytes != 0 ? text.substr(0, node.short_write_bytes) : text;
        node.value = stored;
        const std::string key = canonical_of(&node);
        const auto when = std::chrono::steady_clock::now();
        const auto hook = node.write_hook;
        if (hook) {
            lock.unlock();
            (*hook)(stored);
            lock.lock();
        }
        log_write(key, text, 0, when);
        return stored.size();
    }

    void log_write(const Node *node, const std::string &text, int error) {
        log_write(canonical_of(node), text, error, std::chrono::steady_clock::now());
    }
    void log_write(const std::string &key, const std::string &text, int error,
                   std::chrono::steady_clock::time_point when) {
        log.push_back({next_seq++, key, text, when, error});
        write_logged.notify_all();
    }

    // The canonical form of a path for matching log entries; the path itself when it does
    // not resolve (yet).
    std::string log_key(const std::string &path) const {
        const Node *node = resolve(path);
        return node != nullptr ? canonical_of(node) : path;
    }
};

} // namespace vh
