#include "tools/scenario.h"

#include <charconv>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "tools/session_builder.h"
#include "tools/variant_builder.h"
#include "tools/whole_file.h"

namespace korvane::tools {

namespace {

constexpr uint64_t kMicrosPerSecond = 1'000'000;
constexpr uint64_t kSplitGapMicros = 1'000;
constexpr uint64_t kUploadGapMicros = 1'000;  // between the messages of an upload
// The largest container an upload line may ask for with size=.
constexpr uint64_t kMaxUploadSize = 16 * 1024 * 1024;
constexpr uint64_t kLatestStamp = 0xFFFFFFFFull * kMicrosPerSecond + 999'999;
// Room for the largest payload in one IPv4 packet with a timestamp option.
constexpr size_t kMaxPayload = 0xFFFF - 20 - 20 - 12;

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
        {"game", {{"sender", "receiver", "type", "hex"}, {"sender", "receiver", "type"}}},
        {"raw", {{"hex"}, {"hex"}}},
        {"syn", {{}, {}}},
        {"info", {{"sender", "text"}, {"sender", "text"}}},
        {"stock", {{"sender", "chassis"}, {"sender", "chassis"}}},
        {"upload",
         {{"sender", "seq", "chassis", "components", "pieces", "piecebytes", "order", "size",
           "name"},
          {"sender", "seq", "chassis", "name"}}},
    };
    return rules;
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

