// The model's rules, each from the documentation of the call it stands for. Where the
// documentation is silent, the rule is marked "Believed", for the Windows check kit to settle.
#include "file_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

namespace velbro::test {
namespace {

constexpr std::uint32_t TOO_MANY_OPEN_FILES = 4;
constexpr std::uint32_t INVALID_HANDLE = 6;
constexpr std::uint32_t CANT_RESOLVE_FILENAME = 1921;
constexpr std::uint32_t REPARSE_POINT_ENCOUNTERED = 4395;
// Windows gives up on a name after this many links.
constexpr int MAX_LINKS = 63;
constexpr std::size_t MAX_HANDLES = 200000;
// Small, so that listings cross batch boundaries.
constexpr std::size_t BATCH_ENTRIES = 4;

std::vector<std::u16string_view> components(std::u16string_view path) {
    std::vector<std::u16string_view> parts;
    while (!path.empty()) {
        const std::size_t end = std::min(path.find_first_of(u"\\/"), path.size());
        if (end > 0) parts.push_back(path.substr(0, end));
        path.remove_prefix(std::min(end + 1, path.size()));
    }
    return parts;
}

}  // namespace

FileModel::FileModel() { nodes_.push_back(Node{u"C:", Kind::directory, 0, {}, 0, {}, {}, {}}); }

int FileModel::add_in(int folder, std::u16string_view name, Kind kind) {
    nodes_.push_back(Node{std::u16string(name), kind, 0, {}, folder, {}, {}, {}});
    const int node = static_cast<int>(nodes_.size() - 1);
    nodes_[folder].children[std::u16string(name)] = node;
    return node;
}

int FileModel::add(std::u16string_view path, Kind kind, std::uint32_t attributes, std::u16string_view target) {
    const std::vector<std::u16string_view> parts = components(path);
    int node = 0;
    for (std::size_t i = 1; i < parts.size(); ++i) {
        const auto found = nodes_[node].children.find(std::u16string(parts[i]));
        node = found != nodes_[node].children.end() ? found->second : add_in(node, parts[i], Kind::directory);
    }
    nodes_[node].kind = kind;
    nodes_[node].attributes = attributes;
    nodes_[node].target = target;
    return node;
}

void FileModel::interfere(std::u16string_view path, std::string others) {
    int node = 0;
    int hops = 0;
    ASSERT_EQ(win32::success, find(path, node, hops));
    nodes_[node].others = std::move(others);
}

bool FileModel::is_link(int node) const {
    const Kind kind = nodes_[node].kind;
    return kind == Kind::file_link || kind == Kind::directory_link || kind == Kind::junction;
}

// As a listing and FileBasicInfo show them: junctions and directory links are directories
// with the reparse attribute, a file link has the reparse attribute alone.
std::uint32_t FileModel::attributes_of(int node) const {
    const Kind kind = nodes_[node].kind;
    std::uint32_t attributes = nodes_[node].attributes;
    if (kind != Kind::file && kind != Kind::file_link) attributes |= win32::attribute_directory;
    if (is_link(node)) attributes |= win32::attribute_reparse_point;
    return attributes == 0 ? win32::attribute_normal : attributes;
}

std::u16string FileModel::path_of(int node) const {
    std::u16string path;
    for (; node != 0; node = nodes_[node].parent) path = u"\\" + nodes_[node].name + path;
    return u"C:" + path;
}

// The entry an absolute path names. Links on the way are followed; a final one is not.
std::uint32_t FileModel::find(std::u16string_view path, int& node, int& hops) const {
    const std::vector<std::u16string_view> parts = components(path);
    if (parts.empty() || parts[0] != u"C:") return win32::path_not_found;
    node = 0;
    for (std::size_t i = 1; i < parts.size(); ++i) {
        if (const std::uint32_t error = follow(node, hops)) {
            return error == win32::file_not_found ? win32::path_not_found : error;
        }
        if (parts[i] == u"..") node = nodes_[node].parent;
        if (parts[i] == u"." || parts[i] == u"..") continue;
        const auto child = nodes_[node].children.find(std::u16string(parts[i]));
        if (child == nodes_[node].children.end()) {
            return i + 1 == parts.size() ? win32::file_not_found : win32::path_not_found;
        }
        node = child->second;
    }
    return win32::success;
}

std::uint32_t FileModel::follow(int& node, int& hops) const {
    while (is_link(node)) {
        if (++hops > MAX_LINKS) return CANT_RESOLVE_FILENAME;
        const Node& link = nodes_[node];
        // A relative target (symbolic links only) is taken from the link's folder.
        const std::u16string target =
            link.target.starts_with(u"C:") ? link.target : path_of(link.parent) + u"\\" + link.target;
        if (const std::uint32_t error = find(target, node, hops)) return error;
    }
    return win32::success;
}

char FileModel::interference(int node, std::uint32_t access) {
    std::string& others = nodes_[node].others;
    // Only an open that asks for DELETE meets a holder that does not share deletion.
    if ((access & win32::delete_access) == 0 || others.empty()) return '.';
    const char now = others.front();
    others.erase(0, 1);
    if (now == 'D') unlink(node);
    if (now == 'P' && !nodes_[node].pending) {
        nodes_[node].pending = true;
        pending_until_yield_.push_back(node);
    }
    return now;
}

std::uint32_t FileModel::open_node(int node, std::uint32_t access, FileHandle& opened) {
    if (nodes_[node].gone) return win32::file_not_found;
    // STATUS_DELETE_PENDING: the name stays until the deletion is done, but it cannot be opened.
    if (nodes_[node].pending) return win32::delete_pending;
    // A removal that follows a link back into its own tree would go on for ever.
    if (handles_.size() > MAX_HANDLES) {
        ADD_FAILURE() << "more than " << MAX_HANDLES << " open handles";
        return TOO_MANY_OPEN_FILES;
    }
    ++nodes_[node].open_handles;
    handles_.emplace(next_handle_, Handle{node, access, std::nullopt, false, std::nullopt});
    opened = FileHandle(next_handle_);
    next_handle_ += 4;
    return win32::success;
}

std::uint32_t FileModel::open_path(const NativePath& path, std::uint32_t access, FinalLink link,
                                   FileHandle& opened) {
    int node = 0;
    int hops = 0;
    if (const std::uint32_t error = find(path, node, hops)) return error;
    if (interference(node, access) == 'H') return win32::sharing_violation;
    // Without FILE_FLAG_OPEN_REPARSE_POINT a final link is followed to its target.
    if (link == FinalLink::follow && !nodes_[node].gone) {
        if (const std::uint32_t error = follow(node, hops)) return error;
    }
    const std::uint32_t error = open_node(node, access, opened);
    // CreateFileW turns STATUS_DELETE_PENDING into access denied.
    return error == win32::delete_pending ? win32::access_denied : error;
}

std::uint32_t FileModel::open_at(FileHandle dir, std::u16string_view name, std::uint32_t access,
                                 FinalLink link, bool dont_reparse, FileHandle& opened) {
    std::uint32_t error = win32::success;
    const Handle* root = handle(dir, 0, error);
    if (root == nullptr) return error;
    if (dont_reparse && refuses_dont_reparse) {
        ++dont_reparse_refusals_;
        return win32::invalid_parameter;
    }
    int node = root->node;
    if (!name.empty()) {
        // A link opened as the link has no entries of its own.
        const auto child = nodes_[node].children.find(std::u16string(name));
        if (child == nodes_[node].children.end()) return win32::file_not_found;
        node = child->second;
    }
    if (interference(node, access) == 'H') return win32::sharing_violation;
    if (link == FinalLink::follow && is_link(node) && !nodes_[node].gone) {
        // OBJ_DONT_REPARSE: meeting a link while parsing the name fails the open.
        if (dont_reparse) return REPARSE_POINT_ENCOUNTERED;
        int hops = 0;
        if (const std::uint32_t followed = follow(node, hops)) return followed;
    }
    // FILE_OPEN_REPARSE_POINT: a final link is opened as the link. Believed: also when
    // OBJ_DONT_REPARSE is given with it.
    return open_node(node, access, opened);
}

FileModel::Handle* FileModel::handle(FileHandle entry, std::uint32_t needed, std::uint32_t& error) {
    const auto found = handles_.find(static_cast<std::uintptr_t>(entry));
    if (found == handles_.end()) {
        ADD_FAILURE() << "used a handle that is not open: " << static_cast<std::uintptr_t>(entry);
        error = INVALID_HANDLE;
        return nullptr;
    }
    // Each operation needs the access right it is documented with.
    if ((found->second.access & needed) != needed) {
        error = win32::access_denied;
        return nullptr;
    }
    return &found->second;
}

std::uint32_t FileModel::read_attributes(FileHandle entry, std::uint32_t& attributes) {
    std::uint32_t error = win32::success;
    const Handle* open = handle(entry, win32::read_attributes, error);
    if (open != nullptr) attributes = attributes_of(open->node);
    return error;
}

std::uint32_t FileModel::set_attributes(FileHandle entry, std::uint32_t attributes) {
    std::uint32_t error = win32::success;
    const Handle* open = handle(entry, win32::write_attributes, error);
    // FILE_BASIC_INFO: 0 leaves the attributes as they are; a kind cannot be changed.
    if (open != nullptr && attributes != 0) {
        nodes_[open->node].attributes =
            attributes & ~(win32::attribute_directory | win32::attribute_reparse_point | win32::attribute_normal);
    }
    return error;
}

std::uint32_t FileModel::list(FileHandle dir, bool restart, std::vector<ListedEntry>& batch) {
    std::uint32_t error = win32::success;
    Handle* open = handle(dir, win32::list_directory, error);
    if (open == nullptr) return error;
    const Node& node = nodes_[open->node];
    if (node.kind == Kind::file || node.kind == Kind::file_link) return win32::invalid_parameter;
    if (restart) {
        open->dots_listed = false;
        open->listed_up_to.reset();
    }
    batch.clear();
    if (!std::exchange(open->dots_listed, true)) {
        batch.push_back({u".", win32::attribute_directory});
        batch.push_back({u"..", win32::attribute_directory});
    }
    // Believed: a junction or directory link opened as the link lists as an empty folder.
    // Names deleted since the last batch are not listed again; the listing goes on after
    // the last name it gave.
    auto next = open->listed_up_to ? node.children.upper_bound(*open->listed_up_to) : node.children.begin();
    for (; next != node.children.end() && batch.size() < BATCH_ENTRIES; ++next) {
        batch.push_back({next->first, attributes_of(next->second)});
        open->listed_up_to = next->first;
    }
    return batch.empty() ? win32::no_more_files : win32::success;
}

std::uint32_t FileModel::mark_for_deletion(FileHandle entry, Disposition how) {
    std::uint32_t error = win32::success;
    Handle* open = handle(entry, win32::delete_access, error);
    if (open == nullptr) return error;
    if (how == Disposition::posix_ignoring_read_only && refuses_disposition_ex) return win32::invalid_parameter;
    Node& node = nodes_[open->node];
    // STATUS_DIRECTORY_NOT_EMPTY at once (believed for FileDispositionInfoEx too); a child
    // whose deletion is pending still counts.
    if (!node.children.empty()) return win32::dir_not_empty;
    // STATUS_CANNOT_DELETE: only the POSIX form can be told to ignore read-only.
    if (how == Disposition::on_last_close && (node.attributes & win32::attribute_read_only) != 0) {
        return win32::access_denied;
    }
    open->marked = how;
    node.pending = true;
    return win32::success;
}

void FileModel::close(FileHandle entry) {
    const auto found = handles_.find(static_cast<std::uintptr_t>(entry));
    if (found == handles_.end()) {
        ADD_FAILURE() << "closed a handle that is not open: " << static_cast<std::uintptr_t>(entry);
        return;
    }
    const Handle closed = found->second;
    handles_.erase(found);
    Node& node = nodes_[closed.node];
    // POSIX semantics: the name goes as the marking handle closes, other handles or not.
    if (closed.marked == Disposition::posix_ignoring_read_only) unlink(closed.node);
    // The plain disposition: the entry goes as its last handle closes.
    if (closed.marked) node.delete_on_last_close = true;
    if (--node.open_handles == 0 && node.delete_on_last_close) unlink(closed.node);
}

void FileModel::yield() {
    // The other program lets go of what it marked for deletion, and the entry goes.
    for (const int node : pending_until_yield_) unlink(node);
    pending_until_yield_.clear();
}

void FileModel::unlink(int node) {
    if (std::exchange(nodes_[node].gone, true)) return;
    nodes_[nodes_[node].parent].children.erase(nodes_[node].name);
}

std::uint32_t FileModel::create_directory(const NativePath& path, DirSecurity security) {
    const std::vector<std::u16string_view> parts = components(path);
    if (parts.size() < 2) return win32::path_not_found;
    const std::u16string_view name = parts.back();
    int parent = 0;
    int hops = 0;
    if (find(std::u16string_view(path).substr(0, name.data() - path.data()), parent, hops) != win32::success ||
        follow(parent, hops) != win32::success || nodes_[parent].kind != Kind::directory) {
        return win32::path_not_found;
    }
    // Whatever stands at the name, a dangling link included, stays as it is.
    const auto existing = nodes_[parent].children.find(std::u16string(name));
    if (existing != nodes_[parent].children.end()) {
        return nodes_[existing->second].pending ? win32::access_denied : win32::already_exists;
    }
    nodes_[add_in(parent, name, Kind::directory)].created_with = security;
    return win32::success;
}

std::string FileModel::describe(std::u16string_view path) const {
    static const char* const KINDS[] = {"file", "directory", "file link", "directory link", "junction"};
    int top = 0;
    int hops = 0;
    if (find(path, top, hops) != win32::success) return "";
    std::string text;
    // Without recursion: a tree may be thousands of levels deep.
    std::vector<std::pair<int, std::string>> stack{{top, to_utf8(nodes_[top].name)}};
    while (!stack.empty()) {
        const auto [node, shown] = std::move(stack.back());
        stack.pop_back();
        const Node& entry = nodes_[node];
        text += shown + ": " + KINDS[static_cast<int>(entry.kind)];
        if (entry.attributes != 0) text += ", attributes " + std::to_string(entry.attributes);
        if (!entry.target.empty()) text += " -> " + to_utf8(entry.target);
        if (entry.created_with) {
            text += entry.created_with == DirSecurity::work_dir ? ", made private" : ", made with inherited rights";
        }
        text += "\n";
        for (auto child = entry.children.rbegin(); child != entry.children.rend(); ++child) {
            stack.emplace_back(child->second, shown + "\\" + to_utf8(child->first));
        }
    }
    return text;
}

}  // namespace velbro::test
