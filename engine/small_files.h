#pragma once

// The small text files beside the installation and in the caches.

#include "engine/win_handle.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace orvek {

// Trims trailing CR/LF/blanks and leading blanks, then demands 1..64
// characters of [A-Za-z0-9._-]; throws "The release version is invalid.".
std::string parse_release_version(std::string_view bytes);

// The version text in a file of at most 128 bytes; "" when missing or invalid.
std::string read_local_version(const std::filesystem::path& file);

// The whole file when it has at most 16 MiB; "" when missing or larger.
std::string read_small_file(const std::filesystem::path& file);

// Forces the file's bytes to disk; false when it cannot be opened or flushed.
bool flush_to_disk(const std::filesystem::path& file);

// Whether an atomic write forces the bytes to disk before the replace. A
// reader sees the old or the new file either way; only after a power cut can
// an unforced file be found with its new name but without its bytes.
enum class disk_flush { none, forced };

// "<file>.tmp.<pid>": where an atomic write of `file` by this process puts
// the bytes before the replace.
std::filesystem::path temporary_path(const std::filesystem::path& file);

// Writes through its temporary and MoveFileExW(REPLACE_EXISTING|WRITE_THROUGH).
void write_file_atomically(const std::filesystem::path& file, std::string_view bytes,
                           disk_flush flush = disk_flush::none);

// A read-only file can be neither deleted nor replaced. True when the
// attribute was set and is now cleared; a folder's is left alone (it does
// not keep the folder).
bool clear_read_only(const std::filesystem::path& file);
// Puts the attribute back.
void set_read_only(const std::filesystem::path& file);

// Deletes a file (or an empty folder) this program keeps, clearing its
// read-only attribute when the plain delete is refused.
// A file that is not there is no error; one that stays keeps its attributes.
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
