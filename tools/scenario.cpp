#include "tools/scenario.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <queue>
#include <random>
#include <set>
#include <sstream>

#include "tools/session_builder.h"
#include "tools/variant_builder.h"
#include "tools/whole_file.h"

namespace korvane::tools {

namespace {

constexpr uint64_t kMicrosPerSecond = 1'000'000;
constexpr uint64_t kSplitGapMicros = 1'000;
constexpr uint64_t kUploadGapMicros = 1'000;   // between the messages of an upload
constexpr uint64_t kSegmentGapMicros = 1'000;  // between the frames of a line with segment options
// The largest container an upload line may ask for with size=.
constexpr uint64_t kMaxUploadSize = 16 * 1024 * 1024;
constexpr uint64_t kLatestStamp = 0xFFFFFFFFull * kMicrosPerSecond + 999'999;
// Room for the largest payload in one IPv4 packet with a timestamp option.
constexpr size_t kMaxPayload = 0xFFFF - 20 - 20 - 12;
constexpr uint64_t kMaxRepeat = 10'000'000;
constexpr uint64_t kMaxAhead = 0x7FFFFFFF;  // half the sequence space
// Included files within included files, at most this deep (an include loop ends there).
constexpr int kMaxIncludeDepth = 8;

struct Token {
    size_t position = 0;
    std::string_view text;
};

std::vector<Token> Tokens(std::string_view line) {
    std::vector<Token> tokens;
    size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) {
            ++at;
        }
        size_t end = at;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t') {
            ++end;
        }
        if (end > at) {
            tokens.push_back({at, line.substr(at, end - at)});
        }
        at = end;
    }
    return tokens;
}

bool AllDigits(std::string_view text) {
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return !text.empty();
}

// <seconds>[.<up to six digits>] as microseconds.
std::optional<uint64_t> ParseTime(std::string_view text) {
    size_t dot = text.find('.');
    std::string_view whole = text.substr(0, dot);
    std::string_view fraction = dot == std::string_view::npos ? "" : text.substr(dot + 1);
    if (!AllDigits(whole) || whole.size() > 10 ||
        (dot != std::string_view::npos && (!AllDigits(fraction) || fraction.size() > 6))) {
        return std::nullopt;
    }
    uint64_t seconds = 0;
    std::from_chars(whole.data(), whole.data() + whole.size(), seconds);
    uint64_t micros = 0;
    if (!fraction.empty()) {
        std::from_chars(fraction.data(), fraction.data() + fraction.size(), micros);
        for (size_t digits = fraction.size(); digits < 6; ++digits) {
            micros *= 10;
        }
    }
    uint64_t stamp = seconds * kMicrosPerSecond + micros;
    if (seconds > 0xFFFFFFFFull) {
        return std::nullopt;
    }
    return stamp;
}

std::optional<uint32_t> ParseHexId(std::string_view text) {
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 8) {
        return std::nullopt;
    }
    uint32_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<uint8_t> ParseByteNumber(std::string_view text) {
    unsigned value = 0;
    if (!AllDigits(text) || text.size() > 3) {
        return std::nullopt;
    }
    std::from_chars(text.data(), text.data() + text.size(), value);
    if (value > 255) {
        return std::nullopt;
    }
    return static_cast<uint8_t>(value);
}

// A decimal number of at most `maximum`.
std::optional<uint64_t> ParseDecimal(std::string_view text, uint64_t maximum) {
    uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (!AllDigits(text) || error != std::errc() || value > maximum) {
        return std::nullopt;
    }
    return value;
}

// Comma-separated items, each handed to `item`; false when there is an empty one.
template <typename Item>
bool ForEachListed(std::string_view text, Item item) {
    while (true) {
        size_t comma = text.find(',');
        if (!item(text.substr(0, comma))) {
            return false;
        }
        if (comma == std::string_view::npos) {
            return true;
        }
        text.remove_prefix(comma + 1);
    }
}

std::optional<std::vector<uint8_t>> ParseHexBytes(std::string_view text) {
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        uint8_t value = 0;
        auto [end, error] = std::from_chars(text.data() + i, text.data() + i + 2, value, 16);
        if (error != std::errc() || end != text.data() + i + 2) {
            return std::nullopt;
        }
        bytes.push_back(value);
    }
    return bytes;
}

// The options a kind takes besides split, reverse and tsopt, and which of them it needs.
struct KindRule {
    std::set<std::string_view> allowed;
    std::set<std::string_view> required;
};

const std::map<std::string_view, KindRule>& KindRules() {
    static const std::map<std::string_view, KindRule> rules = {
        {"connect", {{"id"}, {}}},
        {"create", {{"id", "name"}, {"id", "name"}}},
        {"delete", {{"id"}, {"id"}}},
        {"chat", {{"sender", "receiver", "field", "text"}, {"sender", "receiver", "text"}}},
        {"game", {{"sender", "receiver", "type", "hex", "pad"}, {"sender", "receiver", "type"}}},
        {"raw", {{"hex", "pad"}, {"hex"}}},
        {"syn", {{}, {}}},
        {"synack", {{}, {}}},
        {"ack", {{}, {}}},
        {"rst", {{}, {}}},
        {"fin", {{}, {}}},
        {"info", {{"sender", "text"}, {"sender", "text"}}},
        {"stock", {{"sender", "chassis"}, {"sender", "chassis"}}},
        {"random", {{"seed", "maxbytes"}, {"seed"}}},
        {"upload",
         {{"sender", "seq", "chassis", "components", "pieces", "piecebytes", "order", "size",
           "name"},
          {"sender", "seq", "chassis", "name"}}},
    };
    return rules;
}

// The kinds without payload and the TCP flags they write.
const std::map<std::string_view, uint8_t>& BareKinds() {
    static const std::map<std::string_view, uint8_t> kinds = {
        {"syn", kTcpSyn},           {"synack", kTcpSyn | kTcpAck}, {"ack", kTcpAck},
        {"rst", kTcpRst | kTcpAck}, {"fin", kTcpFin | kTcpAck},
    };
    return kinds;
}

// What an error calls the frame of a kind without payload.
std::string BareName(std::string_view kind) {
    if (kind == "synack") {
        return "a bare SYN-ACK";
    }
    if (kind == "ack") {
        return "a bare ACK";
    }
    if (kind == "rst") {
        return "an RST";
    }
    if (kind == "fin") {
        return "a FIN";
    }
    return "a bare SYN";
}

// Whether copies of a repeated line count the destination up instead of the source: a SYN-ACK
// goes from the server to each of the clients.
bool CountsDestination(const ScenarioEvent& event) {
    return event.kind == "synack";
}

class LineParser {
  public:
    LineParser(const std::string& fileName, int line) : fileName_(fileName), line_(line) {}

    [[noreturn]] void Fail(const std::string& what) const {
        throw ScenarioError(fileName_ + ":" + std::to_string(line_) + ": " + what);
    }

    uint32_t Id(const std::map<std::string_view, std::string_view>& values,
                std::string_view key) const {
        auto found = values.find(key);
        if (found == values.end()) {
            return 0;
        }
        auto id = ParseHexId(found->second);
        if (!id) {
            Fail(std::string(key) + "= needs a hexadecimal number of up to 8 digits, not '" +
                 std::string(found->second) + "'");
        }
        return *id;
    }

    uint8_t Byte(const std::map<std::string_view, std::string_view>& values,
                 std::string_view key) const {
        auto found = values.find(key);
        if (found == values.end()) {
            return 0;
        }
        auto value = ParseByteNumber(found->second);
        if (!value) {
            Fail(std::string(key) + "= needs a decimal number 0 to 255, not '" +
                 std::string(found->second) + "'");
        }
        return *value;
    }

