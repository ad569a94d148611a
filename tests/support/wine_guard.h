#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "tests/support/replayed_run.h"

namespace korvane::testing {

// The Windows build of this tree, when the suite was configured with one
// (-DKORVANE_WINDOWS_BUILD=<its build folder>), run under Wine.
struct WindowsBuild {
    std::filesystem::path dir;

    std::filesystem::path KorvaneExe() const { return dir / "korvane.exe"; }
    std::filesystem::path InspectExe() const { return dir / "tools" / "korvane-inspect.exe"; }
    // The libpcap its tests load for capture files, which Wine's own wpcap.dll cannot read.
    std::filesystem::path TestWpcap() const { return dir / "tests" / "wpcap.dll"; }
};

// The Windows build, or nothing with the reason the test is skipped.
std::optional<WindowsBuild> FindWindowsBuild(std::string& whyNot);

// Which wpcap.dll korvane.exe gets under Wine.
enum class Wpcap {
    besideIt,  // one in the program's folder (Wine looks for none in the working folder)
    wines,     // Wine's, over the host's libpcap
    none,      // none at all, as on a machine without Npcap
};

// `exe` run under Wine, in the Wine prefix the Windows tests share.
GuardCommand WineGuard(const WindowsBuild& build, const std::filesystem::path& exe, Wpcap wpcap);

// Puts korvane.exe and the tests' wpcap.dll into `dir`, as an operator's folder holds the program
// and the library beside it; the copied korvane.exe.
std::filesystem::path InstallWithTestWpcap(const WindowsBuild& build,
                                           const std::filesystem::path& dir);

}  // namespace korvane::testing
