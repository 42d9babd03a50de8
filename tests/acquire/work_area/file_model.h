// An in-memory model of the file operations the work area is built on, as Microsoft documents
// the calls behind them: folders, files, symbolic links and junctions, read-only entries,
// other programs that hold or delete an entry, file systems that refuse a flag. It models
// these operations, not a file system. Paths are absolute, on one volume "C:". Where the
// documentation is silent, a rule is marked "Believed" for the Windows check kit to settle.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "acquire/work_area/file_operations.h"

namespace velbro::test {

enum class Kind { file, directory, file_link, directory_link, junction };

// Names as NTFS compares them by default: ordinally, each unit upper-cased (by the volume's
// table; ASCII letters are all the names here need), whatever case they were made in.
struct NameOrder {
    bool operator()(std::u16string_view a, std::u16string_view b) const {
        const auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c; };
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                            [&](char16_t x, char16_t y) { return upper(x) < upper(y); });
    }
};

class FileModel : public FileOperations {
public:
    // Where this file system differs from NTFS on current Windows.
    bool refuses_dont_reparse = false;    // a file system or filter that does not know the flag
    bool refuses_disposition_ex = false;  // FAT32, many network shares, Windows before 10 1709
    // Undocumented: CreateDirectoryW on a link whose target is missing may follow it and make
    // the folder there. Absolute targets only.
    bool create_follows_dangling_link = false;
    int dont_reparse_refusals = 0;

    // Puts an entry at `path` as another program would, with the folders on the way. A link's
    // target is a path, absolute or relative to the link's folder.
    int add(std::u16string_view path, Kind kind, std::uint32_t attributes = 0,
            std::u16string_view target = {}) {
        int node = 0;
        for (const std::u16string_view part : parts_of(path)) {
            const auto found = nodes_[node].children.find(std::u16string(part));
            node = found != nodes_[node].children.end() ? found->second : add_in(node, part, Kind::directory);
        }
        nodes_[node].kind = kind;
        nodes_[node].attributes = attributes;
        nodes_[node].target = target;
        return node;
    }
    int add_in(int folder, std::u16string_view name, Kind kind) {
        nodes_.push_back(Node{std::u16string(name), kind, folder, static_cast<int>(nodes_.size())});
        return nodes_[folder].children[std::u16string(name)] = static_cast<int>(nodes_.size() - 1);
    }
    // A second name for the file at `existing` (a hard link): attributes belong to the file.
    void add_hard_link(std::u16string_view path, std::u16string_view existing) {
        nodes_[add(path, Kind::file)].file = nodes_[find(existing).second].file;
    }
    // A name the folder's listing gives before its real entries, as a filter might.
    void list_also(std::u16string_view folder, std::u16string name, std::uint32_t attributes) {
        nodes_[find(folder).second].listed_also.push_back({std::move(name), attributes});
    }
    // What other programs do to the entry just before each of the next opens that ask to
    // delete it, a letter each: 'H' hold it without sharing deletion, 'D' delete it, 'P' mark
    // it for deletion and keep it open until the next yield, '.' nothing.
    void interfere(std::u16string_view path, std::string others) {
        nodes_[find(path).second].others = others;
    }

    // The entry and everything under it, a line each: path, kind, attributes, target and the
    // descriptor create_directory gave it. Empty when nothing is there.
    std::string describe(std::u16string_view path) const {
        static const char* const KINDS[] = {"file", "directory", "file link", "directory link", "junction"};
        const auto [error, top] = find(path);
        std::string text;
        // No recursion: a tree may be thousands of levels deep.
        std::vector<std::pair<int, std::string>> stack;
        if (error == win32::success) stack.emplace_back(top, to_utf8(nodes_[top].name));
        while (!stack.empty()) {
            const auto [node, shown] = std::move(stack.back());
            stack.pop_back();
            const Node& entry = nodes_[node];
            text += shown + ": " + KINDS[static_cast<int>(entry.kind)];
            if (nodes_[entry.file].attributes != 0)
                text += ", attributes " + std::to_string(nodes_[entry.file].attributes);
            if (!entry.target.empty()) text += " -> " + to_utf8(entry.target);
            if (!entry.made_with.empty()) text += ", " + entry.made_with;
            text += "\n";
            for (auto child = entry.children.rbegin(); child != entry.children.rend(); ++child) {
                stack.emplace_back(child->second, shown + "\\" + to_utf8(child->first));
            }
        }
        return text;
    }
    std::size_t open_handles() const { return handles_.size(); }

