#include "app/event_stream.h"

#include <nlohmann/json.hpp>

#include "app/event_log.h"
#include "app/latin1_text.h"
#include "platform/format.h"

namespace korvane {

namespace {

using Json = nlohmann::ordered_json;

Json ValueOf(const EventField& field) {
    switch (field.type) {
        case EventField::Type::number:
            return field.number;
        case EventField::Type::flag:
            return field.number != 0;
        case EventField::Type::texts: {
            Json list = Json::array();
            for (const std::string& text : field.texts) {
                list.push_back(Latin1ToUtf8(text));
            }
            return list;
        }
        case EventField::Type::text:
            break;
    }
    return Latin1ToUtf8(field.text);
}

}  // namespace

std::string EventStream::Line(const GuardEvent& event, ClockReading time) {
    Json line;
    line["time"] = UtcTimestamp(time);
    line["event"] = EventName(event.kind);
    if (const LogPlayer* player = event.player) {
        line["address"] = StringPrintf("%d.%d.%d.%d", player->ipAddress[0], player->ipAddress[1],
                                       player->ipAddress[2], player->ipAddress[3]);
        line["port"] = player->port;
        line["id"] = StringPrintf("%08x", player->playerId);
        line["name"] = Latin1ToUtf8(NarrowLogName(player->nameWide));
        line["info"] = Latin1ToUtf8(player->infoText);
    }
    for (const EventField& field : event.fields) {
        line[std::string(field.name)] = ValueOf(field);
    }
    return line.dump(-1, ' ', true);
}

void EventStream::Record(const GuardEvent& event) {
    file_.Write(Line(event, clock_.Now()) + "\n");
}

}  // namespace korvane
