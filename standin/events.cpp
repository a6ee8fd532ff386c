/* events.cpp - what happened on the machine, and its JSON lines. */
#include "internal.h"

#include <cstdio>

namespace standin {

using detail::jsonString;

namespace {
std::mutex eventMutex;
std::vector<Event> eventList;

/* The buttons of a box type, as the outcome names them. */
std::string buttonsJson(unsigned type)
{
    switch (type & 0xF) {
    case 1: return "[\"OK\",\"Cancel\"]";
    case 2: return "[\"Abort\",\"Retry\",\"Ignore\"]";
    case 3: return "[\"Yes\",\"No\",\"Cancel\"]";
    case 4: return "[\"Yes\",\"No\"]";
    case 5: return "[\"Retry\",\"Cancel\"]";
    default: return "[\"OK\"]";
    }
}
} // namespace

std::vector<Event> events()
{
    std::lock_guard<std::mutex> g(eventMutex);
    return eventList;
}

std::vector<Event> boxes()
{
    std::lock_guard<std::mutex> g(eventMutex);
    std::vector<Event> out;
    for (auto &e : eventList)
        if (e.ev == "box")
            out.push_back(e);
    return out;
}

std::string eventsJson()
{
    std::string out;
    for (const Event &e : events()) {
        std::string line = "{\"ev\":" + jsonString(e.ev);
        if (e.ev == "box") {
            line += ",\"owner\":" + jsonString(e.owner) + ",\"caption\":" + jsonString(e.caption) +
                    ",\"text\":" + jsonString(e.text) + ",\"buttons\":" + buttonsJson(e.type) +
                    ",\"answer\":" + jsonString(e.answer);
        } else if (e.ev == "dialog") {
            line += ",\"caption\":" + jsonString(e.caption) + ",\"text\":" + jsonString(e.text) +
                    ",\"answer\":" + jsonString(e.answer);
        } else if (e.ev == "help") {
            line += ",\"file\":" + jsonString(e.text) + ",\"command\":" + std::to_string(e.type) +
                    ",\"data\":" + std::to_string(e.data);
        } else if (e.ev == "debug") {
            line += ",\"text\":" + jsonString(e.text);
        } else if (e.ev == "posted") {
            line += ",\"class\":" + jsonString(e.text) + ",\"msg\":" + std::to_string(e.type);
        } else if (e.ev == "unanswered") {
            line += ",\"unanswered\":true,\"caption\":" + jsonString(e.caption) +
                    ",\"text\":" + jsonString(e.text);
        } else {
            line += ",\"text\":" + jsonString(e.text);
        }
        out += line + "}\n";
    }
    return out;
}

namespace detail {
void record(const Event &e)
{
    std::lock_guard<std::mutex> g(eventMutex);
    eventList.push_back(e);
}

void resetEvents()
{
    std::lock_guard<std::mutex> g(eventMutex);
    eventList.clear();
}
} // namespace detail
} // namespace standin
