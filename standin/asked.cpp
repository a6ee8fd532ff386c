/* asked.cpp - what the program asked of each call: the access rights,
 * sizes, types, flags, waits and window values it handed over, in the
 * order of the calls. */
#include "internal.h"

namespace standin {

namespace {
std::mutex askedMutex;
std::vector<Call> askedList;
} // namespace

bool Call::has(const std::string &name) const
{
    for (auto &v : values)
        if (v.first == name)
            return true;
    return false;
}

unsigned long long Call::value(const std::string &name) const
{
    for (auto &v : values)
        if (v.first == name)
            return v.second;
    return ~0ull;
}

std::vector<Call> asked(const std::string &api, const std::string &match)
{
    std::lock_guard<std::mutex> g(askedMutex);
    std::vector<Call> out;
    for (auto &c : askedList)
        if (detail::iequals(c.api, api) && detail::icontains(c.subject, match))
            out.push_back(c);
    return out;
}

std::string askedJson()
{
    std::lock_guard<std::mutex> g(askedMutex);
    std::string out;
    for (auto &c : askedList) {
        out += "{\"api\":" + detail::jsonString(c.api) + ",\"subject\":" +
               detail::jsonString(c.subject) + ",\"thread\":" + std::to_string(c.thread);
        for (auto &v : c.values)
            out += "," + detail::jsonString(v.first) + ":" + std::to_string(v.second);
        out += "}\n";
    }
    return out;
}

void clearAsked() { detail::resetAsked(); }

namespace detail {

void noteCall(const char *api, const std::string &subject,
              const std::vector<std::pair<const char *, unsigned long long>> &values)
{
    Call c;
    c.api = api;
    c.subject = subject;
    for (auto &v : values)
        c.values.emplace_back(v.first, v.second);
    c.thread = GetCurrentThreadId();
    std::lock_guard<std::mutex> g(askedMutex);
    askedList.push_back(std::move(c));
}

void resetAsked()
{
    std::lock_guard<std::mutex> g(askedMutex);
    askedList.clear();
}

} // namespace detail
} // namespace standin