    std::vector<uint8_t> Hex(const std::map<std::string_view, std::string_view>& values) const {
        auto found = values.find("hex");
        if (found == values.end()) {
            return {};
        }
        auto bytes = ParseHexBytes(found->second);
        if (!bytes) {
            Fail("hex= needs pairs of hexadecimal digits, not '" + std::string(found->second) +
                 "'");
        }
        return *bytes;
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

}  // namespace

void ScenarioReader::ReadLine(std::string_view line, std::vector<ScenarioEvent>& events) {
    ++lineNumber_;
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    LineParser parser(fileName_, lineNumber_);
    std::vector<Token> tokens = Tokens(line);
    if (tokens.empty() || tokens[0].text.starts_with('#')) {
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
        parser.Fail("expected 'at' or 'base', not '" + std::string(tokens[0].text) + "'");
    }
    if (tokens.size() < 6 || tokens[3].text != ">") {
        parser.Fail("expected: at <time> <address:port> > <address:port> <kind> ...");
    }

    ScenarioEvent event;
    event.line = lineNumber_;
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

    std::map<std::string_view, std::string_view> values;
    std::optional<std::string_view> splitText;
    bool deferReset = false;
    for (size_t i = 6; i < tokens.size(); ++i) {
        std::string_view option = tokens[i].text;
        if (option == "deferreset" && event.kind != "upload") {
            parser.Fail(event.kind + " takes no option 'deferreset'");
        }
        if (option == "reverse" || option == "tsopt" || option == "deferreset") {
            bool& flag = option == "reverse" ? event.reverse
                         : option == "tsopt" ? event.tsopt
                                             : deferReset;
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
        if (!rule->second.allowed.contains(key)) {
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
    if (event.syn && splitText) {
        parser.Fail("a bare SYN cannot be split");
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
    size_t longest = 0;
    for (const auto& payload : payloads) {
        if (payload.size() > kMaxPayload) {
            parser.Fail("payload of " + std::to_string(payload.size()) +
                        " bytes does not fit one IPv4 packet");
        }
        longest = std::max(longest, payload.size());
    }

    if (splitText) {
        // An upload splits each message longer than the number; any other kind its one message,
        // which must be longer.
        const uint64_t most = upload ? kMaxPayload : longest - 1;
        std::optional<uint64_t> split = ParseDecimal(*splitText, most);
        if (!split || *split == 0) {
            parser.Fail("split= needs a number from 1 to " + std::to_string(most) +
                        (upload ? "" : " (payload is " + std::to_string(longest) + " bytes)") +
                        ", not '" + std::string(*splitText) + "'");
        }
        event.split = *split;
    }
    if (event.reverse && event.split == 0) {
        parser.Fail("reverse needs split=");
    }

    // The messages one after the other, each taking 1 ms, or 2 ms when split.
    const uint64_t gap = event.split != 0 ? 2 * kUploadGapMicros : kUploadGapMicros;
    const uint64_t last = event.micros + (payloads.size() - 1) * gap;
    const bool lastSplit = event.split != 0 && payloads.back().size() > event.split;
    latest_ = last + (lastSplit ? kSplitGapMicros : 0);
    if (latest_ > kLatestStamp) {
        parser.Fail("bad time '" + std::string(when) + "'");
    }
    for (size_t i = 0; i < payloads.size(); ++i) {
        ScenarioEvent message = event;
        message.micros = event.micros + i * gap;
        message.payload = std::move(payloads[i]);
        if (message.payload.size() <= message.split) {
            message.split = 0;
        }
        events.push_back(std::move(message));
    }
}

Scenario ParseScenario(std::string_view text, const std::string& fileName) {
    Scenario scenario;
    ScenarioReader reader(fileName);
    while (!text.empty()) {
        size_t newline = text.find('\n');
        reader.ReadLine(text.substr(0, newline), scenario.events);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    }
    return scenario;
}

Scenario LoadScenario(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ScenarioError(path + ": cannot read the file");
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        throw ScenarioError(path + ": cannot read the file");
    }
    return ParseScenario(text.str(), path);
}

uint32_t& FrameMaker::SequenceOf(const Endpoint& source, const Endpoint& destination) {
    auto found = nextSequence_.find({source, destination});
    if (found == nextSequence_.end()) {
        ++flowsSeen_;
        found = nextSequence_
                    .emplace(std::pair{source, destination}, flowsSeen_ * 0x01000000u + 0x1000u)
                    .first;
    }
    return found->second;
}

void FrameMaker::Add(const ScenarioEvent& event, std::vector<TimedFrame>& frames) {
    uint32_t& sequence = SequenceOf(event.source, event.destination);
    const uint32_t acknowledgement = SequenceOf(event.destination, event.source);

    auto frameAt = [&](uint64_t micros, size_t offset, size_t length) {
        FrameSpec layout;
        layout.source = event.source;
        layout.destination = event.destination;
        layout.sequence = sequence + static_cast<uint32_t>(offset);
        layout.ipIdentification = ++nextIdentification_[event.source.address];
        if (event.syn) {
            layout.tcpFlags = kTcpSyn;
        } else {
            layout.acknowledgement = acknowledgement;
            layout.payload.assign(event.payload.begin() + static_cast<long>(offset),
                                  event.payload.begin() + static_cast<long>(offset + length));
        }
        if (event.tsopt) {
            layout.tcpOptions = TimestampOption(static_cast<uint32_t>(micros / 1000), 0);
        }
        return TimedFrame{static_cast<uint32_t>(micros / kMicrosPerSecond),
                          static_cast<uint32_t>(micros % kMicrosPerSecond), BuildFrame(layout)};
    };

    if (event.syn) {
        frames.push_back(frameAt(event.micros, 0, 0));
        sequence += 1;
    } else if (event.split == 0) {
        frames.push_back(frameAt(event.micros, 0, event.payload.size()));
        sequence += static_cast<uint32_t>(event.payload.size());
    } else {
        size_t rest = event.payload.size() - event.split;
        uint64_t later = event.micros + kSplitGapMicros;
        if (event.reverse) {
            // The second piece is written (and built) first; sequence numbers stay true.
            frames.push_back(frameAt(event.micros, event.split, rest));
            frames.push_back(frameAt(later, 0, event.split));
        } else {
            frames.push_back(frameAt(event.micros, 0, event.split));
            frames.push_back(frameAt(later, event.split, rest));
        }
        sequence += static_cast<uint32_t>(event.payload.size());
    }
}

std::vector<TimedFrame> ScenarioFrames(const Scenario& scenario) {
    FrameMaker maker;
    std::vector<TimedFrame> frames;
    for (const ScenarioEvent& event : scenario.events) {
        maker.Add(event, frames);
    }
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

bool WriteScenarioCapture(const std::string& scenarioPath, const std::string& path,
                          PcapFileWriter::Format format, std::string& error, size_t& frames) {
    frames = 0;
    std::ifstream in(scenarioPath, std::ios::binary);
    if (!in) {
        error = scenarioPath + ": cannot read the file";
        return false;
    }
    bool scenarioFailed = false;
    const bool written = WriteFileWhole(path, [&](const std::string& temporary) {
        PcapFileWriter writer(temporary, format);
        ScenarioReader reader(scenarioPath);
        FrameMaker maker;
        std::vector<ScenarioEvent> events;
        std::vector<TimedFrame> made;
        std::string line;
        try {
            while (writer.ok() && std::getline(in, line)) {
                events.clear();
                reader.ReadLine(line, events);
                for (const ScenarioEvent& event : events) {
                    made.clear();
                    maker.Add(event, made);
                    for (const TimedFrame& frame : made) {
                        writer.Write(frame.seconds, frame.micros, frame.bytes);
                    }
                    frames += made.size();
                }
            }
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
        return writer.Close();
    });
    if (!written && !scenarioFailed) {
        error = path + ": cannot write the capture file";
    }
    return written;
}

}  // namespace korvane::tools
