// Placeholders for the language-file and piano-bank flows until they land.

#include "procedures/language_files.h"
#include "procedures/piano_bank.h"

namespace orvek {

void repair_language_files(const std::wstring&, const std::string&, const std::filesystem::path&,
                           const std::filesystem::path&) {}

void update_piano_bank(const std::filesystem::path&, const std::filesystem::path&, const std::wstring&) {}

}  // namespace orvek