    // A decimal option from `minimum` to `maximum`; `absent` when it is not given.
    uint64_t Decimal(const std::map<std::string_view, std::string_view>& values,
                     std::string_view key, uint64_t minimum, uint64_t maximum, uint64_t absent = 0,
                     const std::string& why = "") const {
        auto found = values.find(key);
        if (found == values.end()) {
            return absent;
        }
        auto value = ParseDecimal(found->second, maximum);
        if (!value || *value < minimum) {
            Fail(std::string(key) + "= needs a decimal number " + std::to_string(minimum) + " to " +
                 std::to_string(maximum) + why + ", not '" + std::string(found->second) + "'");
        }
        return *value;
    }

    // The bytes of hex=, then as many zero bytes as pad= asks for.
    std::vector<uint8_t> Hex(const std::map<std::string_view, std::string_view>& values) const {
        std::vector<uint8_t> bytes;
        if (auto found = values.find("hex"); found != values.end()) {
            auto parsed = ParseHexBytes(found->second);
            if (!parsed) {
                Fail("hex= needs pairs of hexadecimal digits, not '" + std::string(found->second) +
                     "'");
            }
            bytes = std::move(*parsed);
        }
        bytes.resize(bytes.size() + Decimal(values, "pad", 0, kMaxPayload));
        return bytes;
    }

  private:
    const std::string& fileName_;
    int line_;
};

std::vector<uint8_t> MessageFor(const LineParser& parser, std::string_view kind,
                                const std::map<std::string_view, std::string_view>& values) {
    auto text = [&](std::string_view key) { return values.at(key); };
    if (kind == "connect") {
        return BuildConnectMessage(parser.Id(values, "id"));
    }
    if (kind == "create") {
        return BuildCreationMessage(parser.Id(values, "id"), text("name"));
    }
    if (kind == "delete") {
        return BuildDeletionMessage(parser.Id(values, "id"));
    }
    if (kind == "chat") {
        return BuildChatMessage(parser.Id(values, "sender"), parser.Id(values, "receiver"),
                                parser.Byte(values, "field"), text("text"));
    }
    if (kind == "game") {
        return BuildGameMessage(parser.Id(values, "sender"), parser.Id(values, "receiver"),
                                parser.Byte(values, "type"), parser.Hex(values));
    }
    if (kind == "raw") {
        std::vector<uint8_t> payload = parser.Hex(values);
        if (payload.empty()) {
            parser.Fail("raw needs at least one byte in hex=");
        }
        return payload;
    }
    if (kind == "info") {
        return BuildInfoMessage(parser.Id(values, "sender"), text("text"));
    }
    if (kind == "stock") {
        return BuildStockSelection(parser.Id(values, "sender"), parser.Id(values, "chassis"));
    }
    return {};  // syn
}

std::vector<ComponentSpec> ComponentsFor(
    const LineParser& parser, const std::map<std::string_view, std::string_view>& values) {
    std::vector<ComponentSpec> components;
    auto found = values.find("components");
    if (found == values.end() || found->second.empty()) {
        return components;
    }
    bool valid = ForEachListed(found->second, [&](std::string_view item) {
        size_t colon = item.find(':');
        auto id = ParseDecimal(item.substr(0, colon), 0xFFFF);
        ComponentSpec component;
        if (!id) {
            return false;
        }
        component.id = static_cast<uint16_t>(*id);
        if (colon != std::string_view::npos) {
            auto length = ParseDecimal(item.substr(colon + 1), 0x7FFF);
            if (!length || *length < static_cast<uint64_t>(kMinComponentLength)) {
                return false;
            }
            component.length = static_cast<int16_t>(*length);
        }
        components.push_back(component);
        return true;
    });
    if (!valid) {
        parser.Fail("components= needs <id>[:<length>],... with ids 0 to 65535 and lengths " +
                    std::to_string(kMinComponentLength) + " to 32767, not '" +
                    std::string(found->second) + "'");
    }
    return components;
}

// The messages of an upload in the order they are sent.
std::vector<std::vector<uint8_t>> UploadFor(
    const LineParser& parser, const std::map<std::string_view, std::string_view>& values,
    bool deferReset) {
    VariantSpec variant;
    variant.chassisId = parser.Id(values, "chassis");
    variant.components = ComponentsFor(parser, values);
    variant.name = std::string(values.at("name"));
    variant.lzw.deferReset = deferReset;
    if (variant.name.size() > kMaxVariantNameLength) {
        parser.Fail("name= takes at most " + std::to_string(kMaxVariantNameLength) +
                    " characters, not " + std::to_string(variant.name.size()));
    }
    const size_t natural = BuildVariant(variant).size();
    variant.totalSize = parser.Decimal(values, "size", natural, kMaxUploadSize, 0,
                                       " (from the variant's own size)");
    std::vector<uint8_t> container = BuildVariant(variant);

    if (values.contains("pieces") && values.contains("piecebytes")) {
        parser.Fail("pieces= and piecebytes= do not go together");
    }
    const size_t pieces =
        parser.Decimal(values, "pieces", 2, container.size(), 0,
                       " (the container is " + std::to_string(container.size()) + " bytes)");
    const size_t pieceBytes = parser.Decimal(values, "piecebytes", 1, kMaxPayload, 1000);
    const auto sequence = static_cast<uint16_t>(parser.Decimal(values, "seq", 0, 0xFFFF));
    std::vector<std::vector<uint8_t>> messages =
        UploadMessages(parser.Id(values, "sender"), sequence, container, pieceBytes, pieces);

    auto found = values.find("order");
    if (found == values.end()) {
        return messages;
    }
    std::vector<size_t> order;
    bool valid = ForEachListed(found->second, [&](std::string_view item) {
        auto index = ParseDecimal(item, messages.size() - 1);
        if (index) {
            order.push_back(*index);
        }
        return index.has_value();
    });
    std::set<size_t> distinct(order.begin(), order.end());
    if (!valid || order.size() != messages.size() || distinct.size() != messages.size()) {
        parser.Fail("order= needs each message index 0 to " + std::to_string(messages.size() - 1) +
                    " once (the upload has " + std::to_string(messages.size()) +
                    " messages), not '" + std::string(found->second) + "'");
    }
    std::vector<std::vector<uint8_t>> ordered;
    for (size_t index : order) {
        ordered.push_back(messages[index]);
    }
    return ordered;
}

// A line with every "${name}" replaced by its value.
std::string Substituted(std::string_view line, const ScenarioVariables& variables,
                        const LineParser& parser) {
    std::string out;
    while (true) {
        const size_t open = line.find("${");
        if (open == std::string_view::npos) {
            out += line;
            return out;
        }
        const size_t close = line.find('}', open);
        if (close == std::string_view::npos) {
            parser.Fail("'${' without its '}'");
        }
        const std::string_view name = line.substr(open + 2, close - open - 2);
        auto found = variables.find(name);
        if (found == variables.end()) {
            parser.Fail("${" + std::string(name) + "} is not set (korvane-mkcap --set " +
                        std::string(name) + "=<value>)");
        }
        out += line.substr(0, open);
        out += found->second;
        line.remove_prefix(close + 1);
    }
}

// The payload of copy `index` of an event.
std::vector<uint8_t> CopyPayload(const ScenarioEvent& event, uint64_t index, std::mt19937_64& rng) {
    if (event.random) {
        const RandomPayload& random = *event.random;
        const size_t least = random.framed ? kGameHeaderLength : 1;
        const size_t length = least + rng() % (random.maxBytes - least + 1);
        std::vector<uint8_t> payload(length);
        for (uint8_t& byte : payload) {
            byte = static_cast<uint8_t>(rng());
        }
        if (random.framed) {
            const std::vector<uint8_t> header =
                BuildGameMessage(static_cast<uint32_t>(rng()), 1, static_cast<uint8_t>(rng()),
                                 std::span<const uint8_t>(payload).subspan(kGameHeaderLength));
            return header;
        }
        return payload;
    }
    std::vector<uint8_t> payload = event.payload;
    if (event.step) {
        const size_t at = *event.step;
        const auto value = static_cast<uint16_t>(payload[at] + (payload[at + 1] << 8) + index);
        payload[at] = static_cast<uint8_t>(value);
        payload[at + 1] = static_cast<uint8_t>(value >> 8);
    }
    return payload;
}

