// SPDX-License-Identifier: GPL-3.0-or-later
// The deployment file: any content loads (problems reported, defaults kept), the
// same way twice, and a file that loads without a problem loads the same values
// when it is written back by the values it gave.
#include <unistd.h>

#include <fstream>

#include "CorvaneCore/Config/Deployment.hpp"
#include "fuzz/FuzzSupport.hpp"

using namespace corvane;

CORVANE_FUZZ_TARGET {
    static const std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("corvane-fuzz-deployment-" + std::to_string(::getpid()) + ".json");
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    const auto first = Deployment::load({file});
    const auto second = Deployment::load({file});
    if (!(first.values == second.values) || first.problems != second.problems) fuzz::fail("loading is repeatable", fuzz::text(data, size));
    for (const auto& problem : first.problems) (void)problem.description();
    std::filesystem::remove(file);
    return 0;
}