    std::uint32_t open_path(const NativePath& path, std::uint32_t access, FinalLink link,
                            FileHandle& opened) override {
        auto [error, node] = find(path);
        if (error == win32::success) error = open_node(node, access, link, false, opened);
        // CreateFileW turns STATUS_DELETE_PENDING into access denied.
        return error == win32::delete_pending ? win32::access_denied : error;
    }
    std::uint32_t open_at(FileHandle dir, std::u16string_view name, std::uint32_t access, FinalLink link,
                          bool dont_reparse, FileHandle& opened) override {
        std::uint32_t error = win32::success;
        const Handle* root = handle(dir, 0, error);
        if (root == nullptr) return error;
        if (dont_reparse && refuses_dont_reparse) return ++dont_reparse_refusals, win32::invalid_parameter;
        int node = root->node;
        // An empty name opens the directory itself (believed). A link opened as the link has
        // no entries of its own.
        if (!name.empty()) {
            if (const std::uint32_t error = walk(node, name, dont_reparse)) return error;
            const auto child = nodes_[node].children.find(std::u16string(name));
            if (child == nodes_[node].children.end()) return win32::file_not_found;
            node = child->second;
        }
        return open_node(node, access, link, dont_reparse, opened);
    }
    std::uint32_t create_private_dir_at(FileHandle dir, std::u16string_view name, bool dont_reparse,
                                        FileHandle& made) override {
        std::uint32_t error = win32::success;
        const Handle* root = handle(dir, 0, error);
        if (root == nullptr) return error;
        if (dont_reparse && refuses_dont_reparse) return ++dont_reparse_refusals, win32::invalid_parameter;
        int parent = root->node;
        if ((error = walk(parent, name, dont_reparse)) != win32::success) return error;
        // FILE_CREATE with FILE_OPEN_REPARSE_POINT: whatever stands at the name collides.
        const auto existing = nodes_[parent].children.find(std::u16string(name));
        if (existing != nodes_[parent].children.end()) {
            return nodes_[existing->second].pending ? win32::access_denied : win32::already_exists;
        }
        const int node = add_in(parent, name, Kind::directory);
        nodes_[node].made_with = "private";
        return open_node(node, win32::list_directory | win32::read_attributes, FinalLink::open_link, false,
                         made);
    }
    std::uint32_t read_attributes(FileHandle entry, std::uint32_t& attributes) override {
        std::uint32_t error = win32::success;
        if (const Handle* open = handle(entry, win32::read_attributes, error))
            attributes = attributes_of(open->node);
        return error;
    }
    std::uint32_t set_attributes(FileHandle entry, std::uint32_t attributes) override {
        std::uint32_t error = win32::success;
        const Handle* open = handle(entry, win32::write_attributes, error);
        // FILE_BASIC_INFO: 0 leaves the attributes as they are; the kind bits are not set this way.
        constexpr std::uint32_t KIND = win32::attribute_directory | win32::attribute_reparse_point;
        if (open != nullptr && attributes != 0)
            nodes_[nodes_[open->node].file].attributes = attributes & ~(KIND | win32::attribute_normal);
        return error;
    }
    std::uint32_t count_names(FileHandle entry, std::uint32_t& names) override {
        std::uint32_t error = win32::success;
        if (const Handle* open = handle(entry, 0, error)) {
            names =
                static_cast<std::uint32_t>(std::count_if(nodes_.begin(), nodes_.end(), [&](const Node& n) {
                    return !n.gone && n.file == nodes_[open->node].file;
                }));
        }
        return error;
    }
    std::uint32_t list(FileHandle dir, bool restart, std::vector<ListedEntry>& batch) override {
        std::uint32_t error = win32::success;
        Handle* open = handle(dir, win32::list_directory, error);
        if (open == nullptr) return error;
        const Node& node = nodes_[open->node];
        if ((attributes_of(open->node) & win32::attribute_directory) == 0) return win32::invalid_parameter;
        if (restart) open->listed = std::nullopt;
        batch.clear();
        if (!open->listed) {
            batch = {{u".", win32::attribute_directory}, {u"..", win32::attribute_directory}};
            batch.insert(batch.end(), node.listed_also.begin(), node.listed_also.end());
            open->listed = u"";
        }
        // Believed: a junction or directory link opened as the link lists as an empty folder,
        // and a listing goes on after the last name it gave, whatever was deleted meanwhile.
        // Four entries a batch, so that listings cross batches.
        for (auto next = node.children.upper_bound(*open->listed);
             next != node.children.end() && batch.size() < 4; ++next) {
            batch.push_back({next->first, attributes_of(next->second)});
            open->listed = next->first;
        }
        return batch.empty() ? win32::no_more_files : win32::success;
    }
    std::uint32_t mark_for_deletion(FileHandle entry, Disposition how) override {
        std::uint32_t error = win32::success;
        Handle* open = handle(entry, win32::delete_access, error);
        if (open == nullptr) return error;
        if (how == Disposition::posix_ignoring_read_only && refuses_disposition_ex)
            return win32::invalid_parameter;
        Node& node = nodes_[open->node];
        // STATUS_DIRECTORY_NOT_EMPTY at once, a child whose deletion is pending included
        // (believed for FileDispositionInfoEx).
        if (!node.children.empty()) return win32::dir_not_empty;
        // STATUS_CANNOT_DELETE: only the POSIX form can be told to ignore read-only.
        if (how == Disposition::on_last_close &&
            (nodes_[node.file].attributes & win32::attribute_read_only) != 0) {
            return win32::access_denied;
        }
        open->marked = how;
        node.pending = true;
        return win32::success;
    }
    std::uint32_t create_directory(const NativePath& path) override {
        const std::vector<std::u16string_view> parts = parts_of(path);
        if (parts.empty()) return win32::path_not_found;
        auto [error, parent] = find(std::u16string_view(path).substr(0, parts.back().data() - path.data()));
        if (error == win32::success) error = follow(parent);
        if (error != win32::success || nodes_[parent].kind != Kind::directory) return win32::path_not_found;
        // Whatever stands at the name stays as it is; a dangling link too, unless this model
        // takes the pessimistic reading.
        const auto existing = nodes_[parent].children.find(std::u16string(parts.back()));
        if (existing != nodes_[parent].children.end()) {
            int target = existing->second;
            if (create_follows_dangling_link && is_link(target) && follow(target) != win32::success)
                return create_directory(nodes_[existing->second].target);
            return nodes_[existing->second].pending ? win32::access_denied : win32::already_exists;
        }
        nodes_[add_in(parent, parts.back(), Kind::directory)].made_with = "inheriting";
        return win32::success;
    }
    void close(FileHandle entry) override {
        const auto found = handles_.find(entry);
        if (found == handles_.end()) return ADD_FAILURE() << "closed a handle that is not open";
        const Handle closed = found->second;
        handles_.erase(found);
        Node& node = nodes_[closed.node];
        --node.open_handles;
        // POSIX semantics: the name goes as the marking handle closes; the plain disposition:
        // as the entry's last handle closes.
        if (closed.marked == Disposition::posix_ignoring_read_only) unlink(closed.node);
        node.deleted_on_last_close = node.deleted_on_last_close || closed.marked;
        if (node.deleted_on_last_close && node.open_handles == 0) unlink(closed.node);
    }
    void yield() override {
        // The other program lets go of what it marked for deletion, and the entry goes.
        for (const int node : std::exchange(pending_until_yield_, {})) unlink(node);
    }

private:
    struct Node {
        std::u16string name;
        Kind kind;
        int parent;
        int file;  // the node that holds the attributes: itself, or the first name of a hard link
        std::uint32_t attributes = 0;
        std::u16string target = {};
        std::map<std::u16string, int, NameOrder> children = {};
        std::vector<ListedEntry> listed_also = {};
        std::string made_with = {};  // how create_directory or create_private_dir_at made it
        std::string others = {};
        bool gone = false;
        bool pending = false;  // still listed, but cannot be opened
        bool deleted_on_last_close = false;
        int open_handles = 0;
    };
    struct Handle {
        int node;
        std::uint32_t access;
        std::optional<Disposition> marked;
        std::optional<std::u16string> listed;  // the last name listed; "" for only "." and ".."
    };