// How a line asks its stream of bytes to be cut and written (see scenario.h).
struct SegmentOptions {
    bool coalesce = false;
    bool with = false;
    size_t mss = 0;  // 0: not given
    size_t skip = 0;
    std::optional<std::string_view> segorder;
    std::optional<std::string_view> retransmit;
    std::optional<std::string_view> lose;

    bool Any() const {
        return coalesce || with || mss != 0 || skip != 0 || segorder || retransmit || lose;
    }
};

// The checksum and fragment options of a line (see scenario.h).
struct FrameOptions {
    std::optional<std::string_view> badsum;
    std::optional<std::string_view> decoy;
    std::optional<std::string_view> frag;
    bool pseudosum = false;

    bool Any() const { return badsum || decoy || frag || pseudosum; }
};

// The TCP header options and the checksum and fragment options, which every kind takes.
const std::set<std::string_view>& FrameKeys() {
    static const std::set<std::string_view> keys = {"ack",    "seqshift", "window", "wscale",
                                                    "badsum", "decoy",    "frag"};
    return keys;
}

// The frames one segment entry writes.
uint64_t FramesOf(const ScenarioSegment& segment) {
    return segment.fragmentBytes == 0 || segment.fragmentForm == FragmentForm::first ? 1 : 2;
}

// The time of the last frame the entries write.
uint64_t LastFrameMicros(const std::vector<ScenarioSegment>& segments, uint64_t otherwise) {
    if (segments.empty()) {
        return otherwise;
    }
    return segments.back().micros + (FramesOf(segments.back()) - 1) * kSegmentGapMicros;
}

const std::set<std::string_view>& SegmentKeys() {
    static const std::set<std::string_view> keys = {"mss", "skip", "segorder", "retransmit",
                                                    "lose"};
    return keys;
}

// The segments the stream of `messages` is cut into, in the order of their bytes, each with
// its offset and length: at message boundaries (and split= within each longer message), or
// every `mss` bytes, or not at all; the first `skip` bytes left out.
std::vector<std::pair<size_t, size_t>> CutStream(const std::vector<std::vector<uint8_t>>& messages,
                                                 size_t split, const SegmentOptions& options) {
    size_t total = 0;
    std::set<size_t> boundaries;
    for (const auto& message : messages) {
        if (!options.coalesce && options.mss == 0) {
            if (split != 0 && message.size() > split) {
                boundaries.insert(total + split);
            }
            if (total != 0) {
                boundaries.insert(total);
            }
        }
        total += message.size();
    }
    if (options.mss != 0) {
        for (size_t at = options.skip + options.mss; at < total; at += options.mss) {
            boundaries.insert(at);
        }
    }
    std::vector<std::pair<size_t, size_t>> cuts;
    size_t start = options.skip;
    for (size_t boundary : boundaries) {
        if (boundary > start) {
            cuts.emplace_back(start, boundary - start);
            start = boundary;
        }
    }
    cuts.emplace_back(start, total - start);
    return cuts;
}

// The segments an event without the segment options writes, as the frame maker writes them.
std::vector<ScenarioSegment> PlainSegments(const ScenarioEvent& event) {
    if (event.split == 0) {
        return {{event.micros, 0, event.payload.size(), false}};
    }
    const ScenarioSegment head{event.micros, 0, event.split, false};
    const ScenarioSegment tail{event.micros + kSplitGapMicros, event.split,
                               event.payload.size() - event.split, false};
    if (event.reverse) {
        return {{event.micros, tail.offset, tail.length, false},
                {tail.micros, head.offset, head.length, false}};
    }
    return {head, tail};
}

// Reads the lines of a scenario and hands each event to `take` as soon as its line is read, so
// that a long scenario need not be held whole.
class ScenarioReader {
  public:
    using Take = std::function<void(ScenarioEvent&&)>;

    ScenarioReader(const ScenarioVariables& variables, Take take)
        : variables_(variables), take_(std::move(take)) {}

    void Read(std::string_view text, const std::string& fileName, int depth);
    // The same for the lines of a stream, read one at a time.
    void Read(std::istream& in, const std::string& fileName, int depth);

  private:
    void ReadLine(std::string_view line, const std::string& fileName, int lineNumber, int depth);
    void Repeat(ScenarioEvent& event, const LineParser& parser,
                const std::map<std::string_view, std::string_view>& values);
    // Reads ack=, seqshift=, window=, wscale=, badsum=, decoy= and frag= into the event and
    // `frameOptions`; the length of the TCP header the event's segments get.
    static size_t HeaderOptions(const LineParser& parser, ScenarioEvent& event,
                                const std::map<std::string_view, std::string_view>& values,
                                FrameOptions& frameOptions);
    // The frames of a line with segment options, or checksum and fragment options.
    std::vector<ScenarioSegment> Segments(const LineParser& parser, uint64_t micros,
                                          const std::vector<std::vector<uint8_t>>& messages,
                                          size_t split, const SegmentOptions& options, bool reverse,
                                          const FrameOptions& frameOptions,
                                          size_t tcpHeaderLength) const;
    void SegmentedLine(const LineParser& parser, ScenarioEvent&& event,
                       const std::vector<std::vector<uint8_t>>& messages,
                       std::optional<std::string_view> splitText, const SegmentOptions& options,
                       const FrameOptions& frameOptions, size_t tcpHeaderLength,
                       const std::map<std::string_view, std::string_view>& values);
    // Hands an event on once the next line is known not to join it (see `with`).
    void Emit(ScenarioEvent&& event);
    // Puts the event's bytes into the held event's last segment and after it.
    void Join(ScenarioEvent&& event, const LineParser& parser);
    void Flush();

    const ScenarioVariables& variables_;
    Take take_;
    std::optional<uint64_t> base_;
    uint64_t latest_ = 0;  // time of the latest frame so far
    std::optional<ScenarioEvent> held_;
};

void ScenarioReader::Emit(ScenarioEvent&& event) {
    Flush();
    held_ = std::move(event);
}

void ScenarioReader::Flush() {
    if (held_) {
        ScenarioEvent event = std::move(*held_);
        held_.reset();
        take_(std::move(event));
    }
}

void ScenarioReader::Join(ScenarioEvent&& event, const LineParser& parser) {
    if (!held_ || held_->flags != 0 || held_->repeat != 0 || held_->random) {
        parser.Fail("with needs a line before it whose message it can join");
    }
    ScenarioEvent& before = *held_;
    const bool plainSegments =
        !before.segments ||
        std::all_of(
            before.segments->begin(), before.segments->end(), [](const ScenarioSegment& segment) {
                return segment.checksum == TcpChecksum::correct && segment.fragmentBytes == 0;
            });
    if (!plainSegments || before.acknowledgement || before.sequenceShift != 0 ||
        before.window != FrameSpec{}.window) {
        parser.Fail("with needs a line before it without TCP header, checksum or fragment options");
    }
    if (before.source != event.source || before.destination != event.destination) {
        parser.Fail("with needs the line before it on the same flow (source and destination)");
    }
    if (before.tsopt != event.tsopt) {
        parser.Fail("with needs tsopt on both lines or on neither");
    }
    std::vector<ScenarioSegment> joined =
        before.segments ? *before.segments : PlainSegments(before);
    if (joined.empty() || joined.back().otherBytes ||
        joined.back().offset + joined.back().length != before.payload.size()) {
        parser.Fail("with needs the last segment the line before writes to end its bytes");
    }
    const std::vector<ScenarioSegment>& after = *event.segments;
    if (after.empty() || after.front().offset != 0) {
        parser.Fail("with needs the first segment this line writes to start its bytes");
    }
    joined.back().length += after.front().length;
    joined.back().micros = after.front().micros;
    if (joined.back().length > kMaxPayload) {
        parser.Fail("joined segment of " + std::to_string(joined.back().length) +
                    " bytes does not fit one IPv4 packet");
    }
    for (size_t i = 1; i < after.size(); ++i) {
        ScenarioSegment segment = after[i];
        segment.offset += before.payload.size();
        joined.push_back(segment);
    }
    before.payload.insert(before.payload.end(), event.payload.begin(), event.payload.end());
    before.segments = std::move(joined);
    before.split = 0;
    before.reverse = false;
}

