// A configuration file loaded, hot-updated with itself, saved and loaded again:
// what was saved (or the settings' own document) loads back the same.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "config/app_config.h"
#include "fuzz_support.h"

using kovo::config::AppConfig;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/kovo_fuzz_config." + std::to_string(getpid()) + ".json";
    const std::string text(fuzzing::Pieces(data, size).rest());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;

    AppConfig loaded;
    loaded.load(path);
    AppConfig again;
    if (!again.loadFromJson(loaded.toJson()).refused.empty() || again.toJson() != loaded.toJson()) abort();

    const nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
    if (!doc.is_object()) return 0;
    loaded.updateHotConfig(doc);
    loaded.shownSettings();
    // Sections that are not objects may refuse the save.
    if (!loaded.save(path)) return 0;
    AppConfig saved;
    saved.load(path);
    if (saved.toJson() != loaded.toJson()) abort();
    return 0;
}
