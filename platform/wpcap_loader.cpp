#include <windows.h>

#include <memory>
#include <string>

#include "platform/pcap_functions.h"

namespace korvane {

namespace {

struct LibraryFreer {
    void operator()(HMODULE module) const { FreeLibrary(module); }
};
using LoadedLibrary = std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryFreer>;

// Npcap installs its wpcap.dll, and the Packet.dll it needs, in a folder of its own under the
// system directory; WinPcap and Npcap in its compatible mode put them in the system directory.
LoadedLibrary LoadWpcap() {
    wchar_t system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        std::wstring path = std::wstring(system, length) + L"\\Npcap\\wpcap.dll";
        // The altered search path finds Packet.dll beside it.
        if (HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)) {
            return LoadedLibrary(module);
        }
    }
    // The program's own folder and the system directories, not the working folder or PATH: the
    // guard runs as administrator in a folder others may write to.
    if (HMODULE module = LoadLibraryExW(L"wpcap.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)) {
        return LoadedLibrary(module);
    }
    if (GetLastError() != ERROR_INVALID_PARAMETER) {
        return nullptr;
    }
    // A Windows 7 without the update that brought the flag searches the default path.
    return LoadedLibrary(LoadLibraryW(L"wpcap.dll"));
}

template <typename Function>
bool Find(HMODULE module, const char* name, Function& slot, std::string& missing) {
    slot = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (slot == nullptr) {
        if (!missing.empty()) {
            missing += ", ";
        }
        missing += name;
        return false;
    }
    return true;
}

// The library once loaded, or why it could not be.
struct Wpcap {
    LoadedLibrary library;
    PcapFunctions functions;
    std::string failure;
};

Wpcap Load() {
    Wpcap w;
    w.library = LoadWpcap();
    if (w.library == nullptr) {
        w.failure = "the packet capture library wpcap.dll could not be loaded (error " +
                    std::to_string(GetLastError()) + "); install Npcap from npcap.com";
        return w;
    }
    HMODULE m = w.library.get();
    PcapFunctions& f = w.functions;
    std::string missing;
    // Every lookup runs, so that the message names each missing call.
    bool found = Find(m, "pcap_lib_version", f.libVersion, missing);
    found &= Find(m, "pcap_findalldevs", f.findAllDevs, missing);
    found &= Find(m, "pcap_freealldevs", f.freeAllDevs, missing);
    found &= Find(m, "pcap_create", f.create, missing);
    found &= Find(m, "pcap_set_snaplen", f.setSnaplen, missing);
    found &= Find(m, "pcap_set_promisc", f.setPromisc, missing);
    found &= Find(m, "pcap_set_timeout", f.setTimeout, missing);
    found &= Find(m, "pcap_set_buffer_size", f.setBufferSize, missing);
    found &= Find(m, "pcap_activate", f.activate, missing);
    found &= Find(m, "pcap_datalink", f.datalink, missing);
    found &= Find(m, "pcap_setfilter", f.setFilter, missing);
    found &= Find(m, "pcap_dispatch", f.dispatch, missing);
    found &= Find(m, "pcap_breakloop", f.breakLoop, missing);
    found &= Find(m, "pcap_setnonblock", f.setNonblock, missing);
    found &= Find(m, "pcap_stats", f.stats, missing);
    found &= Find(m, "pcap_geterr", f.getErr, missing);
    found &= Find(m, "pcap_statustostr", f.statusToStr, missing);
    found &= Find(m, "pcap_close", f.close, missing);
    found &= Find(m, "pcap_open_offline", f.openOffline, missing);
    found &= Find(m, "pcap_next_ex", f.nextEx, missing);
    found &= Find(m, "bpf_filter", f.filter, missing);
    found &= Find(m, "bpf_validate", f.validate, missing);
    found &= Find(m, "pcap_datalink_val_to_name", f.datalinkName, missing);
    found &= Find(m, "pcap_datalink_val_to_description", f.datalinkDescription, missing);
    if (!found) {
        w.failure = "the packet capture library wpcap.dll lacks " + missing +
                    "; install a current Npcap from npcap.com";
    }
    return w;
}

}  // namespace

const PcapFunctions* SystemPcapFunctions(std::string& reason) {
    // A loaded library belongs to the whole process; it is looked for once and stays loaded
    // until the process ends.
    static const Wpcap wpcap = Load();
    if (!wpcap.failure.empty()) {
        reason = wpcap.failure;
        return nullptr;
    }
    return &wpcap.functions;
}

}  // namespace korvane
