#pragma once

// Removal of the files and folders this program keeps, read-only ones too.

#include "engine/win_handle.h"

#include <cstdint>
#include <filesystem>
#include <system_error>

namespace orvek {

// A read-only file can be neither deleted nor replaced. True when the
// attribute was set and is now cleared; a folder's is left alone (it does
// not keep the folder).
bool clear_read_only(const std::filesystem::path& file);
// Puts the attribute back.
void set_read_only(const std::filesystem::path& file);

// Deletes a file (or an empty folder) this program keeps. A read-only file,
// which the plain delete refuses, goes through open_for_removal and
// delete_opened_file, so its other names keep the attribute. A file that is
// not there is no error; one that stays keeps its attributes.
bool remove_own_file(const std::filesystem::path& file, std::error_code& error) noexcept;
void remove_own_file(const std::filesystem::path& file);

// Deletes a folder and everything in it, read-only files too; returns the
// entries removed. A link inside is removed itself and never followed.
std::uintmax_t remove_tree(const std::filesystem::path& folder);

// A file opened for its deletion (and for reading). The open is refused while
// another program holds the file without sharing its deletion; once it is
// open nobody can take the file so, and the deletion through it cannot be
// refused for that. Null (GetLastError tells why) when refused.
win_handle open_for_removal(const std::filesystem::path& file) noexcept;

// Deletes the file opened so, read-only or not; a file with other names
// leaves them with the attributes they had. False, with the error, when the
// file stays.
bool delete_opened_file(HANDLE file, std::error_code& error) noexcept;

}  // namespace orvek
