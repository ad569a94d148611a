#include "tests/support/wine_guard.h"

namespace korvane::testing {

namespace {
constexpr const char* kWine = "/usr/bin/wine";
}  // namespace

std::optional<WindowsBuild> FindWindowsBuild(std::string& whyNot) {
    const std::filesystem::path dir = KORVANE_WINDOWS_BUILD;
    if (dir.empty()) {
        whyNot = "no Windows build given (configure with -DKORVANE_WINDOWS_BUILD=<folder>)";
        return std::nullopt;
    }
    if (!std::filesystem::exists(kWine)) {
        whyNot = std::string(kWine) + " is not installed";
        return std::nullopt;
    }
    WindowsBuild build{dir};
    for (const std::filesystem::path& needed :
         {build.KorvaneExe(), build.InspectExe(), build.TestWpcap()}) {
        if (!std::filesystem::exists(needed)) {
            whyNot = needed.string() + " has not been built";
            return std::nullopt;
        }
    }
    return build;
}

GuardCommand WineGuard(const WindowsBuild& build, const std::filesystem::path& exe, Wpcap wpcap) {
    const char* overrides[] = {"wpcap=n", "wpcap=b", "wpcap="};
    return {kWine,
            {exe.string()},
            {"WINEPREFIX=" + (build.dir / "wine-prefix").string(), "WINEDEBUG=-all",
             std::string("WINEDLLOVERRIDES=") + overrides[static_cast<int>(wpcap)]}};
}

std::filesystem::path InstallWithTestWpcap(const WindowsBuild& build,
                                           const std::filesystem::path& dir) {
    std::filesystem::create_directories(dir);
    const auto replace = std::filesystem::copy_options::overwrite_existing;
    std::filesystem::copy_file(build.TestWpcap(), dir / "wpcap.dll", replace);
    std::filesystem::copy_file(build.KorvaneExe(), dir / "korvane.exe", replace);
    return dir / "korvane.exe";
}

}  // namespace korvane::testing