// Distinct segment numbers below `count`, each with whether ":other" followed it (only where
// `other` is allowed).
std::vector<std::pair<size_t, bool>> SegmentNumbers(const LineParser& parser, std::string_view key,
                                                    std::string_view text, size_t count,
                                                    bool other) {
    std::vector<std::pair<size_t, bool>> numbers;
    std::set<size_t> seen;
    const bool valid = ForEachListed(text, [&](std::string_view item) {
        bool isOther = false;
        if (other && item.ends_with(":other")) {
            item.remove_suffix(6);
            isOther = true;
        }
        auto number = ParseDecimal(item, count - 1);
        if (!number || !seen.insert(*number).second) {
            return false;
        }
        numbers.emplace_back(*number, isOther);
        return true;
    });
    if (!valid) {
        parser.Fail(std::string(key) + "= needs distinct segment numbers 0 to " +
                    std::to_string(count - 1) + (other ? ", each with or without :other" : "") +
                    " (the line has " + std::to_string(count) + " segments), not '" +
                    std::string(text) + "'");
    }
    return numbers;
}

// frag=<i>:<n>[:<form>],...: the segments fragmented, each with its first fragment's bytes and
// its form. A segment's IP payload is `tcpHeaderLength` bytes and its own.
std::map<size_t, std::pair<size_t, FragmentForm>> Fragments(
    const LineParser& parser, std::string_view text,
    const std::vector<std::pair<size_t, size_t>>& cuts, size_t tcpHeaderLength) {
    static const std::map<std::string_view, FragmentForm> kForms = {
        {"reverse", FragmentForm::reverse},
        {"first", FragmentForm::first},
        {"overlap", FragmentForm::overlap}};
    const size_t count = cuts.size();
    std::map<size_t, std::pair<size_t, FragmentForm>> fragments;
    std::vector<std::pair<size_t, std::string_view>> sizes;  // segment, bytes as given
    const bool valid = ForEachListed(text, [&](std::string_view item) {
        const size_t colon = item.find(':');
        if (colon == std::string_view::npos) {
            return false;
        }
        std::string_view bytes = item.substr(colon + 1);
        FragmentForm form = FragmentForm::inOrder;
        if (const size_t second = bytes.find(':'); second != std::string_view::npos) {
            auto found = kForms.find(bytes.substr(second + 1));
            if (found == kForms.end()) {
                return false;
            }
            form = found->second;
            bytes = bytes.substr(0, second);
        }
        const auto number = ParseDecimal(item.substr(0, colon), count - 1);
        const auto first = ParseDecimal(bytes, kMaxPayload);
        if (!number || !first || fragments.contains(*number)) {
            return false;
        }
        fragments[*number] = {*first, form};
        sizes.emplace_back(*number, bytes);
        return true;
    });
    if (!valid) {
        parser.Fail(
            "frag= needs <segment>:<bytes>[:reverse|:first|:overlap],... with distinct "
            "segment numbers 0 to " +
            std::to_string(count - 1) + " (the line has " + std::to_string(count) +
            " segments), not '" + std::string(text) + "'");
    }
    for (const auto& [number, given] : sizes) {
        const auto [first, form] = fragments[number];
        const size_t ipPayload = tcpHeaderLength + cuts[number].second;
        const size_t least = form == FragmentForm::overlap ? 16 : 8;
        const size_t most = (ipPayload - 1) / 8 * 8;
        if (first < least || first > most || first % 8 != 0) {
            parser.Fail("frag= needs a multiple of 8 from " + std::to_string(least) + " to " +
                        std::to_string(most) + " bytes in the first fragment of segment " +
                        std::to_string(number) + " (its IP payload is " +
                        std::to_string(ipPayload) + " bytes), not '" + std::string(given) + "'");
        }
    }
    return fragments;
}

// The entries a line writes: segment `number` of `cuts` at each writing (with other bytes or
// not), 1 ms per frame from `micros`, with the checksum and fragment options applied.
std::vector<ScenarioSegment> WrittenSegments(const LineParser& parser, uint64_t micros,
                                             const std::vector<std::pair<size_t, size_t>>& cuts,
                                             const std::vector<std::pair<size_t, bool>>& writings,
                                             const FrameOptions& options, size_t tcpHeaderLength) {
    const size_t count = cuts.size();
    std::set<size_t> wrong;
    if (options.badsum) {
        for (auto [number, other] :
             SegmentNumbers(parser, "badsum", *options.badsum, count, false)) {
            wrong.insert(number);
        }
    }
    std::set<size_t> decoys;
    if (options.decoy) {
        for (auto [number, other] : SegmentNumbers(parser, "decoy", *options.decoy, count, false)) {
            if (cuts[number].second == 0) {
                parser.Fail("decoy= needs a segment with bytes to change");
            }
            decoys.insert(number);
        }
    }
    std::map<size_t, std::pair<size_t, FragmentForm>> fragments;
    if (options.frag) {
        fragments = Fragments(parser, *options.frag, cuts, tcpHeaderLength);
    }
    std::vector<ScenarioSegment> written;
    std::set<size_t> seen;
    uint64_t at = micros;
    for (const auto& [number, other] : writings) {
        const auto [offset, length] = cuts[number];
        if (length > kMaxPayload) {
            parser.Fail("segment of " + std::to_string(length) +
                        " bytes does not fit one IPv4 packet");
        }
        if (seen.insert(number).second && decoys.contains(number)) {
            written.push_back({at, offset, length, true, TcpChecksum::wrong});
            at += kSegmentGapMicros;
        }
        ScenarioSegment segment{at, offset, length, other};
        segment.checksum = wrong.contains(number) ? TcpChecksum::wrong
                           : options.pseudosum    ? TcpChecksum::pseudoHeader
                                                  : TcpChecksum::correct;
        if (auto found = fragments.find(number); found != fragments.end()) {
            segment.fragmentBytes = found->second.first;
            segment.fragmentForm = found->second.second;
        }
        at += FramesOf(segment) * kSegmentGapMicros;
        written.push_back(segment);
    }
    if (LastFrameMicros(written, micros) > kLatestStamp) {
        parser.Fail("the line's segments run past the latest time a capture holds");
    }
    return written;
}