    static std::vector<std::u16string_view> parts_of(std::u16string_view path) {
        std::vector<std::u16string_view> parts;
        EXPECT_TRUE(path.starts_with(u"C:\\")) << to_utf8(path);
        for (path.remove_prefix(std::min<std::size_t>(2, path.size())); !path.empty();) {
            const std::size_t end = std::min(path.find(u'\\'), path.size());
            if (end > 0) parts.push_back(path.substr(0, end));
            path.remove_prefix(std::min(end + 1, path.size()));
        }
        return parts;
    }
    bool is_link(int node) const {
        return nodes_[node].kind != Kind::file && nodes_[node].kind != Kind::directory;
    }
    // As a listing and FileBasicInfo show them: a junction or directory link is a directory
    // with the reparse attribute, a file link has the reparse attribute alone.
    std::uint32_t attributes_of(int node) const {
        std::uint32_t attributes = nodes_[nodes_[node].file].attributes;
        if (nodes_[node].kind != Kind::file && nodes_[node].kind != Kind::file_link) {
            attributes |= win32::attribute_directory;
        }
        if (is_link(node)) attributes |= win32::attribute_reparse_point;
        return attributes == 0 ? win32::attribute_normal : attributes;
    }
    // The entry an absolute path names: links on the way are followed, a final one is not.
    std::pair<std::uint32_t, int> find(std::u16string_view path, int hops = 0) const {
        const std::vector<std::u16string_view> parts = parts_of(path);
        int node = 0;
        for (std::size_t i = 0; i < parts.size(); ++i) {
            if (follow(node, hops) != win32::success) return {win32::path_not_found, node};
            if (parts[i] == u"..") node = nodes_[node].parent;
            if (parts[i] == u"." || parts[i] == u"..") continue;
            const auto child = nodes_[node].children.find(std::u16string(parts[i]));
            if (child == nodes_[node].children.end()) {
                return {i + 1 == parts.size() ? win32::file_not_found : win32::path_not_found, node};
            }
            node = child->second;
        }
        return {win32::success, node};
    }
    // Walks a relative name to the folder of its last component, which stays in `name`, as
    // NtOpenFile parses it: component by component, following links on the way unless
    // OBJ_DONT_REPARSE makes meeting one fail.
    std::uint32_t walk(int& node, std::u16string_view& name, bool dont_reparse) const {
        for (std::size_t end; (end = name.find(u'\\')) != name.npos; name.remove_prefix(end + 1)) {
            const auto child = nodes_[node].children.find(std::u16string(name.substr(0, end)));
            if (child == nodes_[node].children.end()) return win32::path_not_found;
            node = child->second;
            if (is_link(node) && dont_reparse) return win32::reparse_point_encountered;
            if (const std::uint32_t error = follow(node)) return error;
        }
        return win32::success;
    }
    std::uint32_t follow(int& node, int hops = 0) const {
        for (; is_link(node); ++hops) {
            // Windows gives up on a name after 63 links (ERROR_CANT_RESOLVE_FILENAME).
            if (hops == 63) return 1921;
            std::u16string target = nodes_[node].target;
            // A relative target (symbolic links only) starts in the link's folder.
            for (int up = nodes_[node].parent; !target.starts_with(u"C:"); up = nodes_[up].parent) {
                target = (up == 0 ? u"C:" : nodes_[up].name) + u"\\" + target;
            }
            std::uint32_t error = win32::success;
            std::tie(error, node) = find(target, hops + 1);
            if (error != win32::success) return error;
        }
        return win32::success;
    }
    std::uint32_t open_node(int node, std::uint32_t access, FinalLink link, bool dont_reparse,
                            FileHandle& opened) {
        std::string& others = nodes_[node].others;
        // Only an open that asks for DELETE meets a holder that does not share deletion.
        const bool met = (access & win32::delete_access) != 0 && !others.empty();
        const char now = met ? others[0] : '.';
        if (met) others.erase(0, 1);
        if (now == 'H') return win32::sharing_violation;
        if (now == 'D') unlink(node);
        if (now == 'P' && !nodes_[node].pending)
            pending_until_yield_.push_back(node), nodes_[node].pending = true;
        if (nodes_[node].gone) return win32::file_not_found;
        if (link == FinalLink::follow && is_link(node)) {
            // OBJ_DONT_REPARSE: meeting a link while parsing the name fails the open.
            if (dont_reparse) return win32::reparse_point_encountered;
            if (const std::uint32_t error = follow(node)) return error;
        }
        // FILE_OPEN_REPARSE_POINT opens a final link as the link; believed: also with
        // OBJ_DONT_REPARSE. STATUS_DELETE_PENDING: the name stays, but cannot be opened.
        if (nodes_[node].pending) return win32::delete_pending;
        // A removal that followed a link back into its own tree would go on for ever.
        if (handles_.size() > 200000) return ADD_FAILURE() << "too many open handles", 4;
        ++nodes_[node].open_handles;
        opened = FileHandle(next_handle_ += 4);
        handles_.emplace(opened, Handle{node, access, std::nullopt, std::nullopt});
        return win32::success;
    }
    // The open entry, if it was opened with the `needed` access the operation is documented with.
    Handle* handle(FileHandle entry, std::uint32_t needed, std::uint32_t& error) {
        const auto found = handles_.find(entry);
        if (found == handles_.end())
            return ADD_FAILURE() << "used a handle that is not open", error = 6, nullptr;
        if ((found->second.access & needed) != needed) return error = win32::access_denied, nullptr;
        return &found->second;
    }
    void unlink(int node) {
        if (!std::exchange(nodes_[node].gone, true))
            nodes_[nodes_[node].parent].children.erase(nodes_[node].name);
    }

    std::vector<Node> nodes_{Node{u"C:", Kind::directory, 0, 0}};
    std::map<FileHandle, Handle> handles_;
    std::uintptr_t next_handle_ = 0;
    std::vector<int> pending_until_yield_;
};

}  // namespace velbro::test
