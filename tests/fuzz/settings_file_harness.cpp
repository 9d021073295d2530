// Settings files of each kind as the web UI uploads them: the first byte
// picks the kind, the rest is the file. A file that passes the check is
// applied to the records loaded from the factory database, exported, and
// the export must import again to the very same records.
#include <cstring>

#include "common.h"
#include "fileupdown.h"
#include "harness.h"
#include "platform.h"

namespace {

SETTINGS_TABLE::Sensor_settings first_s;
SETTINGS_TABLE::Admin_settings first_a;

void setup(const std::string& root) { fuzz_setup_from_factory_db(root); }

int feed(const uint8_t* data, size_t size)
{
    fuzz_restore_records();
    if (size == 0) return FUZZ_REFUSED;
    const int kind = 1 + data[0] % FILE_UPDOWN::KIND_COUNT;
    const std::string content(reinterpret_cast<const char*>(data + 1), size - 1);
    if (!FILE_UPDOWN::check_import(kind, content).empty()) return FUZZ_REFUSED;
    FILE_UPDOWN::apply_import(kind, content);
    fuzz_check_texts("settings file import");
    std::memcpy(&first_s, &sensor_settings, sizeof first_s);
    std::memcpy(&first_a, &admin_settings, sizeof first_a);

    const std::string exported = FILE_UPDOWN::export_text(kind);
    const std::string why = FILE_UPDOWN::check_import(kind, exported);
    if (!why.empty()) fuzz_fail("the export of an imported file is refused: " + why);
    FILE_UPDOWN::apply_import(kind, exported);
    if (std::memcmp(&first_s, &sensor_settings, sizeof first_s) != 0 ||
        std::memcmp(&first_a, &admin_settings, sizeof first_a) != 0)
        fuzz_fail("an imported file does not survive its own export, kind " + std::to_string(kind));
    return FUZZ_TAKEN;
}

}  // namespace

extern const FuzzHarness SETTINGS_FILE_HARNESS{"settings_file", setup, feed, 65536, true};