std::vector<ScenarioSegment> ScenarioReader::Segments(
    const LineParser& parser, uint64_t micros, const std::vector<std::vector<uint8_t>>& messages,
    size_t split, const SegmentOptions& options, bool reverse, const FrameOptions& frameOptions,
    size_t tcpHeaderLength) const {
    const std::vector<std::pair<size_t, size_t>> cuts = CutStream(messages, split, options);
    const size_t count = cuts.size();
    std::vector<size_t> order(count);
    for (size_t i = 0; i < count; ++i) {
        order[i] = reverse ? count - 1 - i : i;
    }
    if (options.segorder) {
        const auto numbers = SegmentNumbers(parser, "segorder", *options.segorder, count, false);
        if (numbers.size() != count) {
            parser.Fail("segorder= needs each segment number 0 to " + std::to_string(count - 1) +
                        " once (the line has " + std::to_string(count) + " segments), not '" +
                        std::string(*options.segorder) + "'");
        }
        for (size_t i = 0; i < count; ++i) {
            order[i] = numbers[i].first;
        }
    }
    std::map<size_t, bool> resent;  // segment number, with other bytes
    if (options.retransmit) {
        for (auto [number, other] :
             SegmentNumbers(parser, "retransmit", *options.retransmit, count, true)) {
            resent[number] = other;
        }
    }
    std::set<size_t> lost;
    if (options.lose) {
        for (auto [number, other] : SegmentNumbers(parser, "lose", *options.lose, count, false)) {
            lost.insert(number);
        }
    }
    std::vector<std::pair<size_t, bool>> writings;
    auto write = [&](size_t number, bool other) { writings.emplace_back(number, other); };
    for (size_t position = 0; position < count; ++position) {
        if (!lost.contains(order[position])) {
            write(order[position], false);
        }
        if (position > 0 && resent.contains(order[position - 1])) {
            write(order[position - 1], resent[order[position - 1]]);
        }
        if (position + 1 == count && resent.contains(order[position])) {
            write(order[position], resent[order[position]]);
        }
    }
    return WrittenSegments(parser, micros, cuts, writings, frameOptions, tcpHeaderLength);
}

void ScenarioReader::Read(std::string_view text, const std::string& fileName, int depth) {
    int lineNumber = 0;
    while (!text.empty()) {
        size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        ReadLine(line, fileName, lineNumber, depth);
    }
    if (depth == 0) {
        Flush();
    }
}

void ScenarioReader::Read(std::istream& in, const std::string& fileName, int depth) {
    int lineNumber = 0;
    std::string line;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        ReadLine(line, fileName, lineNumber, depth);
    }
    if (depth == 0) {
        Flush();
    }
}

size_t ScenarioReader::HeaderOptions(const LineParser& parser, ScenarioEvent& event,
                                     const std::map<std::string_view, std::string_view>& values,
                                     FrameOptions& frameOptions) {
    if (values.contains("ack")) {
        event.acknowledgement = parser.Id(values, "ack");
    }
    if (auto found = values.find("seqshift"); found != values.end()) {
        std::string_view text = found->second;
        const bool negative = text.starts_with('-');
        if (negative) {
            text.remove_prefix(1);
        }
        const std::optional<uint64_t> shift = ParseDecimal(text, 0xFFFFFFFF);
        if (!shift) {
            parser.Fail("seqshift= needs a decimal number -4294967295 to 4294967295, not '" +
                        std::string(found->second) + "'");
        }
        event.sequenceShift =
            negative ? 0u - static_cast<uint32_t>(*shift) : static_cast<uint32_t>(*shift);
    }
    event.window = static_cast<uint16_t>(parser.Decimal(values, "window", 0, 0xFFFF, 64240));
    size_t optionBytes = event.tsopt ? 12 : 0;
    if (values.contains("wscale")) {
        if (event.kind != "syn" && event.kind != "synack") {
            parser.Fail("wscale= goes only with syn or synack");
        }
        event.windowScale = static_cast<uint8_t>(parser.Decimal(values, "wscale", 0, 255));
        optionBytes += 4;
    }
    for (std::string_view key : {"badsum", "decoy", "frag"}) {
        if (auto found = values.find(key); found != values.end()) {
            (key == "badsum"  ? frameOptions.badsum
             : key == "decoy" ? frameOptions.decoy
                              : frameOptions.frag) = found->second;
        }
    }
    return 20 + optionBytes;
}

void ScenarioReader::Repeat(ScenarioEvent& event, const LineParser& parser,
                            const std::map<std::string_view, std::string_view>& values) {
    if (values.contains("repeat")) {
        event.repeat = parser.Decimal(values, "repeat", 1, kMaxRepeat);
    }
    if (!event.repeat && (values.contains("over") || values.contains("spread") ||
                          values.contains("ports") || values.contains("step"))) {
        parser.Fail("over=, spread=, ports= and step= go with repeat=");
    }
    if (auto over = values.find("over"); over != values.end()) {
        auto micros = ParseTime(over->second);
        if (!micros) {
            parser.Fail("over= needs seconds, not '" + std::string(over->second) + "'");
        }
        event.overMicros = *micros;
    }
    if (event.micros + event.overMicros > kLatestStamp) {
        parser.Fail("the copies run past the latest time a capture holds");
    }
    // Up to the last address, and never so many that the count would not fit 32 bits.
    const Endpoint& counted = CountsDestination(event) ? event.destination : event.source;
    const uint64_t addresses =
        std::min<uint64_t>(uint64_t{0xFFFFFFFF} - counted.address + 1, 0xFFFFFFFF);
    event.spread = static_cast<uint32_t>(
        parser.Decimal(values, "spread", 1, addresses, 1, " (addresses beyond 255.255.255.255)"));
    event.ports = static_cast<uint32_t>(parser.Decimal(
        values, "ports", 1, uint64_t{65536} - counted.port, 1, " (ports beyond 65535)"));
    if (values.contains("step")) {
        if (event.random || event.payload.size() < 2) {
            parser.Fail("step= needs a payload of at least 2 bytes to count in");
        }
        event.step =
            parser.Decimal(values, "step", 0, event.payload.size() - 2, 0,
                           " (the payload is " + std::to_string(event.payload.size()) + " bytes)");
    }
}

