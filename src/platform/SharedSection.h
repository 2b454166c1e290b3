#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <sys/types.h>

#include "platform/SystemError.h"

namespace veltrix::platform {

// Who may use a section besides its creator (the service). Stands in for the access list of a
// Windows file mapping: the creator always has full access.
struct SectionAccess {
    bool usersMayWrite = false;
    // The one user admitted; nothing admits every local user.
    std::optional<uid_t> user;
};

// Builds the access for an admitted user given as the textual user id (the decimal uid); an empty
// text admits every local user. Nothing when the text is not a user id.
std::optional<SectionAccess> sectionAccessFor(bool usersMayWrite, std::string_view userId);

enum class SectionMode { ReadOnly, ReadWrite };

// A named shared-memory section (an open file descriptor on Linux). Move-only.
class SectionHandle {
public:
    SectionHandle() = default;
    explicit SectionHandle(int fd) : fd_(fd) {}
    ~SectionHandle();
    SectionHandle(SectionHandle&& other) noexcept;
    SectionHandle& operator=(SectionHandle&& other) noexcept;
    SectionHandle(const SectionHandle&) = delete;
    SectionHandle& operator=(const SectionHandle&) = delete;

    bool isValid() const { return fd_ >= 0; }
    int nativeHandle() const { return fd_; }
    void reset();

    // Owner of the section object; nothing when the handle is invalid.
    std::optional<uid_t> owner() const;

private:
    int fd_ = -1;
};

// A mapped view of a section. Move-only; unmaps on destruction.
class SectionView {
public:
    SectionView() = default;
    SectionView(void* address, std::uint64_t size) : address_(address), size_(size) {}
    ~SectionView();
    SectionView(SectionView&& other) noexcept;
    SectionView& operator=(SectionView&& other) noexcept;
    SectionView(const SectionView&) = delete;
    SectionView& operator=(const SectionView&) = delete;

    bool isValid() const { return address_ != nullptr; }
    void* address() const { return address_; }
    // The size of the mapped region: a whole number of pages.
    std::uint64_t size() const { return size_; }
    void reset();

private:
    void* address_ = nullptr;
    std::uint64_t size_ = 0;
};

// Creates a new section of at least `size` bytes (zero-filled) with the access given, and puts it
// under `name` in one step, replacing whatever held the name: a section of an earlier run or
// session (whoever still holds that one keeps only the old object), or a file, folder or link that
// another account put there first. The new section is built under a private name, so nobody opens
// it before its access is set, and nothing found under the name is opened or followed. Replacing
// another account's entry needs the right to remove it (root); without it, EPERM.
SectionHandle createSection(std::string_view name, std::uint64_t size, const SectionAccess& access,
                            SystemError& error);

// Opens an existing section.
SectionHandle openSection(std::string_view name, SectionMode mode, SystemError& error);

// Maps the whole section; the view's size is the section's size rounded up to whole pages.
SectionView mapSection(const SectionHandle& section, SectionMode mode, SystemError& error);

// Replaces the access of a section this process created.
bool setSectionAccess(const SectionHandle& section, const SectionAccess& access, SystemError& error);

// Removes the section name (mappings stay valid until unmapped).
bool removeSection(std::string_view name);

// Copies `size` bytes out of a mapped section. Whoever may write a section may also shrink it,
// and touching a mapped page past the section's new end raises SIGBUS; this copy instead reports
// such pages as a failure (false; `destination` may then hold part of the bytes). Use it for every
// read of a section that another account can write.
bool copyFromSection(void* destination, const void* source, std::size_t size);

}  // namespace veltrix::platform
