// An in-memory model of the file operations the work area is built on, as Windows documents
// them: folders, files, symbolic links and junctions, read-only entries, other programs that
// hold or delete an entry, and file systems that refuse a flag. Small on purpose: it models
// these operations, not a file system. Paths are absolute, on one volume "C:".
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "acquire/file_operations.h"

namespace velbro::test {

enum class Kind { file, directory, file_link, directory_link, junction };

class FileModel final : public FileOperations {
public:
    FileModel();

    // Where this file system differs from NTFS on current Windows.
    bool refuses_dont_reparse = false;    // a file system or filter that does not know the flag
    bool refuses_disposition_ex = false;  // FAT32, many network shares, Windows before 10 1709

    // Puts an entry there as another program would (missing folders on the way are made too);
    // a link's target is a path, absolute or relative to the link's folder. Returns its node.
    int add(std::u16string_view path, Kind kind, std::uint32_t attributes = 0, std::u16string_view target = {});
    int add_in(int folder, std::u16string_view name, Kind kind);
    // What other programs do to the entry just before each of the next opens that ask to
    // delete it, one letter each: 'H' hold it without delete sharing, 'D' delete it, 'P' mark
    // it for deletion and keep it open until the next yield, '.' nothing.
    void interfere(std::u16string_view path, std::string others);

    // The entry and everything under it, one line each: path, kind, attributes, target, and
    // the descriptor it was created with by create_directory. Empty when nothing is there.
    std::string describe(std::u16string_view path) const;
    int open_handles() const { return static_cast<int>(handles_.size()); }
    int dont_reparse_refusals() const { return dont_reparse_refusals_; }

    std::uint32_t open_path(const NativePath& path, std::uint32_t access, FinalLink link,
                            FileHandle& opened) override;
    std::uint32_t open_at(FileHandle dir, std::u16string_view name, std::uint32_t access, FinalLink link,
                          bool dont_reparse, FileHandle& opened) override;
    std::uint32_t read_attributes(FileHandle entry, std::uint32_t& attributes) override;
    std::uint32_t set_attributes(FileHandle entry, std::uint32_t attributes) override;
    std::uint32_t list(FileHandle dir, bool restart, std::vector<ListedEntry>& batch) override;
    std::uint32_t mark_for_deletion(FileHandle entry, Disposition how) override;
    std::uint32_t create_directory(const NativePath& path, DirSecurity security) override;
    void close(FileHandle entry) override;
    void yield() override;

private:
    struct Node {
        std::u16string name;
        Kind kind;
        std::uint32_t attributes;
        std::u16string target;
        int parent;
        std::map<std::u16string, int> children;
        std::optional<DirSecurity> created_with;
        std::string others;
        bool gone = false;
        bool pending = false;  // its deletion is pending: it is still listed but cannot be opened
        bool delete_on_last_close = false;
        int open_handles = 0;
    };
    struct Handle {
        int node;
        std::uint32_t access;
        std::optional<Disposition> marked;
        bool dots_listed = false;
        std::optional<std::u16string> listed_up_to;
    };

    bool is_link(int node) const;
    std::uint32_t attributes_of(int node) const;
    std::u16string path_of(int node) const;
    std::uint32_t find(std::u16string_view path, int& node, int& hops) const;
    std::uint32_t follow(int& node, int& hops) const;
    char interference(int node, std::uint32_t access);
    std::uint32_t open_node(int node, std::uint32_t access, FileHandle& opened);
    Handle* handle(FileHandle entry, std::uint32_t needed, std::uint32_t& error);
    void unlink(int node);

    std::vector<Node> nodes_;
    std::map<std::uintptr_t, Handle> handles_;
    std::uintptr_t next_handle_ = 4;
    std::vector<int> pending_until_yield_;
    int dont_reparse_refusals_ = 0;
};

}  // namespace velbro::test