void ScenarioReader::ReadLine(std::string_view rawLine, const std::string& fileName, int lineNumber,
                              int depth) {
    LineParser parser(fileName, lineNumber);
    const std::string substituted = Substituted(rawLine, variables_, parser);
    const std::string_view line = substituted;
    std::vector<Token> tokens = Tokens(line);
    if (tokens.empty() || tokens[0].text.starts_with('#')) {
        return;
    }
    if (tokens[0].text == "include") {
        if (tokens.size() != 2) {
            parser.Fail("include takes one file name");
        }
        if (depth >= kMaxIncludeDepth) {
            parser.Fail("includes nest deeper than " + std::to_string(kMaxIncludeDepth));
        }
        const std::filesystem::path included =
            std::filesystem::path(fileName).parent_path() / std::string(tokens[1].text);
        std::ifstream in(included, std::ios::binary);
        if (!in) {
            parser.Fail("cannot read the included file " + included.string());
        }
        std::ostringstream text;
        text << in.rdbuf();
        Read(text.str(), included.string(), depth + 1);
        return;
    }
    if (tokens[0].text == "base") {
        if (tokens.size() != 2) {
            parser.Fail("base takes one time in seconds");
        }
        base_ = ParseTime(tokens[1].text);
        if (!base_) {
            parser.Fail("bad base time '" + std::string(tokens[1].text) + "'");
        }
        return;
    }
    if (tokens[0].text != "at") {
        parser.Fail("expected 'at', 'base' or 'include', not '" + std::string(tokens[0].text) +
                    "'");
    }
    if (tokens.size() < 6 || tokens[3].text != ">") {
        parser.Fail("expected: at <time> <address:port> > <address:port> <kind> ...");
    }

    ScenarioEvent event;
    event.line = lineNumber;
    std::string_view when = tokens[1].text;
    std::optional<uint64_t> stamp;
    if (when.starts_with('+')) {
        if (!base_) {
            parser.Fail("relative time '" + std::string(when) + "' without a base line");
        }
        if (auto offset = ParseTime(when.substr(1))) {
            stamp = *base_ + *offset;
        }
    } else {
        stamp = ParseTime(when);
    }
    if (!stamp || *stamp > kLatestStamp) {
        parser.Fail("bad time '" + std::string(when) + "'");
    }
    if (*stamp < latest_) {
        parser.Fail("time " + std::string(when) + " is earlier than the frame before");
    }
    event.micros = *stamp;

    auto source = ParseEndpoint(tokens[2].text);
    auto destination = ParseEndpoint(tokens[4].text);
    if (!source) {
        parser.Fail("bad source '" + std::string(tokens[2].text) + "' (a.b.c.d:port)");
    }
    if (!destination) {
        parser.Fail("bad destination '" + std::string(tokens[4].text) + "' (a.b.c.d:port)");
    }
    event.source = *source;
    event.destination = *destination;

    event.kind = std::string(tokens[5].text);
    auto rule = KindRules().find(event.kind);
    if (rule == KindRules().end()) {
        parser.Fail("unknown kind '" + event.kind + "'");
    }
    event.syn = event.kind == "syn";
    if (auto bare = BareKinds().find(event.kind); bare != BareKinds().end()) {
        event.flags = bare->second;
    }

    // Options every kind may take besides split=, and the flags with the kinds they go with.
    static const std::set<std::string_view> kRepeatOptions = {"repeat", "over", "spread", "ports",
                                                              "step"};
    static const std::map<std::string_view, std::string_view> kFlagKinds = {
        {"deferreset", "upload"}, {"framed", "random"}};
    std::map<std::string_view, std::string_view> values;
    std::optional<std::string_view> splitText;
    bool deferReset = false;
    bool framed = false;
    SegmentOptions segmentOptions;
    FrameOptions frameOptions;
    for (size_t i = 6; i < tokens.size(); ++i) {
        std::string_view option = tokens[i].text;
        if (auto flagKind = kFlagKinds.find(option);
            flagKind != kFlagKinds.end() && event.kind != flagKind->second) {
            parser.Fail(event.kind + " takes no option '" + std::string(option) + "'");
        }
        if (option == "reverse" || option == "tsopt" || option == "deferreset" ||
            option == "framed" || option == "coalesce" || option == "with" ||
            option == "pseudosum") {
            bool& flag = option == "reverse"      ? event.reverse
                         : option == "tsopt"      ? event.tsopt
                         : option == "deferreset" ? deferReset
                         : option == "coalesce"   ? segmentOptions.coalesce
                         : option == "with"       ? segmentOptions.with
                         : option == "pseudosum"  ? frameOptions.pseudosum
                                                  : framed;
            if (flag) {
                parser.Fail(std::string(option) + " given twice");
            }
            flag = true;
            continue;
        }
        if (option == "syn") {
            parser.Fail("syn is a kind of its own: a bare SYN carries no message");
        }
        size_t equals = option.find('=');
        if (equals == std::string_view::npos) {
            parser.Fail("unknown option '" + std::string(option) + "'");
        }
        std::string_view key = option.substr(0, equals);
        std::string_view value = option.substr(equals + 1);
        if (key == "split") {
            if (splitText) {
                parser.Fail("split= given twice");
            }
            splitText = value;
            continue;
        }
        const bool general =
            ((kRepeatOptions.contains(key) || key == "ahead") && event.kind != "upload") ||
            SegmentKeys().contains(key) || FrameKeys().contains(key);
        if (!general && !rule->second.allowed.contains(key)) {
            parser.Fail(event.kind + " takes no option '" + std::string(key) + "='");
        }
        if (values.contains(key)) {
            parser.Fail(std::string(key) + "= given twice");
        }
        if (key == "text" || key == "name") {
            // The rest of the line, spaces and all.
            values[key] = line.substr(tokens[i].position + key.size() + 1);
            break;
        }
        values[key] = value;
    }
    for (std::string_view key : rule->second.required) {
        if (!values.contains(key)) {
            parser.Fail(event.kind + " needs " + std::string(key) + "=");
        }
    }

    const bool upload = event.kind == "upload";
    if (upload && event.reverse) {
        parser.Fail("upload takes no reverse: its messages go in the order given");
    }

    std::vector<std::vector<uint8_t>> payloads;
    try {
        if (upload) {
            payloads = UploadFor(parser, values, deferReset);
        } else {
            payloads.push_back(MessageFor(parser, event.kind, values));
        }
    } catch (const std::length_error&) {
        parser.Fail("message too long for its 16-bit size word");
    } catch (const std::invalid_argument& error) {
        parser.Fail(error.what());
    }
    if (event.kind == "random") {
        RandomPayload random;
        random.seed = parser.Decimal(values, "seed", 0, UINT64_MAX);
        random.framed = framed;
        const uint64_t least = framed ? kGameHeaderLength : 1;
        random.maxBytes = parser.Decimal(values, "maxbytes", least, kMaxPayload, 200);
        event.random = random;
    }
    for (const auto& payload : payloads) {
        if (payload.size() > kMaxPayload) {
            parser.Fail("payload of " + std::to_string(payload.size()) +
                        " bytes does not fit one IPv4 packet");
        }
    }
    if (values.contains("mss")) {
        segmentOptions.mss = parser.Decimal(values, "mss", 1, kMaxPayload);
    }
    if (values.contains("skip")) {
        size_t total = 0;
        for (const auto& payload : payloads) {
            total += payload.size();
        }
        segmentOptions.skip = parser.Decimal(values, "skip", 1, total - 1, 0,
                                             " (the line has " + std::to_string(total) + " bytes)");
    }
    for (std::string_view key : {"segorder", "retransmit", "lose"}) {
        if (auto found = values.find(key); found != values.end()) {
            (key == "segorder"     ? segmentOptions.segorder
             : key == "retransmit" ? segmentOptions.retransmit
                                   : segmentOptions.lose) = found->second;
        }
    }
    if (values.contains("ahead")) {
        if (event.flags != 0) {
            parser.Fail(BareName(event.kind) + " carries no bytes to send ahead");
        }
        if (segmentOptions.Any()) {
            parser.Fail("ahead= does not go with the segment options (lose= leaves a gap there)");
        }
        event.ahead = parser.Decimal(values, "ahead", 1, kMaxAhead);
    }
    const size_t tcpHeaderLength = HeaderOptions(parser, event, values, frameOptions);
    if (segmentOptions.with &&
        (frameOptions.Any() ||
         std::any_of(FrameKeys().begin(), FrameKeys().end(),
                     [&](std::string_view key) { return values.contains(key); }))) {
        parser.Fail("with does not go with TCP header, checksum or fragment options");
    }
    const bool repeated = std::any_of(kRepeatOptions.begin(), kRepeatOptions.end(),
                                      [&](std::string_view key) { return values.contains(key); });
    if (segmentOptions.Any() ||
        (frameOptions.Any() && event.flags == 0 && !event.random && !repeated)) {
        SegmentedLine(parser, std::move(event), payloads, splitText, segmentOptions, frameOptions,
                      tcpHeaderLength, values);
        return;
    }
    if (upload) {
        // Each message longer than split= goes in two segments.
        size_t split = 0;
        if (splitText) {
            const std::optional<uint64_t> number = ParseDecimal(*splitText, kMaxPayload);
            if (!number || *number == 0) {
                parser.Fail("split= needs a number from 1 to " + std::to_string(kMaxPayload) +
                            ", not '" + std::string(*splitText) + "'");
            }
            split = *number;
        }
        // The messages one after the other, each taking 1 ms, or 2 ms when split.
        const uint64_t gap = split != 0 ? 2 * kUploadGapMicros : kUploadGapMicros;
        const uint64_t last = event.micros + (payloads.size() - 1) * gap;
        const bool lastSplit = split != 0 && payloads.back().size() > split;
        const uint64_t end = last + (lastSplit ? kSplitGapMicros : 0);
        if (end > kLatestStamp) {
            parser.Fail("bad time '" + std::string(when) + "'");
        }
        for (size_t i = 0; i < payloads.size(); ++i) {
            ScenarioEvent message = event;
            message.micros = event.micros + i * gap;
            message.split = payloads[i].size() > split ? split : 0;
            message.payload = std::move(payloads[i]);
            Emit(std::move(message));
        }
        latest_ = end;
        return;
    }
    event.payload = std::move(payloads.front());
    Repeat(event, parser, values);
    if (event.repeat != 0 && (splitText || event.reverse)) {
        parser.Fail("repeat= takes no split= or reverse");
    }

    if (splitText) {
        if (event.flags != 0) {
            parser.Fail(BareName(event.kind) + " cannot be split");
        }
        if (event.random) {
            parser.Fail("random takes no split=");
        }
        unsigned long split = 0;
        auto [end, error] =
            std::from_chars(splitText->data(), splitText->data() + splitText->size(), split);
        if (!AllDigits(*splitText) || error != std::errc() || split == 0 ||
            split >= event.payload.size()) {
            parser.Fail("split= needs a number from 1 to " +
                        std::to_string(event.payload.size() - 1) + " (payload is " +
                        std::to_string(event.payload.size()) + " bytes), not '" +
                        std::string(*splitText) + "'");
        }
        event.split = split;
    }
    if (event.reverse && event.split == 0) {
        parser.Fail("reverse needs split=");
    }
    if (frameOptions.Any()) {
        // A kind without payload, a random line or a repeated line: one segment, as long as the
        // payload (the shortest a random line draws).
        if (event.repeat != 0 && frameOptions.decoy) {
            parser.Fail("repeat= takes no decoy=: each copy is one frame");
        }
        const size_t least = !event.random          ? event.payload.size()
                             : event.random->framed ? kGameHeaderLength
                                                    : 1;
        event.segments = WrittenSegments(parser, event.micros, {{0, least}}, {{0, false}},
                                         frameOptions, tcpHeaderLength);
        if (event.repeat != 0 && FramesOf(event.segments->front()) != 1) {
            parser.Fail(
                "repeat= takes frag= only as <segment>:<bytes>:first: each copy is one "
                "frame");
        }
        latest_ = event.repeat != 0 ? event.micros : LastFrameMicros(*event.segments, 0);
        Emit(std::move(event));
        return;
    }
    // The copies of a repeated line do not hold the next lines back.
    latest_ = event.micros + (event.split != 0 ? kSplitGapMicros : 0);
    if (latest_ > kLatestStamp) {
        parser.Fail("bad time '" + std::string(when) + "'");
    }
    Emit(std::move(event));
}

