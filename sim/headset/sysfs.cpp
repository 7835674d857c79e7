// SPDX-License-Identifier: MIT
#include "sysfs_impl.hpp"

namespace vh {

FakeSysfs::FakeSysfs() : impl_(std::make_unique<Impl>()) {}

FakeSysfs::~FakeSysfs() {
    unmount();
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

namespace {

bool is_below(const std::string &path, const std::string &dir) {
    return path == dir || (path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
                           path[dir.size()] == '/');
}

} // namespace

void FakeSysfs::unbind(const std::string &device) {
    std::lock_guard lock(impl_->mutex);
    Node *node = impl_->resolve_or_throw(device);
    const std::string canonical = Impl::canonical_of(node);
    if (node == impl_->root.get() || node->kind != Node::Kind::dir) {
        throw std::invalid_argument("fake sysfs: not a device directory: " + device);
    }
    Impl::Unbound gone{impl_->fresh_copy(*node, nullptr), {}};
    // The class and bus entries (links) that lead into the device go with it.
    std::vector<std::string> entry_dirs;
    for (const char *top : {"/sys/class", "/sys/bus"}) {
        const Node *dir = impl_->resolve(top);
        if (dir == nullptr) {
            continue;
        }
        for (const auto &c : dir->children) {
            const std::string sub = std::string(top) + "/" + c->name;
            entry_dirs.push_back(std::string(top) == "/sys/bus" ? sub + "/devices" : sub);
        }
    }
    for (const std::string &dir_path : entry_dirs) {
        const Node *dir = impl_->resolve(dir_path);
        if (dir == nullptr || dir->kind != Node::Kind::dir) {
            continue;
        }
        for (const auto &entry : dir->children) {
            const std::string entry_path = dir_path + "/" + entry->name;
            const Node *target =
                entry->kind == Node::Kind::link ? impl_->resolve(entry_path) : nullptr;
            if (target != nullptr && is_below(Impl::canonical_of(target), canonical)) {
                gone.entries.emplace_back(entry_path, Impl::canonical_of(target));
            }
        }
    }
    for (const auto &[entry_path, target] : gone.entries) {
        Node *entry = impl_->resolve(entry_path, false);
        impl_->mark_removed(entry);
        impl_->detach(entry);
    }
    impl_->mark_removed(node);
    impl_->detach(node);
    impl_->unbound[canonical] = std::move(gone);
}

void FakeSysfs::bind(const std::string &device) {
    std::lock_guard lock(impl_->mutex);
    auto found = impl_->unbound.find(device);
    if (found == impl_->unbound.end()) {
        // A class path names its device only while bound: find it by its entries.
        for (auto it = impl_->unbound.begin(); it != impl_->unbound.end(); ++it) {
            for (const auto &entry : it->second.entries) {
                if (entry.first == device) {
                    found = it;
                }
            }
        }
    }
    if (found == impl_->unbound.end()) {
        throw std::invalid_argument("fake sysfs: no unbound device at " + device);
    }
    const std::string canonical = found->first;
    Impl::Unbound back = std::move(found->second);
    impl_->unbound.erase(found);
    std::string leaf;
    Node *parent = impl_->parent_dir_for(canonical, leaf);
    if (Node *existing = parent->child(leaf)) {
        impl_->mark_removed(existing);
        impl_->detach(existing);
    }
    back.copy->parent = parent;
    parent->children.push_back(back.copy);
    for (const auto &[entry_path, target] : back.entries) {
        std::string entry_leaf;
        Node *entry_dir = impl_->parent_dir_for(entry_path, entry_leaf);
        impl_->insert(entry_path, Node::Kind::link, 0777,
                      impl_->relative_target(entry_dir, target));
    }
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
    impl_->forward_change(node, &value, true);
}

void FakeSysfs::set_silently(const std::string &path, const std::string &value) {
    std::lock_guard lock(impl_->mutex);
    Node *node = impl_->attribute_or_throw(path);
    node->value = value;
    impl_->forward_change(node, &value, false);
}

void FakeSysfs::notify(const std::string &path) {
    std::lock_guard lock(impl_->mutex);
    Node *node = impl_->attribute_or_throw(path);
    impl_->notify_changed(node);
    impl_->forward_change(node, nullptr, true);
}

void FakeSysfs::forward_changes(Forward forward) {
    std::lock_guard lock(impl_->mutex);
    impl_->forward = std::move(forward);
}

void FakeSysfs::client_write(const std::string &path, const std::string &text) {
    std::unique_lock lock(impl_->mutex);
    impl_->write_to_live_node(lock, *impl_->attribute_or_throw(path), text);
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
