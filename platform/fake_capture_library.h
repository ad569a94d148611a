#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/adapter_naming.h"
#include "platform/capture_library.h"
#include "platform/wide_adapter_list.h"

namespace korvane {

// Test double of the capture library. Each step can be made to fail; the adapter hands out
// scripted batches and keeps the filters installed on it.
class FakeCaptureLibrary final : public CaptureLibrary {
  public:
    // What the adapters opened by this library do; shared so tests can inspect it afterwards.
    struct AdapterScript {
        bool refuseHwFilter = false;
        bool refuseBuff = false;
        bool refuseTimeout = false;
        bool failStats = false;
        CaptureStats stats{0, 0};
        std::deque<std::vector<uint8_t>> batches;  // one per read; empty reads afterwards
        int failReadAt = -1;                       // index of the read that fails
        std::string errorText;                     // what ErrorText() says

        // Record.
        std::vector<uint32_t> hwFilters;
        std::vector<int> buffSizes;
        std::vector<int> timeouts;
        std::vector<std::vector<BpfInstruction>> filters;
        int reads = 0;
        bool closed = false;
        std::vector<uint8_t> openedName;
        bool openedWide = false;
    };

    std::string Unavailable() override { return unavailable; }
    std::string Version() override { return version; }
    uint32_t PlatformVersion() override { return versionWord; }
    bool GetAdapterNames(std::span<uint8_t> buffer) override {
        ++listCalls;
        listBufferSize = buffer.size();
        if (failList || adapterList.size() > buffer.size()) {
            return false;
        }
        std::copy(adapterList.begin(), adapterList.end(), buffer.begin());
        return true;
    }
    std::unique_ptr<CaptureAdapter> OpenAdapter(std::span<const uint8_t> name, bool wide) override {
        script->openedName.assign(name.begin(), name.end());
        script->openedWide = wide;
        if (failOpen || name.empty()) {
            return nullptr;
        }
        return std::make_unique<Adapter>(script);
    }
    bool AdapterNamed(std::string_view wanted, std::string_view name,
                      std::string_view description) const override {
        return npcapNaming ? NamesNpcapAdapter(wanted, name, description)
                           : CaptureLibrary::AdapterNamed(wanted, name, description);
    }
    AdapterAddressing Addressing(std::span<const uint8_t> name, bool wide) override {
        const auto found = addressing.find(DecodeAdapterName(name, wide));
        return found == addressing.end() ? AdapterAddressing{} : found->second;
    }
    std::unique_ptr<CapturePacket> AllocatePacket() override {
        if (failAllocate) {
            return nullptr;
        }
        return std::make_unique<CapturePacket>();
    }
    unsigned long LastError() override { return lastError; }

    // Builds a wide-form list: UTF-16LE names, an empty name, then 8-bit descriptions and an
    // empty one.
    static std::vector<uint8_t> WideList(const std::vector<std::string>& names,
                                         const std::vector<std::string>& descriptions) {
        std::vector<uint8_t> list;
        for (const std::string& n : names) {
            for (char c : n) {
                list.push_back(static_cast<uint8_t>(c));
                list.push_back(0);
            }
            list.insert(list.end(), {0, 0});
        }
        list.insert(list.end(), {0, 0});
        for (const std::string& d : descriptions) {
            list.insert(list.end(), d.begin(), d.end());
            list.push_back(0);
        }
        list.push_back(0);
        return list;
    }
    // Builds an 8-bit list: names, each ended by a zero byte, then an empty name.
    static std::vector<uint8_t> NarrowList(const std::vector<std::string>& names) {
        std::vector<uint8_t> list;
        for (const std::string& n : names) {
            list.insert(list.end(), n.begin(), n.end());
            list.push_back(0);
        }
        list.push_back(0);
        return list;
    }

    std::string version = "fake capture 1.0";
    std::string unavailable;            // what Unavailable() says
    uint32_t versionWord = 0x0A280105;  // NT family
    std::vector<uint8_t> adapterList = WideList({"eth9"}, {"Fake Ethernet"});
    bool failList = false;
    bool failOpen = false;
    bool failAllocate = false;
    unsigned long lastError = 2;
    // Adapters are named as Npcap's are (by name or description, in any case) instead of as
    // libpcap's on Linux (by name).
    bool npcapNaming = false;
    // The addressing of each adapter, by name; an adapter without an entry has no address.
    std::map<std::string, AdapterAddressing> addressing;
    std::shared_ptr<AdapterScript> script = std::make_shared<AdapterScript>();
    int listCalls = 0;
    size_t listBufferSize = 0;

  private:
    class Adapter final : public CaptureAdapter {
      public:
        explicit Adapter(std::shared_ptr<AdapterScript> script) : s_(std::move(script)) {}
        ~Adapter() override { s_->closed = true; }
        bool SetHwFilter(uint32_t filter) override {
            s_->hwFilters.push_back(filter);
            return !s_->refuseHwFilter;
        }
        bool SetBuff(int bytes) override {
            s_->buffSizes.push_back(bytes);
            return !s_->refuseBuff;
        }
        bool SetReadTimeout(int milliseconds) override {
            s_->timeouts.push_back(milliseconds);
            return !s_->refuseTimeout;
        }
        bool SetBpf(std::span<const BpfInstruction> program) override {
            s_->filters.emplace_back(program.begin(), program.end());
            return true;
        }
        bool ReceivePacket(CapturePacket& packet) override {
            int index = s_->reads++;
            if (index == s_->failReadAt) {
                return false;
            }
            packet.bytesReceived = 0;
            packet.inPlace = {};
            if (!s_->batches.empty()) {
                const std::vector<uint8_t>& batch = s_->batches.front();
                size_t n = std::min(batch.size(), packet.buffer.size());
                std::copy(batch.begin(), batch.begin() + static_cast<long>(n),
                          packet.buffer.begin());
                packet.bytesReceived = static_cast<uint32_t>(n);
                s_->batches.pop_front();
            }
            return true;
        }
        std::string ErrorText() const override { return s_->errorText; }
        std::optional<CaptureStats> GetStats() override {
            if (s_->failStats) {
                return std::nullopt;
            }
            return s_->stats;
        }

      private:
        std::shared_ptr<AdapterScript> s_;
    };
};

}  // namespace korvane