void ScenarioReader::SegmentedLine(const LineParser& parser, ScenarioEvent&& event,
                                   const std::vector<std::vector<uint8_t>>& messages,
                                   std::optional<std::string_view> splitText,
                                   const SegmentOptions& options, const FrameOptions& frameOptions,
                                   size_t tcpHeaderLength,
                                   const std::map<std::string_view, std::string_view>& values) {
    if (event.flags != 0) {
        parser.Fail(BareName(event.kind) + " has no bytes to cut into segments");
    }
    if (event.random) {
        parser.Fail("random takes no segment options");
    }
    for (std::string_view key : {"repeat", "over", "spread", "ports", "step"}) {
        if (values.contains(key)) {
            parser.Fail("repeat= takes no segment options");
        }
    }
    if (event.reverse && options.Any()) {
        parser.Fail("reverse does not go with the segment options (segorder= gives the order)");
    }
    if (event.reverse && !splitText) {
        parser.Fail("reverse needs split=");
    }
    if (options.coalesce && (splitText || options.mss != 0)) {
        parser.Fail("coalesce does not go with split= or mss=");
    }
    if (options.mss != 0 && splitText) {
        parser.Fail("mss= does not go with split=");
    }
    size_t split = 0;
    if (splitText) {
        // As without the segment options: an upload's messages each cut when longer, another
        // kind's message cut within it.
        const size_t most = event.kind == "upload" ? kMaxPayload : messages.front().size() - 1;
        const std::optional<uint64_t> number = ParseDecimal(*splitText, most);
        if (!number || *number == 0) {
            parser.Fail("split= needs a number from 1 to " + std::to_string(most) + ", not '" +
                        std::string(*splitText) + "'");
        }
        split = *number;
    }
    event.segments = Segments(parser, event.micros, messages, split, options, event.reverse,
                              frameOptions, tcpHeaderLength);
    event.payload.clear();
    for (const auto& message : messages) {
        event.payload.insert(event.payload.end(), message.begin(), message.end());
    }
    latest_ = LastFrameMicros(*event.segments, event.micros);
    if (options.with) {
        Join(std::move(event), parser);
    } else {
        Emit(std::move(event));
    }
}

// Builds the frames of events, keeping each flow's sequence numbers.
class FrameMaker {
  public:
    // The frames of one copy of `event` at `micros`, from `source` to `destination`, with
    // `payload`.
    void Make(const ScenarioEvent& event, uint64_t micros, const Endpoint& source,
              const Endpoint& destination, const std::vector<uint8_t>& payload,
              const std::function<void(const TimedFrame&)>& take) {
        Flow flow{source, destination};
        Flow opposite{destination, source};
        uint32_t& sequence = SequenceOf(flow);
        const uint32_t acknowledgement = SequenceOf(opposite);

        auto write = [&](uint64_t at, std::vector<uint8_t> bytes) {
            take(TimedFrame{static_cast<uint32_t>(at / kMicrosPerSecond),
                            static_cast<uint32_t>(at % kMicrosPerSecond), std::move(bytes)});
        };
        auto frameAt = [&](uint64_t at, const ScenarioSegment& segment) {
            FrameSpec layout;
            layout.source = source;
            layout.destination = destination;
            layout.sequence =
                sequence + static_cast<uint32_t>(segment.offset) + event.sequenceShift;
            layout.window = event.window;
            layout.tcpChecksum = segment.checksum;
            uint16_t& identification = nextIdentification_[source.address];
            layout.ipIdentification = ++identification;
            if (segment.fragmentBytes != 0 && layout.ipIdentification == 0) {
                layout.ipIdentification = ++identification;  // fragments need one
            }
            if (event.flags != 0) {
                layout.tcpFlags = event.flags;
                if ((event.flags & kTcpAck) != 0) {
                    layout.acknowledgement = acknowledgement;
                }
            } else {
                layout.acknowledgement = acknowledgement;
                // A random line's segment is all of its copy's payload.
                const size_t length = event.random ? payload.size() : segment.length;
                layout.payload.assign(payload.begin() + static_cast<long>(segment.offset),
                                      payload.begin() + static_cast<long>(segment.offset + length));
                if (segment.otherBytes) {
                    for (uint8_t& byte : layout.payload) {
                        byte = static_cast<uint8_t>(~byte);
                    }
                }
            }
            if (event.acknowledgement) {
                layout.acknowledgement = *event.acknowledgement;
            }
            if (event.tsopt) {
                layout.tcpOptions = TimestampOption(static_cast<uint32_t>(at / 1000), 0);
            }
            if (event.windowScale) {
                layout.tcpOptions.insert(layout.tcpOptions.end(), {1, 3, 3, *event.windowScale});
            }
            std::vector<uint8_t> frame = BuildFrame(layout);
            if (segment.fragmentBytes == 0) {
                write(at, std::move(frame));
                return;
            }
            auto pieces = FragmentFrame(frame, segment.fragmentBytes,
                                        segment.fragmentForm == FragmentForm::overlap);
            const uint64_t later = at + kSegmentGapMicros;
            switch (segment.fragmentForm) {
                case FragmentForm::first:
                    write(at, std::move(pieces[0]));
                    break;
                case FragmentForm::reverse:
                    write(at, std::move(pieces[1]));
                    write(later, std::move(pieces[0]));
                    break;
                case FragmentForm::inOrder:
                case FragmentForm::overlap:
                    write(at, std::move(pieces[0]));
                    write(later, std::move(pieces[1]));
                    break;
            }
        };
        auto plainAt = [&](uint64_t at, size_t offset, size_t length) {
            frameAt(at, ScenarioSegment{at, offset, length, false});
        };

        // The bytes a copy leaves out before its own: never sent, counted all the same.
        sequence += static_cast<uint32_t>(event.ahead);
        if (event.segments) {
            // Written as the event's time says, moved to the copy's.
            for (const ScenarioSegment& segment : *event.segments) {
                frameAt(micros + (segment.micros - event.micros), segment);
            }
        } else if (event.flags != 0 || event.split == 0) {
            plainAt(micros, 0, payload.size());
        } else {
            size_t rest = payload.size() - event.split;
            uint64_t later = micros + kSplitGapMicros;
            if (event.reverse) {
                // The second piece is written (and built) first; sequence numbers stay true.
                plainAt(micros, event.split, rest);
                plainAt(later, 0, event.split);
            } else {
                plainAt(micros, 0, event.split);
                plainAt(later, event.split, rest);
            }
        }
        const bool countsOne = (event.flags & (kTcpSyn | kTcpFin)) != 0;
        sequence += static_cast<uint32_t>(payload.size()) + (countsOne ? 1u : 0u);
    }

