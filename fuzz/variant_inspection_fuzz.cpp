// The variant inspector: the input is a file handed to korvane-inspect. The guard's decoder
// judges it in the inspector's quiet world and the inspector lists it; whatever the bytes, the
// status must match the guard's own outcome, a file without a legal verdict must say why, and
// both outputs must come out, the JSON form as a valid document.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <span>
#include <string>

#include "fuzz/require.h"
#include "tools/inspection_json.h"
#include "tools/inspection_text.h"
#include "tools/variant_inspection.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using korvane::DecodeOutcome;
    using korvane::fuzz::Require;
    using korvane::tools::InspectionStatus;

    const korvane::tools::Inspection seen =
        korvane::tools::InspectVariant("input", std::span<const uint8_t>(data, size), size);
    const bool container = size >= 4 && std::memcmp(data, "#VBD", 4) == 0;
    const bool verdict =
        seen.outcome == DecodeOutcome::judged || seen.outcome == DecodeOutcome::oversized;
    Require((verdict && container) == (seen.status != InspectionStatus::unreadable),
            "a file is judged exactly when it is a container the guard reaches a verdict on");
    Require(seen.outcome != DecodeOutcome::oversized || !container ||
                seen.status == InspectionStatus::illegal,
            "a container with too much data is illegal");
    Require(seen.status == InspectionStatus::legal || !seen.reason.empty(),
            "a file that is not legal says why");
    Require(seen.status != InspectionStatus::legal || seen.techClass.has_value(),
            "a legal file has a tech class");
    Require(!korvane::tools::RenderText(seen).empty(), "the text form is written");
    Require(nlohmann::json::accept(korvane::tools::RenderJson({&seen, 1})),
            "the JSON form is a valid document");
    return 0;
}
