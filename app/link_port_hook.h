#pragma once

#include <cstdint>
#include <optional>

#include "app/filter_installer.h"
#include "capture/capture_walk.h"
#include "link/server_link.h"

namespace korvane {

// The server's side as the capture walk sees it: the program's own link, which a detected port
// connects, and the packet filters, which then follow that port.
class LinkPortHook final : public ServerPortHook {
  public:
    LinkPortHook(ServerLink& link, FilterInstaller& filters, uint32_t serverAddress)
        : link_(link), filters_(filters), serverAddress_(serverAddress) {}

    bool LinkUp() const override { return link_.linkUp(); }
    std::optional<SocketEnd> OwnEnd() const override { return link_.localEnd(); }
    bool PortDetected(uint16_t port) override {
        if (link_.ConnectToServer(port) != 0) {
            return false;
        }
        filters_.SetPortFilter(port, serverAddress_);
        return true;
    }

  private:
    ServerLink& link_;
    FilterInstaller& filters_;
    uint32_t serverAddress_;
};

}  // namespace korvane