  private:
    using Flow = std::pair<Endpoint, Endpoint>;

    uint32_t& SequenceOf(const Flow& flow) {
        auto found = nextSequence_.find(flow);
        if (found == nextSequence_.end()) {
            ++flowsSeen_;
            found = nextSequence_.emplace(flow, flowsSeen_ * 0x01000000u + 0x1000u).first;
        }
        return found->second;
    }

    std::map<Flow, uint32_t> nextSequence_;
    std::map<uint32_t, uint16_t> nextIdentification_;  // per source address
    uint32_t flowsSeen_ = 0;
};

// The copies of one repeated line still to be sent.
struct CopyStream {
    ScenarioEvent event;
    uint64_t next = 0;
    std::mt19937_64 rng;

    uint64_t NextMicros() const { return event.micros + event.overMicros * next / event.repeat; }
};

// Turns events into frames as they come, in the order they are written: each event's frames
// after the copies of repeated lines due before its time, the copies still due at Finish().
// Holds only the repeated lines whose copies are not all sent.
class FrameStream {
  public:
    explicit FrameStream(std::function<void(const TimedFrame&)> take) : take_(std::move(take)) {}

    void Add(const ScenarioEvent& event) {
        SendCopies(event.micros);
        const uint64_t seed = event.random ? event.random->seed : 0;
        if (event.repeat != 0) {
            const uint64_t id = nextStream_++;
            streams_.emplace(id, CopyStream{event, 0, std::mt19937_64(seed)});
            due_.emplace(event.micros, id);
            return;
        }
        std::mt19937_64 rng(seed);
        maker_.Make(event, event.micros, event.source, event.destination,
                    CopyPayload(event, 0, rng), take_);
    }

    void Finish() { SendCopies(std::nullopt); }

  private:
    // Sends the copies due before `until` (all of them when it is nothing).
    void SendCopies(std::optional<uint64_t> until) {
        while (!due_.empty() && (!until || due_.top().first < *until)) {
            const uint64_t id = due_.top().second;
            due_.pop();
            auto found = streams_.find(id);
            CopyStream& stream = found->second;
            const ScenarioEvent& event = stream.event;
            Endpoint source = event.source;
            Endpoint destination = event.destination;
            Endpoint& counted = CountsDestination(event) ? destination : source;
            counted.address += static_cast<uint32_t>(stream.next % event.spread);
            counted.port += static_cast<uint16_t>(stream.next / event.spread % event.ports);
            maker_.Make(event, stream.NextMicros(), source, destination,
                        CopyPayload(event, stream.next, stream.rng), take_);
            if (++stream.next < event.repeat) {
                due_.emplace(stream.NextMicros(), id);
            } else {
                streams_.erase(found);
            }
        }
    }

    std::function<void(const TimedFrame&)> take_;
    FrameMaker maker_;
    // The repeated lines met so far by the order they came in, and when each one's next copy is
    // due: the earliest first, and of those due at once the line that came first.
    std::map<uint64_t, CopyStream> streams_;
    uint64_t nextStream_ = 0;
    using Due = std::pair<uint64_t, uint64_t>;
    std::priority_queue<Due, std::vector<Due>, std::greater<>> due_;
};

}  // namespace

Scenario ParseScenario(std::string_view text, const std::string& fileName,
                       const ScenarioVariables& variables) {
    Scenario scenario;
    ScenarioReader reader(
        variables, [&](ScenarioEvent&& event) { scenario.events.push_back(std::move(event)); });
    reader.Read(text, fileName, 0);
    return scenario;
}

Scenario LoadScenario(const std::string& path, const ScenarioVariables& variables) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ScenarioError(path + ": cannot read the file");
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        throw ScenarioError(path + ": cannot read the file");
    }
    return ParseScenario(text.str(), path, variables);
}

void ForEachScenarioFrame(const Scenario& scenario,
                          const std::function<void(const TimedFrame&)>& take) {
    FrameStream stream(take);
    for (const ScenarioEvent& event : scenario.events) {
        stream.Add(event);
    }
    stream.Finish();
}

std::vector<TimedFrame> ScenarioFrames(const Scenario& scenario) {
    std::vector<TimedFrame> frames;
    ForEachScenarioFrame(scenario, [&](const TimedFrame& frame) { frames.push_back(frame); });
    return frames;
}

bool WriteCaptureFile(const std::vector<TimedFrame>& frames, const std::string& path,
                      PcapFileWriter::Format format, std::string& error) {
    bool written = WriteFileWhole(path, [&](const std::string& temporary) {
        PcapFileWriter writer(temporary, format);
        if (!writer.ok()) {
            return false;
        }
        for (const TimedFrame& frame : frames) {
            writer.Write(frame.seconds, frame.micros, frame.bytes);
        }
        return writer.Close();
    });
    if (!written) {
        error = path + ": cannot write the capture file";
    }
    return written;
}

bool WriteScenarioCapture(const Scenario& scenario, const std::string& path,
                          PcapFileWriter::Format format, std::string& error, uint64_t* frames) {
    uint64_t count = 0;
    bool written = WriteFileWhole(path, [&](const std::string& temporary) {
        PcapFileWriter writer(temporary, format);
        if (!writer.ok()) {
            return false;
        }
        ForEachScenarioFrame(scenario, [&](const TimedFrame& frame) {
            writer.Write(frame.seconds, frame.micros, frame.bytes);
            ++count;
        });
        return writer.Close();
    });
    if (!written) {
        error = path + ": cannot write the capture file";
    }
    if (frames != nullptr) {
        *frames = count;
    }
    return written;
}

bool WriteScenarioFileCapture(const std::string& scenarioPath, const ScenarioVariables& variables,
                              const std::string& path, PcapFileWriter::Format format,
                              std::string& error, uint64_t* frames) {
    uint64_t count = 0;
    std::ifstream in(scenarioPath, std::ios::binary);
    if (!in) {
        error = scenarioPath + ": cannot read the file";
        return false;
    }
    bool scenarioFailed = false;
    const bool written = WriteFileWhole(path, [&](const std::string& temporary) {
        PcapFileWriter writer(temporary, format);
        if (!writer.ok()) {
            return false;
        }
        FrameStream stream([&](const TimedFrame& frame) {
            writer.Write(frame.seconds, frame.micros, frame.bytes);
            ++count;
        });
        ScenarioReader reader(variables, [&](ScenarioEvent&& event) { stream.Add(event); });
        try {
            reader.Read(in, scenarioPath, 0);
        } catch (const ScenarioError& failure) {
            error = failure.what();
            scenarioFailed = true;
            return false;
        }
        if (in.bad()) {
            error = scenarioPath + ": cannot read the file";
            scenarioFailed = true;
            return false;
        }
        stream.Finish();
        return writer.Close();
    });
    if (!written && !scenarioFailed) {
        error = path + ": cannot write the capture file";
    }
    if (frames != nullptr) {
        *frames = count;
    }
    return written;
}

}  // namespace korvane::tools
