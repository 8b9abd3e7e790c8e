// SPDX-License-Identifier: GPL-3.0-or-later
// The tunnel service's profile file: any content gives a list of profiles; a file
// it cannot read is put aside and the store starts empty; a list it read is read
// the same again, and a profile saved back reads back.
#include <unistd.h>

#include <fstream>

#include "CorvaneTunnel/ProfileStore.hpp"
#include "fuzz/FuzzSupport.hpp"

using namespace corvane;

CORVANE_FUZZ_TARGET {
    static const std::filesystem::path folder = [] {
        auto path = std::filesystem::temp_directory_path() / ("corvane-fuzz-profiles-" + std::to_string(::getpid()));
        std::filesystem::create_directories(path);
        return path;
    }();
    const auto file = folder / "profiles.json";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    const auto profiles = ProfileStore(file).all();
    const bool putAside = !std::filesystem::exists(file);
    if (putAside && !profiles.empty()) fuzz::fail("a file put aside gives no profiles", fuzz::text(data, size));
    if (!putAside) {
        if (ProfileStore(file).all() != profiles) fuzz::fail("reading is repeatable", fuzz::text(data, size));
        ProfileStore store(file);
        try {
            for (const auto& p : profiles) store.save(p);
        } catch (const ProfileLimitError&) {
            return 0;
        }
        // Saves of one identifier replace each other: the last one stays.
        if (!profiles.empty() && !profiles.back().identifier.empty() &&
            store.find(profiles.back().identifier) != profiles.back()) {
            fuzz::fail("a saved profile reads back", profiles.back().identifier);
        }
    }
    return 0;
}
