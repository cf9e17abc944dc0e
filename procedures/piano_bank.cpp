#include "procedures/piano_bank.h"

#include "engine/own_file_removal.h"
#include "engine/ranged_download.h"
#include "engine/run_state.h"
#include "engine/settings.h"
#include "engine/sha256.h"
#include "engine/small_files.h"
#include "engine/transaction.h"
#include "engine/verification_cache.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <system_error>
#include <unordered_set>

namespace orvek {

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t max_file_bytes = 1'073'741'824;
constexpr std::uint64_t max_total_bytes = 8'589'934'592;
constexpr std::size_t max_entries = 4096;
constexpr std::array<const char*, 4> metadata_files{"bank.txt", "LICENSE", "ATTRIBUTION.txt", "source.json"};

// A file name has at most 255 characters, so no usable line is longer than
// this. The bound matters: the standard library's regex matcher recurses
// once per character and overflows a thread's stack at a few thousand.
constexpr std::size_t max_line_bytes = 512;

const std::regex& manifest_line_pattern() {
    static const std::regex pattern(
        R"((bank\.txt|LICENSE|ATTRIBUTION\.txt|source\.json|Samples/[A-Za-z0-9#_-]+\.flac)\|([0-9a-f]{64})\|([1-9][0-9]*))",
        std::regex::ECMAScript);
    return pattern;
}

// "Samples/COM1.flac" would open the serial port, not a file.
bool names_device(const std::string& path) {
    return path.starts_with("Samples/") && is_device_name(std::string_view(path).substr(8));
}

std::uint64_t parse_size(const std::string& digits) {
    try {
        return std::stoull(digits);
    } catch (const std::out_of_range&) {
        // The same words on every runtime.
        throw std::out_of_range("stoull argument out of range");
    }
}

bool is_lower_hex_id(const std::string& id) {
    return id.size() == 64 &&
           std::all_of(id.begin(), id.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// A manifest path ("/"-separated) below `folder`.
fs::path bank_path(const fs::path& folder, const std::string& path) {
    return folder / fs::path(utf8_to_wide(path)).make_preferred();
}

bool is_file_of_size(const fs::path& file, std::uint64_t size) {
    std::error_code error;
    return fs::is_regular_file(file, error) && fs::file_size(file, error) == size && !error;
}

// A hard link where the volume allows one, a copy elsewhere.
void link_into_stage(const fs::path& object, const fs::path& target) {
    fs::create_directories(target.parent_path());
    remove_own_file(target);
    if (CreateHardLinkW(target.c_str(), object.c_str(), /*security*/ nullptr)) return;
    if (!CopyFileW(object.c_str(), target.c_str(), /*fail if exists*/ TRUE))
        throw fs::filesystem_error("Could not copy a piano bank file", object, target,
                                   std::error_code(static_cast<int>(GetLastError()), std::system_category()));
}

// True when every manifest path below a folder is a file of the listed size
// that verifies; the cache's root is the bank root.
struct piano_bank_complete {
    const manifest_map& manifest;
    file_checks& checks;

    bool operator()(const fs::path& folder) const {
        for (const auto& [path, entry] : manifest) {
            check_pause_cancel();
            checked_files += 1;
            const fs::path file = bank_path(folder, path);
            if (!is_file_of_size(file, entry.size) || !verify_file_cached(checks, file, entry.sha256)) return false;
        }
        return true;
    }
};

}  // namespace

manifest_map parse_piano_manifest(std::string_view bytes) {
    const std::regex& pattern = manifest_line_pattern();
    manifest_map manifest;
    std::unordered_set<std::string> lower_paths;
    std::uint64_t total = 0;

    std::size_t position = 0;
    while (position < bytes.size()) {
        const std::size_t end = std::min(bytes.find('\n', position), bytes.size());
        const std::string line(bytes.substr(position, end - position));
        position = end + 1;

        std::smatch match;
        if (line.size() > max_line_bytes || !std::regex_match(line, match, pattern) || names_device(match[1]))
            throw std::runtime_error("Invalid piano bank manifest.");
        std::string path = match[1];
        std::string lower = path;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
        if (!lower_paths.insert(std::move(lower)).second) throw std::runtime_error("Duplicate piano bank path.");

        const std::uint64_t size = parse_size(match[3]);
        if (size > max_file_bytes || size > max_total_bytes - total || manifest.size() >= max_entries)
            throw std::runtime_error("Piano bank exceeds download limits.");
        total += size;
        manifest.emplace(std::move(path), manifest_entry{line, match[2], size});
    }

    for (const char* name : metadata_files)
        if (!manifest.contains(name)) throw std::runtime_error("Piano bank license or metadata missing.");
    if (manifest.size() < metadata_files.size() + 1) throw std::runtime_error("Piano bank has no samples.");
    return manifest;
}

void update_piano_bank(const fs::path& piano_data, const fs::path& bank_root, const std::wstring& piano_releases_base) {
    const std::string id = read_local_version(piano_data / L"v");
    if (!is_lower_hex_id(id)) throw std::runtime_error("Missing piano bank release ID. Update the client first.");
    verify_file_sha256(piano_data / L"m", id, check_pause_cancel);
    const manifest_map manifest = parse_piano_manifest(read_small_file(piano_data / L"m"));

    const fs::path bank = bank_root / utf8_to_wide(id);
    file_checks checks = load_file_checks(bank_root, L"piano");
    const piano_bank_complete complete{manifest, checks};
    refuse_reparse_points(bank);

    std::error_code error;
    if (fs::exists(bank, error) && complete(bank)) {
        write_file_atomically(bank / L"ready", id);
        save_file_checks(checks);
        return;
    }

    const fs::path stage = bank_root / utf8_to_wide(".stage-" + id);
    const fs::path objects = bank_root / L"objects";
    refuse_reparse_points(stage);
    fs::create_directories(stage);
    fs::create_directories(objects);

    total_files = manifest.size();
    for (const auto& [path, entry] : manifest) total_bytes += entry.size;
    set_status(
        L"Downloading Salamander piano sounds. Pause, Resume and Cancel are available. / "
        L"دریافت صدای پیانو؛ امکان توقف و ادامه وجود دارد.");

    for (const auto& [path, entry] : manifest) {
        check_pause_cancel();
        {
            const std::lock_guard lock(state_mutex);
            current_file = utf8_to_wide(path);
        }
        const fs::path object = objects / utf8_to_wide(entry.sha256 + ".part");
        if (is_file_of_size(object, entry.size) && verify_file_cached(checks, object, entry.sha256)) {
            done_bytes += entry.size;
        } else {
            // A wrong file of the full size cannot be resumed; a shorter one can.
            if (is_file_of_size(object, entry.size)) remove_own_file(object);
            download_multipart(piano_releases_base + utf8_to_wide(id + "/" + entry.sha256), object, entry.size,
                               entry.sha256);
        }
        link_into_stage(object, bank_path(stage, path));
        finished_files += 1;
    }

    if (!complete(stage)) throw std::runtime_error("Installed piano bank integrity check failed.");
    if (fs::exists(bank, error))
        fs::rename(bank, bank_root / utf8_to_wide(".damaged-" + id + "-" + std::to_string(GetTickCount64())));
    fs::rename(stage, bank);
    write_file_atomically(bank / L"ready", id);
    save_file_checks(checks);
}

}  // namespace orvek
